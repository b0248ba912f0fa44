// The shell's services the Downloader uses: special folders and change notifications.
#pragma once

#include <string>

#include "platform/error.h"

namespace platform {

// CSIDL values of the special folders the Downloader asks for.
constexpr int kCsidlCommonPrograms = 23;          // CSIDL_COMMON_PROGRAMS
constexpr int kCsidlCommonDesktopDirectory = 25;  // CSIDL_COMMON_DESKTOPDIRECTORY
constexpr int kCsidlAppData = 26;                 // CSIDL_APPDATA
constexpr int kCsidlProgramFiles = 38;            // CSIDL_PROGRAM_FILES

// SHChangeNotify's events the Downloader sends.
enum class ShellChange {
  kFolderCreated,  // SHCNE_MKDIR
  kFolderUpdated,  // SHCNE_UPDATEDIR
};

class Shell {
 public:
  virtual ~Shell() = default;

  // SHGetSpecialFolderLocation + SHGetPathFromIDListA: the folder's path without a trailing "\".
  // kCsidlProgramFiles answers as the system does to a 32-bit program ("C:\\Program Files (x86)" on a
  // 64-bit machine). kNotFound for a folder this machine does not have.
  virtual Status GetSpecialFolderPath(int csidl, std::string* path) = 0;

  // SHChangeNotify with a path item. Tells the shell's views that a folder changed.
  virtual void NotifyChange(ShellChange change, const std::string& path) = 0;
};

}  // namespace platform
