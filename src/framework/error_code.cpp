#include "framework/error_code.h"

#include <exception>
#include <string>

#include "framework/diagnostics_log.h"

namespace tolvo {

namespace {

// The text of the exception being handled.
std::string CaughtText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace

void RaiseOtherException(DiagnosticsLog& log, std::string_view where) {
  log << "FATAL: unexpected exception caught " << std::string(where) << ": " << CaughtText() << "[end-entry]";
  RaiseError(kOtherExceptionCode);
}

}  // namespace tolvo
