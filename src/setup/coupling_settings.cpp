#include "setup/coupling_settings.h"

#include <algorithm>
#include <optional>

#include "framework/error_code.h"
#include "framework/modelobject.h"

namespace tolvo {
namespace {

constexpr const char* kErrorHead = "FATAL: -----------------error------------\n";
constexpr const char* kPossibleReason =
    "\npossible reason: parameter missing or a linefeed \nbefore the end of the parameter block";

[[noreturn]] void SectionError(modelobject& reader, const char* what) {
  reader.log() << kErrorHead << what << reader.name() << kPossibleReason << "[end-entry]";
  RaiseError(kCouplingSectionError);
}

// The list entries are read token by token, so that an entry may stand on one line or
// on several; a missing or overlong token, or a number that does not scan, is nothing.
std::optional<std::string> NameToken(ControlFileStream& in, std::size_t max_length) {
  std::optional<std::string> token = in.ReadToken();
  if (!token || token->size() > max_length) return std::nullopt;
  return token;
}

std::optional<int> IntToken(ControlFileStream& in) {
  const std::optional<std::string> token = in.ReadToken();
  return token ? ParseIntPrefix(*token) : std::nullopt;
}

std::optional<CouplingPeriod> PeriodOf(char letter) {
  switch (letter) {
    case 'I': return CouplingPeriod::Step;
    case 'H': return CouplingPeriod::Hour;
    case 'D': return CouplingPeriod::Day;
    case 'M': return CouplingPeriod::Month;
    case 'Y': return CouplingPeriod::Year;
    default: return std::nullopt;
  }
}

// The period letter is the first character of its line, blanks included.
CouplingPeriod ReadPeriod(modelobject& reader) {
  bool had_line_end = false;
  const std::optional<std::string> line = reader.control_file().ReadLine(had_line_end);
  const std::optional<CouplingPeriod> period =
      line && !line->empty() ? PeriodOf(line->front()) : std::nullopt;
  if (!period) SectionError(reader, "error reading Coupling Mode (I, H, D, M or Y) for external gw table grid ");
  return *period;
}

std::vector<ExternalReadGrid> ReadReadGrids(modelobject& reader, int count) {
  ControlFileStream& in = reader.control_file();
  std::vector<ExternalReadGrid> grids;
  for (int i = 0; i < count; ++i) {
    const std::optional<std::string> file = NameToken(in, kMaxCouplingNameLength);
    const std::optional<std::string> identifier = file ? NameToken(in, kMaxCouplingNameLength) : std::nullopt;
    const std::optional<int> fill = identifier ? IntToken(in) : std::nullopt;
    const std::optional<int> rename = fill ? IntToken(in) : std::nullopt;
    if (!rename) SectionError(reader, "error reading external (read) grid name/entity/fill code/rename code ");
    grids.push_back({*file, *identifier, *fill, *rename});
  }
  if (count > 0) in.SkipLine();
  return grids;
}

// Three names per entry: file, internal name, write code.
struct NameTriple {
  std::string file;
  std::string name;
  std::string code;
};

std::vector<NameTriple> ReadTriples(modelobject& reader, int count, const char* error_text) {
  ControlFileStream& in = reader.control_file();
  std::vector<NameTriple> entries;
  for (int i = 0; i < count; ++i) {
    const std::optional<std::string> file = NameToken(in, kMaxCouplingNameLength);
    const std::optional<std::string> name = file ? NameToken(in, kMaxCouplingNameLength) : std::nullopt;
    const std::optional<std::string> code = name ? NameToken(in, kMaxCouplingWriteCodeLength) : std::nullopt;
    if (!code) SectionError(reader, error_text);
    entries.push_back({*file, *name, *code});
  }
  if (count > 0) in.SkipLine();
  return entries;
}

// 0 at the zone cells of the process's own rows, nodata at every other held cell.
Grid MakeAccumulator(modelobject& reader, ConstGridView zone_grid) {
  const GridGeometry& g = reader.geometry();
  const RowRange held = zone_grid.empty() ? reader.strip() : zone_grid.rows();
  Grid accumulator = reader.matrix(held.first, held.last, 1, g.ncols, g.nrows);
  accumulator.fill(g.nodata_value);
  if (zone_grid.empty()) return accumulator;
  const RowRange own{std::max(held.first, reader.strip().first), std::min(held.last, reader.strip().last)};
  for (int r = own.first; r <= own.last; ++r) {
    const std::span<const double> zone = zone_grid.row(r);
    const std::span<double> sums = accumulator.view().row(r);
    for (int c = 1; c <= g.ncols; ++c) {
      if (zone[static_cast<std::size_t>(c)] != g.nodata_value) sums[static_cast<std::size_t>(c)] = 0.0;
    }
  }
  return accumulator;
}

}  // namespace

char PeriodLetter(CouplingPeriod period) {
  switch (period) {
    case CouplingPeriod::Step: return 'I';
    case CouplingPeriod::Hour: return 'H';
    case CouplingPeriod::Day: return 'D';
    case CouplingPeriod::Month: return 'M';
    case CouplingPeriod::Year: return 'Y';
  }
  return 'I';
}

WriteCode ParseWriteCode(const std::string& text) {
  WriteCode code{.text = text};
  if (text == "Sum") {
    code.kind = ExchangeKind::Sum;
  } else if (text == "Mean") {
    code.kind = ExchangeKind::Mean;
  } else if (text.starts_with("SumTotal")) {
    code.kind = ExchangeKind::SumTotal;
    code.day_file = text.starts_with("SumTotal_D");
    code.month_file = text.starts_with("SumTotal_M") || text.starts_with("SumTotal_DM");
    code.year_file = text == "SumTotal_Y" || text == "SumTotal_MY" || text.starts_with("SumTotal_DMY");
  }
  return code;
}

bool CouplingSettings::HasExternalGroundwaterTable() const {
  return std::ranges::any_of(read_grids, [](const ExternalReadGrid& g) { return g.identifier == "GWTableExtern"; });
}

CouplingSettings GetCouplingParameters(modelobject& reader, const std::string& compiled_control_file,
                                       ConstGridView zone_grid) {
  CouplingSettings settings;
  if (!reader.OpenControlFile(compiled_control_file)) {
    reader.log() << "FATAL: error opening " << compiled_control_file << "[end-entry]";
    RaiseError(kCouplingControlFileOpenError);
  }
  if (reader.FindSection("[ExternalCoupling]", false) == 0) return settings;

  reader.ReadItem(settings.mode, "Coupling mode ");
  if (settings.mode == 0) return settings;
  reader.ReadItem(settings.wait_file, "name of the semaphore file ");
  reader.ReadItem(settings.wait_interval_ms, "wait interval for scanning for external grids ");
  settings.period = ReadPeriod(reader);
  reader.ReadItem(settings.external_time_step_min, "the external model's timestep in minutes ");

  int count = 0;
  reader.ReadItem(count, "number external grids (to read)");
  settings.read_grids = ReadReadGrids(reader, count);

  reader.ReadItem(count, "number external grids (to write)");
  for (NameTriple& entry :
       ReadTriples(reader, count, "error reading external (write) grid name/entity/Writecode")) {
    settings.write_grids.push_back({std::move(entry.file), std::move(entry.name), ParseWriteCode(entry.code), {}});
  }

  reader.ReadItem(count, "number external Stats (to write)");
  for (NameTriple& entry :
       ReadTriples(reader, count, "error reading external (write) Statfile name/entity/writecode")) {
    settings.statistics.push_back({std::move(entry.file), std::move(entry.name), ParseWriteCode(entry.code)});
  }

  reader.ReadItem(settings.inform_file, "semaphore file name for informing the external model ");
  reader.ReadItem(settings.inform_text, "semaphore Content for informing the external model ");

  for (ExternalWriteGrid& grid : settings.write_grids) {
    if (grid.code.accumulates()) grid.accumulator = MakeAccumulator(reader, zone_grid);
  }
  return settings;
}

}  // namespace tolvo
