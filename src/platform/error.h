// Results of the platform layer: a closed set of Windows-like codes.
#pragma once

namespace platform {

// Each code means what the Windows error of the same meaning means to the Downloader.
enum class Error {
  kOk = 0,
  kNotFound,       // ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND / ERROR_NO_MORE_FILES
  kAlreadyExists,  // ERROR_ALREADY_EXISTS / ERROR_FILE_EXISTS
  kAccessDenied,   // ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION (a file held by a running program)
  kMoreData,       // ERROR_MORE_DATA: the caller's buffer is too small
  kInvalid,        // ERROR_INVALID_PARAMETER / ERROR_INVALID_NAME / ERROR_BAD_PATHNAME
  kTimeout,        // WAIT_TIMEOUT
  kBrokenPipe,     // ERROR_BROKEN_PIPE / ERROR_NO_DATA
  kIo,             // any other failure of the operating system
};

// A platform result; cannot be ignored silently.
class [[nodiscard]] Status {
 public:
  constexpr Status() = default;
  constexpr Status(Error code) : code_(code) {}  // NOLINT: implicit from a code on purpose
  constexpr bool ok() const { return code_ == Error::kOk; }
  constexpr Error code() const { return code_; }
  constexpr bool operator==(Error e) const { return code_ == e; }
  constexpr bool operator!=(Error e) const { return code_ != e; }

 private:
  Error code_ = Error::kOk;
};

const char* ErrorName(Error code);

}  // namespace platform
