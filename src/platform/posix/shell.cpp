// Shell: special folders from the prefix's machine.ini, shortcut files in the Shell Link format.
#include <sys/stat.h>

#include <cctype>
#include <vector>

#include "platform/posix/core_backends.h"
#include "platform/posix/prefix.h"
#include "platform/posix/shell_link.h"

namespace platform::posix {
namespace {

// A stable stand-in for a volume's serial number: the FNV-1a hash of the drive's host folder.
uint32_t DriveSerial(const Drive& drive) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : drive.hostRoot) hash = (hash ^ c) * 16777619u;
  return hash;
}

// The components of an absolute drive path below its root, with "." and ".." resolved as Windows
// resolves them (never above the root). False for a path without a drive letter and root.
bool SplitDrivePath(const std::string& path, char* letter, std::vector<std::string>* components) {
  if (path.size() < 3 || !std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' ||
      (path[2] != '\\' && path[2] != '/')) {
    return false;
  }
  *letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  components->clear();
  std::string piece;
  auto take = [&]() {
    if (piece == "..") {
      if (!components->empty()) components->pop_back();
    } else if (!piece.empty() && piece != ".") {
      components->push_back(piece);
    }
    piece.clear();
  };
  for (size_t i = 3; i < path.size(); ++i) {
    if (path[i] == '\\' || path[i] == '/') {
      take();
    } else {
      piece += path[i];
    }
  }
  take();
  return true;
}

class PosixShell final : public Shell {
 public:
  explicit PosixShell(const Prefix& prefix)
      : prefix_(prefix), machine_(prefix.GetMachine()), files_(NewPosixFileSystem(prefix)) {}

  Status GetSpecialFolderPath(int csidl, std::string* path) override {
    const std::string* folder = nullptr;
    switch (csidl) {
      case kCsidlCommonPrograms: folder = &machine_.commonPrograms; break;
      case kCsidlCommonDesktopDirectory: folder = &machine_.commonDesktop; break;
      case kCsidlAppData: folder = &machine_.appData; break;
      case kCsidlProgramFiles: folder = &machine_.programFiles; break;
      default: return Error::kNotFound;
    }
    if (folder->empty()) return Error::kNotFound;
    *path = *folder;
    return Error::kOk;
  }

  // No shell on the host keeps views of the prefix's folders: nobody to tell.
  void NotifyChange(ShellChange, const std::string&) override {}

  Status CreateShellLink(const std::string& targetPath, const std::u16string& linkPath) override {
    std::string link;
    if (!Utf16ToUtf8(linkPath, &link) || link.empty()) return Error::kInvalid;
    ShellLinkTarget target;
    if (Status s = DescribeTarget(targetPath, &target); !s.ok()) return s;
    std::string bytes;
    if (!BuildShellLink(target, &bytes)) return Error::kInvalid;
    return files_->WriteFile(link, bytes);
  }

 private:
  // What the link records of its target: each component of the path as the file system describes it
  // now. Components that do not exist are taken as folders, and a missing target as a file.
  Status DescribeTarget(const std::string& targetPath, ShellLinkTarget* target) const {
    std::vector<std::string> components;
    if (!SplitDrivePath(targetPath, &target->driveLetter, &components)) return Error::kInvalid;
    const Drive* drive = prefix_.FindDrive(target->driveLetter);
    if (drive == nullptr) return Error::kNotFound;
    target->driveType = drive->type;
    target->driveSerial = DriveSerial(*drive);

    std::string windowsPath = std::string(1, target->driveLetter) + ":";
    for (size_t i = 0; i < components.size(); ++i) {
      windowsPath += "\\" + components[i];
      ShellLinkItem item;
      item.name = components[i];
      item.isFolder = i + 1 < components.size();
      std::string host;
      struct stat st {};
      if (prefix_.ToHost(windowsPath, &host).ok() && ::stat(host.c_str(), &st) == 0) {
        item.isFolder = S_ISDIR(st.st_mode);
        item.size = item.isFolder ? 0 : static_cast<uint64_t>(st.st_size);
        item.writeTime = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        item.accessTime = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
        // The host keeps no creation time: the last change of the entry stands in for it.
        item.creationTime = FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
      }
      target->items.push_back(std::move(item));
    }
    return Error::kOk;
  }

  const Prefix& prefix_;
  const Machine& machine_;
  std::unique_ptr<FileSystem> files_;
};

}  // namespace

std::unique_ptr<Shell> NewPosixShell(const Prefix& prefix) { return std::make_unique<PosixShell>(prefix); }

}  // namespace platform::posix

namespace platform {

Status AnsiToWide(const std::string& text, std::u16string* wide) {
  // The prefix's system code page is UTF-8.
  return posix::Utf8ToUtf16(text, wide) ? Error::kOk : Error::kInvalid;
}

}  // namespace platform
