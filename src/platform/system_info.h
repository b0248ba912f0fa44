// What the Downloader asks about the machine: the Windows version as reported to it, the native
// processor architecture, the screen, the user and the process token's privileges.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace platform {

// GetVersionExA's answer to a 32-bit program without a compatibility declaration.
struct OsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  uint32_t platformId = 0;  // 2: VER_PLATFORM_WIN32_NT
  std::string servicePack;  // szCSDVersion
};

// GetNativeSystemInfo's wProcessorArchitecture.
constexpr uint16_t kArchitectureX86 = 0;  // PROCESSOR_ARCHITECTURE_INTEL
constexpr uint16_t kArchitectureX64 = 9;  // PROCESSOR_ARCHITECTURE_AMD64

class SystemInfo {
 public:
  virtual ~SystemInfo() = default;

  // GetVersionExA. False when the version cannot be read.
  virtual bool GetVersion(OsVersion* version) = 0;

  // GetNativeSystemInfo's processor architecture.
  virtual uint16_t NativeArchitecture() = 0;

  // GetSystemMetrics(SM_CXSCREEN / SM_CYSCREEN).
  virtual int ScreenWidth() = 0;
  virtual int ScreenHeight() = 0;

  // GetUserNameA.
  virtual std::string UserName() = 0;

  // OpenProcessToken + LookupPrivilegeValueA + AdjustTokenPrivileges for the calling process with one
  // privilege ("SeTakeOwnershipPrivilege"). kNotFound when the system knows no privilege of that name;
  // otherwise the adjustment succeeds whether or not the token holds it.
  virtual Status EnablePrivilege(const std::string& name) = 0;
};

}  // namespace platform
