#include "meteo/precicorrclass.h"

namespace tolvo {

precicorrclass::precicorrclass(DiagnosticsLog& log, std::span<MeteoInput* const> /*inputs*/,
                               const ModelSettings& settings)
    : modelobject(log, settings.compiled_control_file, settings.formats, settings.input_directory,
                  settings.output_directory) {
  set_name("precipitation_correction");
}

}  // namespace tolvo
