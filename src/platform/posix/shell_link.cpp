#include "platform/posix/shell_link.h"

#include <time.h>

#include <limits>

namespace platform::posix {
namespace {

// CLSID_ShellLink {00021401-0000-0000-C000-000000000046} and CLSID_MyComputer
// {20D04FE0-3AEA-1069-A2D8-08002B30309D} in their stored byte order.
constexpr unsigned char kShellLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                               0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr unsigned char kMyComputerClsid[16] = {0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                                0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};

constexpr uint32_t kHeaderSize = 0x4C;
constexpr uint32_t kShowNormal = 1;  // SW_SHOWNORMAL
constexpr uint32_t kVolumeIdAndLocalBasePath = 0x1;
constexpr uint32_t kFileEntryExtensionSignature = 0xBEEF0004;
constexpr uint16_t kFileEntryExtensionVersion = 3;
constexpr uint16_t kFileEntryExtensionIdentifier = 0x14;
constexpr unsigned char kRootFolderItem = 0x1F;
constexpr unsigned char kMyComputerSortIndex = 0x50;
constexpr unsigned char kVolumeItem = 0x2F;
constexpr unsigned char kFolderEntryItem = 0x31;
constexpr unsigned char kFileEntryItem = 0x32;
constexpr size_t kVolumeItemSize = 25;
constexpr uint64_t kFileTimeTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

void Put16(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

void Put64(std::string& out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value & 0xFFFFFFFFu));
  Put32(out, static_cast<uint32_t>(value >> 32));
}

void PutBytes(std::string& out, const unsigned char* bytes, size_t size) {
  out.append(reinterpret_cast<const char*>(bytes), size);
}

void PutWide(std::string& out, const std::u16string& wide) {
  for (char16_t unit : wide) Put16(out, unit);
  Put16(out, 0);
}

// Overwrites a 16- or 32-bit field written earlier as a placeholder.
void Patch16(std::string& out, size_t at, uint32_t value) {
  out[at] = static_cast<char>(value & 0xFF);
  out[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

void Patch32(std::string& out, size_t at, uint32_t value) {
  Patch16(out, at, value & 0xFFFF);
  Patch16(out, at + 2, value >> 16);
}

// A FILETIME as the MS-DOS date and time of a file entry (two 16-bit words, the date first); zero for
// times MS-DOS cannot express.
uint32_t FatDateTime(uint64_t fileTime) {
  if (fileTime == 0) return 0;
  const int64_t unixSeconds =
      static_cast<int64_t>(fileTime / kFileTimeTicksPerSecond) - kSecondsFrom1601To1970;
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm utc {};
  if (gmtime_r(&t, &utc) == nullptr) return 0;
  const int year = utc.tm_year + 1900;
  if (year < 1980 || year > 2107) return 0;
  const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | ((utc.tm_mon + 1) << 5) | utc.tm_mday);
  const uint32_t time = static_cast<uint32_t>((utc.tm_hour << 11) | (utc.tm_min << 5) | (utc.tm_sec / 2));
  return date | (time << 16);
}

uint32_t Attributes(bool isFolder) { return isFolder ? kFileAttributeDirectory : kFileAttributeArchive; }

bool ValidName(const std::string& name) {
  return !name.empty() && name.find('\\') == std::string::npos && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// A file entry shell item: the MS-DOS view of the entry (name in the code page) followed by the
// extension block that carries the long name in UTF-16.
bool AppendFileEntry(std::string& out, const ShellLinkItem& item) {
  std::u16string wide;
  if (!ValidName(item.name) || !Utf8ToUtf16(item.name, &wide)) return false;
  std::string entry;
  Put16(entry, 0);  // size, patched below
  entry.push_back(static_cast<char>(item.isFolder ? kFolderEntryItem : kFileEntryItem));
  entry.push_back('\0');
  const uint64_t size = item.isFolder ? 0 : item.size;
  Put32(entry, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size));
  Put32(entry, FatDateTime(item.writeTime));
  Put16(entry, Attributes(item.isFolder));
  entry += item.name;
  entry.push_back('\0');
  if (entry.size() % 2 != 0) entry.push_back('\0');

  const size_t extensionOffset = entry.size();
  Put16(entry, 0);  // extension block size, patched below
  Put16(entry, kFileEntryExtensionVersion);
  Put32(entry, kFileEntryExtensionSignature);
  Put32(entry, FatDateTime(item.creationTime));
  Put32(entry, FatDateTime(item.accessTime));
  Put16(entry, kFileEntryExtensionIdentifier);
  Put16(entry, 0);  // no localised name
  PutWide(entry, wide);
  Put16(entry, static_cast<uint32_t>(extensionOffset));

  if (entry.size() > 0xFFFF) return false;
  Patch16(entry, extensionOffset, static_cast<uint32_t>(entry.size() - extensionOffset));
  Patch16(entry, 0, static_cast<uint32_t>(entry.size()));
  out += entry;
  return true;
}

bool AppendIdList(std::string& out, const ShellLinkTarget& target) {
  std::string list;
  Put16(list, 0x14);
  list.push_back(static_cast<char>(kRootFolderItem));
  list.push_back(static_cast<char>(kMyComputerSortIndex));
  PutBytes(list, kMyComputerClsid, sizeof kMyComputerClsid);

  std::string volume;
  Put16(volume, kVolumeItemSize);
  volume.push_back(static_cast<char>(kVolumeItem));
  volume.push_back(target.driveLetter);
  volume += ":\\";
  volume.resize(kVolumeItemSize, '\0');
  list += volume;

  for (const ShellLinkItem& item : target.items) {
    if (!AppendFileEntry(list, item)) return false;
  }
  Put16(list, 0);  // terminal id
  if (list.size() > 0xFFFF) return false;
  Put16(out, static_cast<uint32_t>(list.size()));
  out += list;
  return true;
}

// The link info: volume id and local base path; the UTF-16 copy of the path only when the code page
// text is not plain ASCII.
bool AppendLinkInfo(std::string& out, const ShellLinkTarget& target) {
  const std::string path = LocalBasePath(target);
  const bool withUnicode = !IsAscii(path);
  std::u16string widePath;
  if (withUnicode && !Utf8ToUtf16(path, &widePath)) return false;

  const uint32_t headerSize = withUnicode ? 0x24 : 0x1C;
  std::string info;
  Put32(info, 0);  // size, patched below
  Put32(info, headerSize);
  Put32(info, kVolumeIdAndLocalBasePath);
  Put32(info, headerSize);  // the volume id follows the header
  Put32(info, 0);           // local base path offset, patched below
  Put32(info, 0);           // no common network relative link
  Put32(info, 0);           // common path suffix offset, patched below
  if (withUnicode) {
    Put32(info, 0);  // local base path offset (UTF-16), patched below
    Put32(info, 0);  // common path suffix offset (UTF-16), patched below
  }

  // Volume id: size, drive type, serial number, label offset, empty label.
  Put32(info, 0x11);
  Put32(info, static_cast<uint32_t>(target.driveType));
  Put32(info, target.driveSerial);
  Put32(info, 0x10);
  info.push_back('\0');

  Patch32(info, 16, static_cast<uint32_t>(info.size()));
  info += path;
  info.push_back('\0');
  Patch32(info, 24, static_cast<uint32_t>(info.size()));
  info.push_back('\0');  // empty common path suffix
  if (withUnicode) {
    Patch32(info, 28, static_cast<uint32_t>(info.size()));
    PutWide(info, widePath);
    Patch32(info, 32, static_cast<uint32_t>(info.size()));
    Put16(info, 0);
  }
  if (info.size() > std::numeric_limits<uint32_t>::max()) return false;
  Patch32(info, 0, static_cast<uint32_t>(info.size()));
  out += info;
  return true;
}

}  // namespace

std::string LocalBasePath(const ShellLinkTarget& target) {
  std::string path(1, target.driveLetter);
  path += ":\\";
  for (size_t i = 0; i < target.items.size(); ++i) {
    if (i > 0) path += '\\';
    path += target.items[i].name;
  }
  return path;
}

bool BuildShellLink(const ShellLinkTarget& target, std::string* bytes) {
  const char drive = target.driveLetter;
  if (drive < 'A' || drive > 'Z') return false;
  const ShellLinkItem root{"", true, 0, 0, 0, 0};
  const ShellLinkItem& last = target.items.empty() ? root : target.items.back();

  std::string out;
  Put32(out, kHeaderSize);
  PutBytes(out, kShellLinkClsid, sizeof kShellLinkClsid);
  Put32(out, kLinkHasTargetIdList | kLinkHasLinkInfo | kLinkIsUnicode);
  Put32(out, Attributes(last.isFolder));
  Put64(out, last.creationTime);
  Put64(out, last.accessTime);
  Put64(out, last.writeTime);
  Put32(out, last.isFolder ? 0 : static_cast<uint32_t>(last.size & 0xFFFFFFFFu));
  Put32(out, 0);  // icon index
  Put32(out, kShowNormal);
  Put16(out, 0);  // hot key
  Put16(out, 0);  // reserved
  Put32(out, 0);
  Put32(out, 0);

  if (!AppendIdList(out, target) || !AppendLinkInfo(out, target)) return false;
  Put32(out, 0);  // terminal block: no extra data
  *bytes = std::move(out);
  return true;
}

bool Utf8ToUtf16(const std::string& text, std::u16string* wide) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    uint32_t code = 0;
    size_t length = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
      code = lead, length = 1, minimum = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      code = lead & 0x1F, length = 2, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      code = lead & 0x0F, length = 3, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      code = lead & 0x07, length = 4, minimum = 0x10000;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  *wide = std::move(out);
  return true;
}

bool Utf16ToUtf8(const std::u16string& wide, std::string* text) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    uint32_t code = wide[i];
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 1 >= wide.size() || wide[i + 1] < 0xDC00 || wide[i + 1] > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(wide[i + 1]) - 0xDC00);
      ++i;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return false;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  *text = std::move(out);
  return true;
}

uint64_t FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  const int64_t since1601 = seconds + kSecondsFrom1601To1970;
  if (since1601 < 0) return 0;
  return static_cast<uint64_t>(since1601) * kFileTimeTicksPerSecond + static_cast<uint64_t>(nanoseconds / 100);
}

}  // namespace platform::posix
