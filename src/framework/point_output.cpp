#include "framework/point_output.h"

#include <exception>
#include <optional>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/point_output_text.h"

namespace tolvo {

SpecialOutputClass::SpecialOutputClass(DiagnosticsLog& log, StatisticsRegistry& /*registry*/,
                                       const ModelSettings& settings, int sub_steps)
    : teilmodellklasse(log, "special_output", settings, 1, false), soil_sub_steps_(sub_steps) {
  if (ModuleSwitch == 0) return;
  try {
    log << "file "
        << "teilmod"
        << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
    ReadFileBlocks();
  } catch (const ErrorCode&) {
    throw;
  } catch (const std::exception& error) {
    log << "FATAL: Error in section [special_output]: " << error.what() << "[end-entry]";
    RaiseError(kPointOutputError);
  }
  CloseControlFile();
}

void SpecialOutputClass::ReadFileBlocks() {
  bool had_line_end = false;
  std::optional<std::string> line = control_file().ReadLine(had_line_end);
  while (line && line->find_first_not_of(" \t\r") == std::string::npos) line = control_file().ReadLine(had_line_end);
  if (!line || GetKeyValue(*line, "numfiles", file_count_) != KeyStatus::kFound) {
    log() << "FATAL: Error in section [special_output]: expected numfiles=<number of files>; after the time step, "
             "found: "
          << (line ? *line : std::string("(end of file)")) << "[end-entry]";
    RaiseError(kPointOutputError);
  }
  const int regions_index = FindGrid("MPIRegions", false);
  const ConstGridView regions = regions_index > 0 ? ConstGridView((*grids())[regions_index].values) : ConstGridView();
  for (int f = 1; f <= file_count_; ++f) {
    // The first line opens the block; its braces are not counted.
    std::optional<std::string> text = control_file().ReadLine(had_line_end);
    std::string block = text ? *text + "\n" : std::string();
    int depth = 1;
    while (text && (depth > 0 || block.find('}') == std::string::npos)) {
      text = control_file().ReadLine(had_line_end);
      if (!text) break;
      if (text->find('{') != std::string::npos) ++depth;
      if (text->find('}') != std::string::npos) --depth;
      block += *text + "\n";
    }
    if (!text) {
      log() << "FATAL: Error in section [special_output]: the control file ends inside the block of file " << f
            << " of " << file_count_ << "[end-entry]";
      RaiseError(kPointOutputError);
    }
    files_.emplace_back(block, *this, regions, soil_sub_steps_);
  }
}

void SpecialOutputClass::CollectAll(const ModelDate& date, int in_substep, int substep) {
  for (SpecialOutputFile& file : files_) file.Collect(date, in_substep, substep);
}

void SpecialOutputClass::ScaleGrid(std::string_view identifier, double factor) {
  for (SpecialOutputFile& file : files_) file.ScaleGrid(identifier, factor);
}

void SpecialOutputClass::FlushAll() {
  for (SpecialOutputFile& file : files_) {
    if (file.rows_held() > 0) file.Flush();
  }
}

void SpecialOutputClass::DeleteModule() {
  FlushAll();
  files_.clear();
  teilmodellklasse::DeleteModule();
}

}  // namespace tolvo
