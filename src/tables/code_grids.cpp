#include "tables/code_grids.h"

#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/halo_exchange.h"
#include "framework/modelobject.h"
#include "framework/parallel.h"

namespace tolvo {

namespace {

const std::string kRule(71, '-');

// The codes of a table (entry j at position j - 1) and the index each code becomes. An
// entry whose code differs from its index replaces that code (of several such entries
// with one code the last wins); a code that equals its entry's index stays.
class CodeIndex {
 public:
  explicit CodeIndex(std::span<const int> codes) {
    for (std::size_t k = 0; k < codes.size(); ++k) {
      const int j = static_cast<int>(k) + 1;
      if (codes[k] == j && !Lookup(j)) Set(j, j);
    }
    for (std::size_t k = 0; k < codes.size(); ++k) {
      const int j = static_cast<int>(k) + 1;
      if (codes[k] != j) Set(codes[k], j);
    }
  }
  // The index of the code of a cell value (its integer part), or nothing.
  std::optional<int> IndexOf(double value) const {
    const double code = std::trunc(value);
    if (!(code >= INT_MIN && code <= INT_MAX)) return std::nullopt;  // also a value that is not a number
    return Lookup(static_cast<int>(code));
  }

 private:
  std::optional<int> Lookup(int code) const {
    const auto it = std::lower_bound(map_.begin(), map_.end(), std::pair{code, INT_MIN});
    if (it == map_.end() || it->first != code) return std::nullopt;
    return it->second;
  }
  void Set(int code, int index) {
    const auto it = std::lower_bound(map_.begin(), map_.end(), std::pair{code, INT_MIN});
    if (it != map_.end() && it->first == code) {
      it->second = index;
    } else {
      map_.insert(it, {code, index});
    }
  }
  std::vector<std::pair<int, int>> map_;  // (code, index), ascending by code
};

// The texts of one check.
struct CheckTexts {
  const char* checking;  // first entry
  const char* replacing;  // second entry, followed by the file name
  const char* subject;    // "<subject><value> in grid ..."
  const char* missing;    // "is not present in ... \n"
  int code;
};

constexpr CheckTexts kIrrigationTexts{"1.: checking codes in irrigation grid", "2.:replacing codes in irrigation grid ",
                                      "irrigation type ",
                                      "is not present in the irrigation table in the control file \n",
                                      kLanduseCodeError};
constexpr CheckTexts kSoilTexts{"1.: checking soil type codes", "2.:replacing soil type codes ", "soil type ",
                                "is not present in the control file \n", kSoilCodeError};
constexpr CheckTexts kLanduseTexts{"1.: checking codes in land use grid", "2.:replacing codes in land use grid ",
                                   "land use ", "is not present in the land use table in the control file \n",
                                   kLanduseCodeError};
constexpr CheckTexts kMultilayerTexts{"1.: checking codes in land use grid", "2.:replacing codes in land use grid ",
                                      "land use ",
                                      "is not present in the multilayer-landuse-table in the control file \n",
                                      kMultilayerCodeError};

// Process 0: checks the domain cells of the grid (row by row, the first bad cell stops
// the set-up), then replaces every cell's code by its table index.
void CheckAndReplace(DiagnosticsLog& log, const CodeGrid& grid, ConstGridView zone, std::span<const int> codes,
                     const CheckTexts& texts, bool only_positive) {
  const CodeIndex index(codes);
  const GridView values = grid.values;
  const RowRange rows = values.rows();
  const int ncols = values.ncols();
  log << texts.checking << "[end-entry]";
  for (int r = rows.first; r <= rows.last; ++r) {
    const std::span<const double> zone_row = zone.row(r);
    const std::span<double> row = values.row(r);
    for (int c = 1; c <= ncols; ++c) {
      if (!(zone_row[c] > kNodata) || (only_positive && !(row[c] > 0))) continue;
      if (index.IndexOf(row[c])) continue;
      log << "FATAL: \n" << kRule << "\n" << texts.subject << row[c] << " in grid " << std::string(grid.file_name)
          << " (" << std::string(grid.identifier) << ")\n" << texts.missing << kRule << "\n\n" << "[end-entry]";
      RaiseError(texts.code);
    }
  }
  log << texts.replacing << std::string(grid.file_name) << "[end-entry]";
  for (std::size_t k = 0; k < codes.size(); ++k) {
    const int j = static_cast<int>(k) + 1;
    if (codes[k] != j) log << codes[k] << " replaced by " << j << " ..." << "[end-entry]";
  }
  for_each_row(rows, [&index, values, ncols](int r) {
    const std::span<double> row = values.row(r);
    for (int c = 1; c <= ncols; ++c) {
      if (const std::optional<int> j = index.IndexOf(row[c])) row[c] = *j;
    }
  });
}

// Runs `work` on process 0 and shares its outcome: when it raised an error code, every
// process raises that code, so that no process goes on into the next collective call.
void OnProcessZero(modelobject& reader, const std::function<void()>& work) {
  int status = 0;
  if (reader.rank() == 0) {
    try {
      work();
    } catch (const ErrorCode& error) {
      status = error.code;
    }
  }
  if (reader.process_count() > 1) MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (status != 0) RaiseError(status);
}

void Distribute(modelobject& reader, const CodeGrid& grid) {
  ScatterGrid(reader.context(), grid.values);
  ExchangeHalo(reader.context(), grid.values);
}

template <typename Table, typename Code>
std::vector<int> CodesOf(const Table& entries, Code code) {
  std::vector<int> codes;
  codes.reserve(entries.size());
  for (const auto& entry : entries) codes.push_back(code(entry));
  return codes;
}

// Process 0: the layer codes of every multilayer entry must be land-use codes (the
// first layer must be given); then each is replaced by its land-use index.
void CheckAndReplaceLayerCodes(DiagnosticsLog& log, const LanduseTable& landuse, MultilayerLanduseTable& multilayer) {
  const std::vector<int> landuse_codes =
      CodesOf(landuse.entries(), [](const LanduseRecord& record) { return record.GetCode(); });
  const auto is_landuse_code = [&](int code) {
    return std::find(landuse_codes.begin(), landuse_codes.end(), code) != landuse_codes.end();
  };
  const int nodata = static_cast<int>(kNodata);
  for (int l = 1; l <= multilayer.size(); ++l) {
    const MultilayerLanduseRecord& entry = multilayer[l];
    const std::span<const int> layer_codes = entry.GetLayerCodesAsRead();
    for (int i = 1; i <= entry.GetLayers(); ++i) {
      const int code = layer_codes[static_cast<std::size_t>(i)];
      if (code > nodata) {
        if (is_landuse_code(code)) continue;
        log << "FATAL: \n" << kRule << "\nError: not all layer codes from landuse " << entry.GetCode()
            << " from MultiLayer_Landuse-Table\nare present in the landuse-table in the control file: Here, code "
            << code << " is missing.\n" << kRule << "\n\n" << "[end-entry]";
        RaiseError(kLayerCodeError);
      }
      if (i == 1) {
        log << "FATAL: \n\n" << kRule
            << "\nError: the first Layer code of each MultiLayer-Landuse Entry \nmust be a valid entry (not 9999 or "
               "larger):\nHere, line "
            << l << " contains " << code << " as first layer code.\n" << kRule << "\n\n" << "[end-entry]";
        RaiseError(kLayerCodeError);
      }
    }
  }
  for (int k = 1; k <= landuse.size(); ++k) {
    const int code = landuse_codes[static_cast<std::size_t>(k - 1)];
    if (code == k) continue;
    for (int l = 1; l <= multilayer.size(); ++l) {
      MultilayerLanduseRecord& entry = multilayer[l];
      for (int i = 1; i <= entry.GetLayers(); ++i) {
        if (entry.GetLayerCodesAsRead()[static_cast<std::size_t>(i)] != code) continue;
        entry.SetLayerCode(i, k);
        log << "Code replacement in MultiLayer-Landuse " << l << ": changed Layer-Code #" << i << " from " << code
            << " to " << k << "[end-entry]";
      }
    }
  }
}

// Every process takes the layer codes (positions 0..layers of each entry) of process 0.
void BroadcastLayerCodes(modelobject& reader, MultilayerLanduseTable& multilayer) {
  if (reader.process_count() <= 1) return;
  std::vector<int> codes;
  for (const MultilayerLanduseRecord& entry : multilayer.entries()) {
    const std::span<const int> layer_codes = entry.GetLayerCodes();
    codes.insert(codes.end(), layer_codes.begin(), layer_codes.end());
  }
  MPI_Bcast(codes.data(), static_cast<int>(codes.size()), MPI_INT, 0, MPI_COMM_WORLD);
  std::size_t k = 0;
  for (MultilayerLanduseRecord& entry : multilayer.entries()) {
    const std::size_t n = entry.GetLayerCodes().size();
    for (std::size_t i = 0; i < n; ++i) entry.SetLayerCode(static_cast<int>(i), codes[k++]);
  }
}

}  // namespace

void check_landuse_Codes(modelobject& reader, const CodeGrid& grid, ConstGridView zone, const LanduseTable& landuse,
                         MultilayerLanduseTable* multilayer) {
  OnProcessZero(reader, [&] {
    if (multilayer != nullptr) {
      const std::vector<int> codes = CodesOf(
          multilayer->entries(), [](const MultilayerLanduseRecord& record) { return record.GetCode(); });
      CheckAndReplace(reader.log(), grid, zone, codes, kMultilayerTexts, false);
      CheckAndReplaceLayerCodes(reader.log(), landuse, *multilayer);
    } else {
      const std::vector<int> codes =
          CodesOf(landuse.entries(), [](const LanduseRecord& record) { return record.GetCode(); });
      CheckAndReplace(reader.log(), grid, zone, codes, kLanduseTexts, false);
    }
  });
  if (multilayer != nullptr) BroadcastLayerCodes(reader, *multilayer);
  Distribute(reader, grid);
}

void check_irrig_Codes(modelobject& reader, const CodeGrid& grid, ConstGridView zone, const IrrigationTable& table) {
  OnProcessZero(reader, [&] {
    const std::vector<int> codes = CodesOf(std::span(table).subspan(table.empty() ? 0 : 1),
                                           [](const IrrigationRecord& record) { return record.code; });
    CheckAndReplace(reader.log(), grid, zone, codes, kIrrigationTexts, true);
  });
  Distribute(reader, grid);
}

void check_SOIL_Codes(modelobject& reader, const CodeGrid& grid, ConstGridView zone, const SoilTable& table) {
  OnProcessZero(reader, [&] {
    const std::vector<int> codes = CodesOf(std::span(table).subspan(table.empty() ? 0 : 1),
                                           [](const SoilRecord& record) { return record.GetCode(); });
    CheckAndReplace(reader.log(), grid, zone, codes, kSoilTexts, false);
  });
  Distribute(reader, grid);
}

}  // namespace tolvo
