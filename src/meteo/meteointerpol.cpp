#include "meteo/meteointerpol.h"

#include "framework/error_code.h"

namespace tolvo {

meteointerpol::meteointerpol(DiagnosticsLog& log, const std::string& input_name, const ModelSettings& settings,
                             int /*result_grid_index*/, int /*position*/)
    : modelobject(log, settings.compiled_control_file, settings.formats, settings.input_directory,
                  settings.output_directory),
      input_name_(input_name) {
  set_name(input_name.substr(0, kMaxNameLength));
  log << "FATAL: the meteorological input " << input_name
      << " cannot be interpolated: station interpolation is not part of this build" << "[end-entry]";
  RaiseError(kOtherExceptionCode);
}

}  // namespace tolvo
