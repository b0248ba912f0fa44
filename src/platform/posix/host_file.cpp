#include "platform/posix/host_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform::posix {
namespace {

std::atomic<unsigned> g_tempCounter{0};

// Temporary files are named "." + target name + this marker + pid and counter.
constexpr char kTempMarker[] = ".~tmp";

// How much of a temporary file is written before it is handed to the disk.
constexpr uint64_t kWritebackStep = 8u << 20;

int WriteAll(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

int SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return rc;
}

// The lock a writer holds on its temporary file (exclusive) and a sweep tries to take (shared, without
// waiting). An open-file-description lock: independent of the image locks (flock) that a renamed
// temporary may meet, and held per descriptor, so threads of one process see each other's.
bool LockTemp(int fd, bool writer) {
  struct flock lock {};
  lock.l_type = writer ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Gives the complete temporary file the name `path` unless something exists there (EEXIST).
int LinkNoReplace(const std::string& temp, const std::string& path) {
  int rc = ::link(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
  if (rc == EPERM || rc == EOPNOTSUPP || rc == ENOSYS) {  // a file system without hard links
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
      rc = EEXIST;
    } else {
      rc = ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
    }
  }
  ::unlink(temp.c_str());
  return rc;
}

}  // namespace

Error Translate(int err) {
  switch (err) {
    case 0: return Error::kOk;
    case ENOENT:
    case ENOTDIR: return Error::kNotFound;
    case EEXIST:
    case ENOTEMPTY: return Error::kAlreadyExists;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EBUSY:
    case ETXTBSY: return Error::kAccessDenied;
    case ENAMETOOLONG:
    case EINVAL: return Error::kInvalid;
    default: return Error::kIo;
  }
}

std::string HostParent(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

HostTempFile::~HostTempFile() { Discard(); }

void HostTempFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

std::string HostTempFile::TempName() const {
  std::string folder = HostParent(target_);
  std::string base = target_.substr(target_.rfind('/') + 1);
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, "%s%ld.%u", kTempMarker, static_cast<long>(::getpid()),
                g_tempCounter++);
  return (folder == "/" ? std::string() : folder) + "/." + base + suffix;
}

int HostTempFile::Create(const std::string& target) {
  Discard();
  target_ = target;
  // Unnamed until it is complete, where the file system allows: a writer killed mid-write leaves
  // nothing behind. Otherwise a hidden name beside the target, which RemoveStaleTemporaries clears.
  int fd = -1;
#ifdef O_TMPFILE
  fd = ::open(HostParent(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
#endif
  std::string temp;
  if (fd < 0) {
    temp = TempName();
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
  }
  // Marks the temporary file as being written: RemoveStaleTemporaries leaves it alone.
  if (!LockTemp(fd, true)) {
    int rc = errno;
    ::close(fd);
    if (!temp.empty()) ::unlink(temp.c_str());
    return rc;
  }
  temp_ = temp;
  fd_ = fd;
  written_ = 0;
  flushed_ = 0;
  return 0;
}

// Gives an unnamed temporary file its hidden name, so that it can be renamed over the target.
int HostTempFile::NameUnnamed() {
  if (!temp_.empty()) return 0;
  const std::string name = TempName();
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) return errno;
  temp_ = name;
  return 0;
}

int HostTempFile::Append(const void* data, size_t size) {
  if (fd_ < 0) return EBADF;
  if (int rc = WriteAll(fd_, static_cast<const char*>(data), size); rc != 0) return rc;
  written_ += size;
#ifdef SYNC_FILE_RANGE_WRITE
  // A large file is handed to the disk while it is written, so the sync at the commit has little
  // left to wait for. Failures show at that sync.
  if (written_ - flushed_ >= kWritebackStep) {
    (void)::sync_file_range(fd_, static_cast<off_t>(flushed_), static_cast<off_t>(written_ - flushed_),
                            SYNC_FILE_RANGE_WRITE);
    flushed_ = written_;
  }
#endif
  return 0;
}

int HostTempFile::AppendFrom(int source) {
  if (fd_ < 0) return EBADF;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(source, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (int rc = Append(buf, static_cast<size_t>(n)); rc != 0) return rc;
  }
}

int HostTempFile::Commit(mode_t mode, bool noReplace) {
  if (fd_ < 0) return EBADF;
  int rc = ::fchmod(fd_, mode) == 0 ? 0 : errno;
  if (rc == 0 && ::fsync(fd_) != 0) rc = errno;
  if (rc == 0) rc = NameUnnamed();
  // Renamed while still open and locked, so that no sweep of stale temporaries takes it meanwhile.
  if (rc == 0) {
    if (noReplace) {
      rc = LinkNoReplace(temp_, target_);  // removes the temporary name either way
      temp_.clear();
    } else if (::rename(temp_.c_str(), target_.c_str()) == 0) {
      temp_.clear();
    } else {
      rc = errno;
    }
  }
  ::close(fd_);  // after the sync nothing is left that closing could report
  fd_ = -1;
  Discard();
  if (rc != 0) return rc;
  return SyncFolder(HostParent(target_));
}

int WriteHostFileAtomic(const std::string& path, const std::string& data, mode_t mode) {
  HostTempFile file;
  int rc = file.Create(path);
  if (rc == 0) rc = file.Append(data.data(), data.size());
  return rc != 0 ? rc : file.Commit(mode, false);
}

int CreateHostFileExclusive(const std::string& path, const std::string& data, mode_t mode) {
  HostTempFile file;
  int rc = file.Create(path);
  if (rc == 0) rc = file.Append(data.data(), data.size());
  return rc != 0 ? rc : file.Commit(mode, true);
}

int CopyHostFileAtomic(const std::string& from, const std::string& to, mode_t mode, bool noReplace) {
  int src = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (src < 0) return errno;
  HostTempFile file;
  int rc = file.Create(to);
  if (rc == 0) rc = file.AppendFrom(src);
  ::close(src);
  return rc != 0 ? rc : file.Commit(mode, noReplace);
}

void RemoveStaleTemporaries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> found;
  while (dirent* e = ::readdir(dir)) {
    if (IsTemporaryName(e->d_name)) found.push_back((folder == "/" ? std::string() : folder) + "/" + e->d_name);
  }
  ::closedir(dir);
  for (const std::string& path : found) {
    // A writer holds the lock on its temporary file until the file has its final name.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (LockTemp(fd, false)) ::unlink(path.c_str());
    ::close(fd);
  }
}

bool IsTemporaryName(const std::string& name) {
  return name.size() > 1 && name[0] == '.' && name.find(kTempMarker) != std::string::npos;
}

int ReadHostFile(const std::string& path, std::string* data) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int rc = ::fstat(fd, &st) != 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : 0);
  if (rc != 0) {
    ::close(fd);
    return rc;
  }
  data->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = errno;
      ::close(fd);
      return rc;
    }
    if (n == 0) break;
    data->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

int MakeHostFolders(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  std::string parent = HostParent(path);
  if (parent != path && parent != "." && parent != "/") {
    int rc = MakeHostFolders(parent);
    if (rc != 0) return rc;
  }
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return errno;
  return 0;
}

}  // namespace platform::posix
