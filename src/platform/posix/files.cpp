// FileSystem over the prefix's drives.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/posix/core_backends.h"
#include "platform/posix/host_file.h"
#include "platform/posix/image_lock.h"
#include "platform/posix/prefix.h"

namespace platform::posix {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Windows wildcard match ignoring ASCII case: "*" any run, "?" one character; "*.*" matches every name.
bool WildcardMatch(const char* pattern, const char* name) {
  if (std::strcmp(pattern, "*.*") == 0 || std::strcmp(pattern, "*") == 0) return true;
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '?' || (*pattern != '*' && Lower(*pattern) == Lower(*name))) {
      ++pattern;
      ++name;
    } else if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

bool HostStat(const std::string& host, struct stat* st) { return ::stat(host.c_str(), st) == 0; }

bool HostIsFolder(const std::string& host) {
  struct stat st;
  return HostStat(host, &st) && S_ISDIR(st.st_mode);
}

bool EndsWithExe(const std::string& host) {
  if (host.size() < 4) return false;
  std::string ext = host.substr(host.size() - 4);
  for (char& c : ext) c = Lower(c);
  return ext == ".exe";
}

// The mode a new content of the file gets, or why it may not replace what is at `host` now: a folder,
// a running program's image, a read-only file.
Status ReplacementMode(const std::string& host, mode_t* mode) {
  struct stat st;
  if (!HostStat(host, &st)) {
    *mode = EndsWithExe(host) ? 0755 : 0644;  // a new "*.exe" can be started as a program
    return Error::kOk;
  }
  if (S_ISDIR(st.st_mode)) return Error::kAccessDenied;
  if (IsImageLocked(host)) return Error::kAccessDenied;
  if (::access(host.c_str(), W_OK) != 0) return Error::kAccessDenied;
  *mode = st.st_mode & 07777;
  return Error::kOk;
}

class PosixStagedFile final : public StagedFile {
 public:
  explicit PosixStagedFile(std::string host) : host_(std::move(host)) {}
  int Create() { return temp_.Create(host_); }

  Status Append(const void* data, size_t size) override {
    if (done_) return Error::kInvalid;
    if (int rc = temp_.Append(data, size); rc != 0) {
      Finish();  // a content with a piece missing is never committed
      return Translate(rc);
    }
    return Error::kOk;
  }

  Status Commit() override {
    if (done_) return Error::kInvalid;
    mode_t mode = 0;
    Status s = ReplacementMode(host_, &mode);
    if (s.ok()) s = Translate(temp_.Commit(mode, false));
    Finish();
    return s;
  }

 private:
  void Finish() {
    done_ = true;
    temp_.Discard();
  }

  const std::string host_;
  HostTempFile temp_;
  bool done_ = false;
};

class PosixFileReader final : public FileReader {
 public:
  explicit PosixFileReader(int fd) : fd_(fd) {}
  ~PosixFileReader() override { ::close(fd_); }
  PosixFileReader(const PosixFileReader&) = delete;
  PosixFileReader& operator=(const PosixFileReader&) = delete;

  Status Read(void* buffer, size_t capacity, size_t* got) override {
    *got = 0;
    char* out = static_cast<char*>(buffer);
    while (*got < capacity) {
      ssize_t n = ::read(fd_, out + *got, capacity - *got);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Translate(errno);
      }
      if (n == 0) break;
      *got += static_cast<size_t>(n);
    }
    return Error::kOk;
  }

 private:
  const int fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  // The module path is taken at start: like Windows, the program keeps the name it was started as even
  // when its file is renamed while it runs.
  explicit PosixFileSystem(const Prefix& prefix) : prefix_(prefix), modulePath_(ReadModulePath(prefix)) {}

  bool Exists(const std::string& path) override {
    std::string host;
    struct stat st;
    return prefix_.ToHost(path, &host).ok() && HostStat(host, &st);
  }

  bool IsFolder(const std::string& path) override {
    std::string host;
    return prefix_.ToHost(path, &host).ok() && HostIsFolder(host);
  }

  Status CreateFolder(const std::string& path) override {
    std::string host;
    if (Status s = prefix_.ToHost(path, &host); !s.ok()) return s;
    if (OnReadOnlyDrive(host)) return Error::kAccessDenied;
    struct stat st;
    if (::lstat(host.c_str(), &st) == 0) return Error::kAlreadyExists;
    if (::mkdir(host.c_str(), 0777) != 0) return Translate(errno);
    return Error::kOk;
  }

  Status CopyFile(const std::string& from, const std::string& to, bool failIfExists) override {
    std::string src, dst;
    if (Status s = prefix_.ToHost(from, &src); !s.ok()) return s;
    if (Status s = prefix_.ToHost(to, &dst); !s.ok()) return s;
    if (OnReadOnlyDrive(dst)) return Error::kAccessDenied;
    struct stat srcSt, dstSt;
    if (!HostStat(src, &srcSt)) return Translate(errno);
    if (S_ISDIR(srcSt.st_mode)) return Error::kAccessDenied;
    if (HostStat(dst, &dstSt)) {
      if (S_ISDIR(dstSt.st_mode)) return Error::kAccessDenied;
      if (failIfExists) return Error::kAlreadyExists;
      // A file cannot be copied onto itself, nor over the image of a running program.
      if (dstSt.st_dev == srcSt.st_dev && dstSt.st_ino == srcSt.st_ino) return Error::kAccessDenied;
      if (IsImageLocked(dst)) return Error::kAccessDenied;
    }
    if (!HostIsFolder(HostParent(dst))) return Error::kNotFound;
    int rc = CopyHostFileAtomic(src, dst, srcSt.st_mode & 07777, failIfExists);
    return Translate(rc);
  }

  Status MoveFile(const std::string& from, const std::string& to) override {
    std::string src, dst;
    if (Status s = prefix_.ToHost(from, &src); !s.ok()) return s;
    if (Status s = prefix_.ToHost(to, &dst); !s.ok()) return s;
    if (OnReadOnlyDrive(src) || OnReadOnlyDrive(dst)) return Error::kAccessDenied;
    struct stat srcSt, dstSt;
    if (::lstat(src.c_str(), &srcSt) != 0) return Translate(errno);
    if (!HostIsFolder(HostParent(dst))) return Error::kNotFound;
    if (::lstat(dst.c_str(), &dstSt) == 0) {
      // A change of case only: the destination resolved to the source itself; give it the new spelling.
      size_t cut = to.find_last_of("\\/");
      std::string name = to.substr(cut == std::string::npos ? 0 : cut + 1);
      std::string srcName = src.substr(src.rfind('/') + 1);
      if (dst != src || ::strcasecmp(name.c_str(), srcName.c_str()) != 0) return Error::kAlreadyExists;
      dst = HostParent(src) + "/" + name;
      if (dst == src) return Error::kOk;
      return ::rename(src.c_str(), dst.c_str()) == 0 ? Error::kOk : Translate(errno);
    }
    if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return Error::kOk;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {  // a file system without RENAME_NOREPLACE
      if (::lstat(dst.c_str(), &dstSt) == 0) return Error::kAlreadyExists;
      if (::rename(src.c_str(), dst.c_str()) == 0) return Error::kOk;
      err = errno;
    }
    if (err == EXDEV && S_ISREG(srcSt.st_mode)) {  // onto another drive: copy, then remove the source
      if (IsImageLocked(src)) return Error::kAccessDenied;  // a running program's image stays
      int rc = CopyHostFileAtomic(src, dst, srcSt.st_mode & 07777, true);
      if (rc != 0) return Translate(rc);
      if (::unlink(src.c_str()) != 0) {
        rc = errno;
        ::unlink(dst.c_str());
        return Translate(rc);
      }
      return Error::kOk;
    }
    if (err == EEXIST || err == ENOTEMPTY) return Error::kAlreadyExists;
    return Translate(err);
  }

  Status DeleteFile(const std::string& path) override {
    std::string host;
    if (Status s = prefix_.ToHost(path, &host); !s.ok()) return s;
    if (OnReadOnlyDrive(host)) return Error::kAccessDenied;
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0) return Translate(errno);
    if (S_ISDIR(st.st_mode)) return Error::kAccessDenied;
    if (IsImageLocked(host)) return Error::kAccessDenied;
    return ::unlink(host.c_str()) == 0 ? Error::kOk : Translate(errno);
  }

  Status RemoveFolder(const std::string& path) override {
    std::string host;
    if (Status s = prefix_.ToHost(path, &host); !s.ok()) return s;
    if (OnReadOnlyDrive(host)) return Error::kAccessDenied;
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0) return Translate(errno);
    if (!S_ISDIR(st.st_mode)) return Error::kInvalid;
    if (::rmdir(host.c_str()) == 0) return Error::kOk;
    return (errno == ENOTEMPTY || errno == EEXIST || errno == EBUSY) ? Error::kAccessDenied : Translate(errno);
  }

  Status FindFiles(const std::string& pattern, std::vector<DirEntry>* entries) override {
    entries->clear();
    size_t cut = pattern.find_last_of("\\/");
    std::string folder, wildcard;
    if (cut == std::string::npos) {
      bool drive = pattern.size() >= 2 && pattern[1] == ':';
      folder = drive ? pattern.substr(0, 2) + "\\" : ".";
      wildcard = drive ? pattern.substr(2) : pattern;
    } else {
      folder = cut == 0 ? "\\" : pattern.substr(0, cut);
      if (folder.size() == 2 && folder[1] == ':') folder += "\\";
      wildcard = pattern.substr(cut + 1);
    }
    if (wildcard.empty()) return Error::kNotFound;
    if (wildcard.find('\0') != std::string::npos) return Error::kInvalid;
    std::string host;
    if (Status s = prefix_.ToHost(folder, &host); !s.ok()) return s;
    DIR* dir = ::opendir(host.c_str());
    if (dir == nullptr) return errno == EACCES ? Error::kAccessDenied : Error::kNotFound;
    while (dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name == "." || name == ".." || IsTemporaryName(name)) continue;
      if (!WildcardMatch(wildcard.c_str(), name.c_str())) continue;
      entries->push_back(DirEntry{name, HostIsFolder(host + "/" + name)});
    }
    ::closedir(dir);
    return Error::kOk;
  }

  Status ReadFile(const std::string& path, std::string* data) override {
    std::string host;
    if (Status s = prefix_.ToHost(path, &host); !s.ok()) return s;
    return Translate(ReadHostFile(host, data));
  }

  Status WriteFile(const std::string& path, const std::string& data) override {
    std::unique_ptr<StagedFile> file;
    if (Status s = CreateStagedFile(path, &file); !s.ok()) return s;
    if (Status s = file->Append(data.data(), data.size()); !s.ok()) return s;
    return file->Commit();
  }

  Status CreateStagedFile(const std::string& path, std::unique_ptr<StagedFile>* file) override {
    file->reset();
    std::string host;
    if (Status s = prefix_.ToHost(path, &host); !s.ok()) return s;
    if (OnReadOnlyDrive(host)) return Error::kAccessDenied;
    if (!HostIsFolder(HostParent(host))) return Error::kNotFound;
    if (HostIsFolder(host)) return Error::kAccessDenied;
    SweepFolderOnce(HostParent(host));
    auto staged = std::make_unique<PosixStagedFile>(host);
    if (int rc = staged->Create(); rc != 0) return Translate(rc);
    *file = std::move(staged);
    return Error::kOk;
  }

  Status OpenForRead(const std::string& path, std::unique_ptr<FileReader>* reader) override {
    reader->reset();
    std::string host;
    if (Status s = prefix_.ToHost(path, &host); !s.ok()) return s;
    int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Translate(errno);
    struct stat st;
    int rc = ::fstat(fd, &st) != 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : 0);
    if (rc != 0) {
      ::close(fd);
      return Translate(rc);
    }
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    *reader = std::make_unique<PosixFileReader>(fd);
    return Error::kOk;
  }

  Status FileSize(const std::string& path, uint64_t* size) override {
    std::string host;
    if (Status s = prefix_.ToHost(path, &host); !s.ok()) return s;
    struct stat st;
    if (!HostStat(host, &st)) return Translate(errno);
    if (S_ISDIR(st.st_mode)) return Error::kAccessDenied;
    *size = static_cast<uint64_t>(st.st_size);
    return Error::kOk;
  }

  DriveType GetDriveType(const std::string& root) override {
    bool rootForm = (root.size() == 2 || (root.size() == 3 && (root[2] == '\\' || root[2] == '/'))) &&
                    root[1] == ':';
    if (!rootForm) return DriveType::kNoRootDir;
    const Drive* drive = prefix_.FindDrive(root[0]);
    return drive == nullptr ? DriveType::kNoRootDir : drive->type;
  }

  std::string TempPath() override {
    std::string temp = prefix_.GetMachine().temp;
    if (temp.empty()) temp = "C:\\Windows\\Temp";
    if (temp.back() != '\\') temp += "\\";
    return temp;
  }

  std::string CurrentDirectory() override {
    std::string buf(4096, '\0');
    while (::getcwd(&buf[0], buf.size()) == nullptr) {
      if (errno != ERANGE) return prefix_.ToWindows("/");
      buf.resize(buf.size() * 2);
    }
    return prefix_.ToWindows(buf.c_str());
  }

  Status SetCurrentDirectory(const std::string& path) override {
    std::string host;
    if (Status s = prefix_.ToHost(path, &host); !s.ok()) return s;
    return ::chdir(host.c_str()) == 0 ? Error::kOk : Translate(errno);
  }

  std::string ModulePath() override { return modulePath_; }

 private:
  // A CD-ROM is read-only: nothing on it is created, changed or removed.
  bool OnReadOnlyDrive(const std::string& host) const {
    const Drive* drive = prefix_.FindDrive(prefix_.ToWindows(host)[0]);
    return drive != nullptr && drive->type == DriveType::kCdRom;
  }

  static std::string ReadModulePath(const Prefix& prefix) {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    buf[n] = '\0';
    return prefix.ToWindows(buf);
  }

  // Clears what writers killed mid-write left in the folder, the first time this process writes there.
  // Later leftovers can only come from other processes killed meanwhile; the next process clears them.
  // Once per folder, so that writing many files into one folder does not list it again for each.
  void SweepFolderOnce(const std::string& folder) {
    {
      std::lock_guard<std::mutex> lock(sweptMu_);
      if (!swept_.insert(folder).second) return;
    }
    RemoveStaleTemporaries(folder);
  }

  const Prefix& prefix_;
  const std::string modulePath_;
  std::mutex sweptMu_;
  std::set<std::string> swept_;  // host folders already cleared of leftovers
};

}  // namespace

std::unique_ptr<FileSystem> NewPosixFileSystem(const Prefix& prefix) {
  return std::make_unique<PosixFileSystem>(prefix);
}

}  // namespace platform::posix
