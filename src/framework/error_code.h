#pragma once
// The error code of a fatal error. The failing code writes its "FATAL: " entry to the
// diagnostics log and then throws an ErrorCode; the program entry turns it into the
// process's abort code. Codes may exceed 255: the log entry shows them whole.

namespace tolvo {

struct ErrorCode {
  int code;
};

[[noreturn]] inline void RaiseError(int code) { throw ErrorCode{code}; }

// Thrown on every process when the user chose to stop at once without saving: the program
// entry closes the diagnostics log and ends the process with the status, without ending
// MPI in order.
struct StopRequest {
  int status;
};

// Codes of the generic raisers.
inline constexpr int kMissingControlItem = 17;
inline constexpr int kWriteErrorCode = 18;
inline constexpr int kReadErrorCode = 19;
inline constexpr int kMemoryErrorCode = 81;
inline constexpr int kMatrixErrorCode = 1;
inline constexpr int kNoControlFile = 2;
inline constexpr int kDiagnosticsFileError = 320;
inline constexpr int kControlFileCloseError = 11;
inline constexpr int kNoFreeGridEntry = 12;
inline constexpr int kControlFileOpenError = 28;
inline constexpr int kOtherExceptionCode = 103;

}  // namespace tolvo
