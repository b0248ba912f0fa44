// SystemInfo from the prefix's machine.ini.
#include <strings.h>

#include "platform/posix/core_backends.h"
#include "platform/posix/prefix.h"

namespace platform::posix {
namespace {

// The privileges a Windows system knows by name (LookupPrivilegeValueA compares ignoring case).
const char* const kPrivileges[] = {
    "SeAssignPrimaryTokenPrivilege", "SeAuditPrivilege",          "SeBackupPrivilege",
    "SeChangeNotifyPrivilege",       "SeCreateGlobalPrivilege",   "SeCreatePagefilePrivilege",
    "SeCreatePermanentPrivilege",    "SeCreateSymbolicLinkPrivilege", "SeCreateTokenPrivilege",
    "SeDebugPrivilege",              "SeImpersonatePrivilege",    "SeIncreaseBasePriorityPrivilege",
    "SeIncreaseQuotaPrivilege",      "SeIncreaseWorkingSetPrivilege", "SeLoadDriverPrivilege",
    "SeLockMemoryPrivilege",         "SeManageVolumePrivilege",   "SeProfileSingleProcessPrivilege",
    "SeRemoteShutdownPrivilege",     "SeRestorePrivilege",        "SeSecurityPrivilege",
    "SeShutdownPrivilege",           "SeSystemEnvironmentPrivilege", "SeSystemProfilePrivilege",
    "SeSystemtimePrivilege",         "SeTakeOwnershipPrivilege",  "SeTcbPrivilege",
    "SeTimeZonePrivilege",           "SeUndockPrivilege",
};

class PosixSystemInfo final : public SystemInfo {
 public:
  explicit PosixSystemInfo(const Prefix& prefix) : machine_(prefix.GetMachine()) {}

  bool GetVersion(OsVersion* version) override {
    *version = machine_.version;
    return true;
  }
  uint16_t NativeArchitecture() override { return machine_.architecture; }
  int ScreenWidth() override { return machine_.screenWidth; }
  int ScreenHeight() override { return machine_.screenHeight; }
  std::string UserName() override { return machine_.userName; }

  // The Downloader runs elevated on its machine: adjusting a known privilege always succeeds.
  Status EnablePrivilege(const std::string& name) override {
    for (const char* known : kPrivileges)
      if (::strcasecmp(known, name.c_str()) == 0) return Error::kOk;
    return Error::kNotFound;
  }

 private:
  const Machine& machine_;
};

}  // namespace

std::unique_ptr<SystemInfo> NewPosixSystemInfo(const Prefix& prefix) {
  return std::make_unique<PosixSystemInfo>(prefix);
}

}  // namespace platform::posix
