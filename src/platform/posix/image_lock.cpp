#include "platform/posix/image_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform::posix {

bool HoldImageLock(const std::string& hostPath) {
  // No O_CLOEXEC: the lock must survive exec when a launcher takes it for its child.
  int fd = ::open(hostPath.c_str(), O_RDONLY);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_SH) != 0) {
    ::close(fd);
    return false;
  }
  return true;  // the descriptor stays open until the process ends
}

bool HoldOwnImageLock() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return false;
  buf[n] = '\0';
  return HoldImageLock(buf);
}

bool IsImageLocked(const std::string& hostPath) {
  int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  if (!locked) ::flock(fd, LOCK_UN);
  ::close(fd);
  return locked;
}

}  // namespace platform::posix
