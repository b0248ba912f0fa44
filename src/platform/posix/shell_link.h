// The Shell Link binary format (.lnk) as the shell writes it for a link that holds only its target: the
// header with the link class id, the target as an item id list (My Computer, the drive, one file entry
// per path component), the link info with the volume and the local base path, no string data and the
// terminal block. Pure byte building, no host access; the shell backend gathers what it describes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace platform::posix {

// FILE_ATTRIBUTE_* of the header and the file entries.
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeArchive = 0x20;

// LinkFlags the writer sets.
constexpr uint32_t kLinkHasTargetIdList = 0x01;
constexpr uint32_t kLinkHasLinkInfo = 0x02;
constexpr uint32_t kLinkIsUnicode = 0x80;

// One component of the target path below the drive's root, as the file system describes it.
struct ShellLinkItem {
  std::string name;  // system code page text (UTF-8), no separator
  bool isFolder = false;
  uint64_t size = 0;
  // FILETIME values (100-nanosecond intervals since 1601-01-01 UTC); 0 when unknown.
  uint64_t creationTime = 0;
  uint64_t accessTime = 0;
  uint64_t writeTime = 0;
};

struct ShellLinkTarget {
  char driveLetter = 'C';            // upper case
  std::vector<ShellLinkItem> items;  // from the root down; the last one is the target itself
  DriveType driveType = DriveType::kFixed;
  uint32_t driveSerial = 0;
};

// The file's bytes. False when a name is empty, holds a separator or is not valid UTF-8, or when a
// structure would outgrow its size fields.
bool BuildShellLink(const ShellLinkTarget& target, std::string* bytes);

// The target's path as the link info's local base path gives it: "C:\\dir\\file.exe" ("C:\\" for the root).
std::string LocalBasePath(const ShellLinkTarget& target);

// UTF-8 to UTF-16 and back; false for malformed input (also for encoded surrogates and overlong forms).
bool Utf8ToUtf16(const std::string& text, std::u16string* wide);
bool Utf16ToUtf8(const std::u16string& wide, std::string* text);

// A FILETIME for seconds and nanoseconds since 1970-01-01 UTC (0 for times before 1601).
uint64_t FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);

}  // namespace platform::posix
