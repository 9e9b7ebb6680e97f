// The snow model's section "[snow_model]" of the storage content file: the outflows of
// the glacier linear storages of every sub-basin, so that a run can go on from where an
// earlier run stopped. Values are written with 17 significant digits, so a run split at
// a date goes on with exactly the outflows of the continuous run.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_file_format.h"
#include "framework/grid_table.h"
#include "framework/tracer_settings_record.h"
#include "surface/schneemodellklasse.h"

namespace tolvo {

namespace {

constexpr std::size_t kLineLength = 1200;
constexpr const char* kColdStart = "WARNING: glacier model will be run with cold start initialization values";

// The three outflows of a sub-basin in the order of the section.
struct OutflowItem {
  const char* name;
  std::vector<double>* values;
};

}  // namespace

void schneemodellklasse::ReportStorageMismatch(std::string_view item, double current, double stored) {
  log() << "FATAL: (snow model) error in storage file content reading " << std::string(item)
        << ":\nvalue in actual control is:   " << current << "\nbut value in storage file is: " << stored
        << "\nTolvo throws..." << "[end-entry]";
  RaiseError(kStorageFileMismatch);
}

void schneemodellklasse::CheckStorageValue(std::FILE* file, double current, std::string_view item) {
  double stored = 0;
  if (std::fscanf(file, "%lf", &stored) != 1) ReportStorageMismatch(item, current, geometry().nodata_value);
  const bool differs = stored != 0 ? std::abs((stored - current) / stored) > 1e-5 : current != 0;
  if (differs) ReportStorageMismatch(item, current, stored);
}

void schneemodellklasse::ReadStorageContent(const std::string& file, int read_code) {
  if (ModuleSwitch == 0 || read_code == 2 || read_code == 4 || file.empty()) return;
  storage_file_ = file.substr(0, kLineLength - 1);
  if (read_code == 0 || Qice_slr_.empty() || Qfirn_slr_.empty() || Qsnow_slr_.empty()) return;
  const std::string path = PrefixPath(input_directory(), storage_file_);
  FilePtr in(std::fopen(path.c_str(), "rt"));
  if (!in) {
    log() << "WARNING: in snow/glacier model: error opening storage content file " << path << "[end-entry]";
    log() << kColdStart << "[end-entry]";
    return;
  }
  char line[kLineLength];
  for (;;) {
    const bool read = std::fgets(line, sizeof line, in.get()) != nullptr;
    if (!read || std::feof(in.get())) {
      log() << "WARNING: in snow/glacier model: [snow_model] not found in storage content file " << path
            << "[end-entry]";
      log() << kColdStart << "[end-entry]";
      return;
    }
    if (std::string_view(line).find("snow_model") != std::string_view::npos) break;
  }
  // Each line starts with its number(s); the rest of the line is a comment.
  const auto next_line = [&]() -> const char* {
    return std::fgets(line, sizeof line, in.get()) != nullptr ? line : nullptr;
  };
  const double nodata = geometry().nodata_value;
  const auto leading_integer = [&](const char* text, char** end) -> double {
    if (text == nullptr) return nodata;
    errno = 0;
    const long v = std::strtol(text, end, 10);
    return *end == text || errno != 0 ? nodata : static_cast<double>(v);
  };
  const int n = subbasins_.zone_count;
  char* end = nullptr;
  const double count = leading_integer(next_line(), &end);
  if (count != n) ReportStorageMismatch("number of subbasins", n, count);
  const OutflowItem items[] = {{"Qice_slr", &Qice_slr_}, {"Qfirn_slr", &Qfirn_slr_}, {"Qsnow_slr", &Qsnow_slr_}};
  for (int i = 1; i <= n; ++i) {
    for (const OutflowItem& item : items) {
      const double code = leading_integer(next_line(), &end);
      if (code != i) ReportStorageMismatch("subbasin code", i, code);
      char* value_end = nullptr;
      const double value = std::strtod(end, &value_end);
      if (value_end == end || !std::isfinite(value)) {
        log() << "FATAL: (snow model) error in storage file content reading: the " << item.name
              << " value of subbasin " << i << " in " << path << " is not a number" << "[end-entry]";
        RaiseError(kStorageFileMismatch);
      }
      (*item.values)[static_cast<std::size_t>(i)] = value;
    }
  }
}

bool schneemodellklasse::WriteStorageContent(bool append) {
  if (ModuleSwitch == 0 || storage_file_.empty() || rank() != 0) return false;
  const std::string path = PrefixPath(output_directory(), storage_file_);
  const auto fail = [&] {
    log() << "FATAL: (snow model) error writing the section [snow_model] of the storage content file " << path
          << "[end-entry]";
    RaiseError(kWriteErrorCode);
  };
  FilePtr out(std::fopen(path.c_str(), append ? "a" : "w"));
  if (!out) fail();
  std::FILE* f = out.get();
  const int n = subbasins_.zone_count;
  std::fprintf(f, "[snow_model]\n%d (number of subasins)\n", n);
  const auto value = [](const std::vector<double>& v, int i) {
    return static_cast<std::size_t>(i) < v.size() ? v[static_cast<std::size_t>(i)] : 0.0;
  };
  for (int i = 1; i <= n; ++i) {
    std::fprintf(f, "%d\t%.17g(TG code and Qice_slr value)\n", i, value(Qice_slr_, i));
    std::fprintf(f, "%d\t%.17g(TG code and Qfirn_slr value)\n", i, value(Qfirn_slr_, i));
    std::fprintf(f, "%d\t%.17g(TG code and Qsnow_slr value)\n", i, value(Qsnow_slr_, i));
  }
  std::fprintf(f, "\n");
  const bool written = std::ferror(f) == 0;
  if (std::fclose(out.release()) != 0 || !written) fail();
  return true;
}

void schneemodellklasse::InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers,
                                     StatisticsRegistry& registry, int capacity) {
  if (ModuleSwitch == 0) return;
  teilmodellklasse::InitTracers(n_tracers, tracers, registry, capacity);
  tracer_input_.assign(static_cast<std::size_t>(std::max(n_tracers, 0)) + 1, ConstGridView{});
  for (int t = 1; t <= n_tracers; ++t) {
    const std::string base = "concflux_tracer_" + std::to_string(t) + "_";
    const int index = RequireOneOf3Grids(base + "irrigation", base + "input", "!!_no_entry_!!");
    tracer_input_[static_cast<std::size_t>(t)] = (*grids())[index].values;
  }
  // The snow model's own decay over its step, whatever other models write into the
  // shared tracer settings.
  snow_tracers_.clear();
  for (int t = 1; t <= n_tracers; ++t) {
    const TracerSettingsRecord& s = tracers[static_cast<std::size_t>(t)];
    TracerRecord& record = TracerRecords[static_cast<std::size_t>(t)];
    const bool radioactive = s.radioactive == 1;
    snow_tracers_.push_back({.storage = record.storage.view(),
                             .outflow_concentration = record.flux.view(),
                             .input = tracer_input_[static_cast<std::size_t>(t)],
                             .radioactive = radioactive,
                             .evaporating = s.evaporating == 1,
                             .decay_factor = radioactive ? SnowDecayFactor(s.half_time, TimeStep) : 1.0,
                             .max_conc = s.max_conc});
  }
}

}  // namespace tolvo
