// The shell's services the Downloader uses: special folders, shortcut files and change notifications.
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

  // A shell link object with IShellLinkA::SetPath(targetPath), saved through IPersistFile::Save to
  // `linkPath` (a wide path, remember flag false): a .lnk file in the Shell Link binary format that
  // holds only its target (no arguments, working directory, description, icon or hot key). The target
  // need not exist. An existing link file is replaced; the file appears whole or not at all.
  // kNotFound: the link's folder is missing. kAccessDenied: a folder at the link path or a read-only
  // drive. kInvalid: a target that is not an absolute path on a drive, or a malformed path.
  virtual Status CreateShellLink(const std::string& targetPath, const std::u16string& linkPath) = 0;
};

// MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ...): text in the system code page to UTF-16.
// kInvalid for text that is not valid in the code page.
Status AnsiToWide(const std::string& text, std::u16string* wide);

}  // namespace platform
