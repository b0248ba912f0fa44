#include "platform/error.h"

namespace platform {

const char* ErrorName(Error code) {
  switch (code) {
    case Error::kOk: return "ok";
    case Error::kNotFound: return "not found";
    case Error::kAlreadyExists: return "already exists";
    case Error::kAccessDenied: return "access denied";
    case Error::kMoreData: return "more data";
    case Error::kInvalid: return "invalid parameter";
    case Error::kTimeout: return "time-out";
    case Error::kBrokenPipe: return "broken pipe";
    case Error::kIo: return "input/output error";
  }
  return "unknown error";
}

}  // namespace platform
