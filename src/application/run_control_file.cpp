#include "application/run_control_file.h"

#include "application/modell_application.h"
#include "framework/signals.h"

namespace tolvo {

int RunControlFile(DiagnosticsLog& log, int argc, char** argv, int position) {
  ModellApplication application(log, argc, argv, position);
  SetCurrentApplication(&application.signal_targets());
  InstallSignalHandlers();
  const int result = application.run();
  application.ClearMemory();
  SetCurrentApplication(nullptr);
  return result;
}

}  // namespace tolvo
