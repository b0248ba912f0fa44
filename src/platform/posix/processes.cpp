// Processes of a prefix as real Linux processes.
//
// Membership: a process belongs to the prefix when its environment carries VODA_PREFIX naming the prefix
// root (read from /proc/<pid>/environ). Programs started here get VODA_PREFIX set to the root, VODA_SHOW
// set to the show mode ("SW_SHOW" or "SW_HIDE") and VODA_PARAMETERS set to the parameters text exactly as
// given, since the arguments alone lose blanks a Windows program would see in its command line.
//
// Starting: the program is started as a grandchild (fork, fork, exec), so no process of ours is left to
// reap it, as ShellExecute leaves none. Between fork and exec the child closes every inherited
// descriptor (the starter's own image lock among them) and takes the shared lock on its image file.
// Handles and waits for processes that are not ours use pidfds, with /proc polling where the kernel has
// none.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/image_lock.h"
#include "platform/posix/prefix_scope.h"

extern char** environ;

namespace platform::posix {
namespace {

using Clock = std::chrono::steady_clock;

// Called through syscall(): not every C library declares them for C++.
int PidfdOpen(int pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int PidfdKill(int pidfd) { return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0)); }

bool ReadWholeFile(const std::string& path, std::string* out, size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0;
    }
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > limit) break;
  }
  ::close(fd);
  return true;
}

struct ProcStat {
  char state = '?';
  unsigned long long startTime = 0;
};

// Fields of /proc/<pid>/stat after the command name, which may itself hold blanks and parentheses.
bool ReadProcStat(int pid, ProcStat* stat) {
  std::string text;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", &text, 4096)) return false;
  size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  const char* p = text.c_str() + close + 2;
  stat->state = *p;
  // Field 3 is the state; the start time is field 22.
  int field = 3;
  while (*p != '\0' && field < 22) {
    if (*p == ' ') ++field;
    ++p;
  }
  if (field != 22) return false;
  stat->startTime = std::strtoull(p, nullptr, 10);
  return true;
}

bool HasEnded(const ProcStat& stat) { return stat.state == 'Z' || stat.state == 'X'; }

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file name the process was started from: its first argument, as the starter named the program.
std::string ImageNameOf(int pid) {
  std::string cmdline;
  if (ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline", &cmdline, 65536) && !cmdline.empty()) {
    std::string first(cmdline.c_str());
    if (!first.empty()) return BaseName(first);
  }
  char buf[PATH_MAX];
  ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  std::string exe(buf, static_cast<size_t>(n));
  const std::string deleted = " (deleted)";
  if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
    exe.resize(exe.size() - deleted.size());
  return BaseName(exe);
}

// Waits for a pidfd to report the end of its process. kInfinite waits without limit.
Status PollPidfd(int pidfd, uint32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs != kInfinite) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = static_cast<int>(std::max<long long>(0, std::min<long long>(left, INT_MAX)));
    }
    pollfd p{pidfd, POLLIN, 0};
    int r = ::poll(&p, 1, wait);
    if (r > 0) return Status();
    if (r == 0) return Error::kTimeout;
    if (errno != EINTR) return Error::kIo;
  }
}

// Waits for a process by polling /proc: it has ended when it is gone, a zombie, or a later process has
// taken its id.
Status PollProc(int pid, unsigned long long startTime, uint32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto interval = std::chrono::milliseconds(1);
  for (;;) {
    ProcStat stat;
    if (!ReadProcStat(pid, &stat) || HasEnded(stat) || stat.startTime != startTime) return Status();
    if (timeoutMs != kInfinite && Clock::now() >= deadline) return Error::kTimeout;
    std::this_thread::sleep_for(interval);
    interval = std::min(interval * 2, std::chrono::milliseconds(20));
  }
}

class PosixProcessHandle final : public ProcessHandle {
 public:
  PosixProcessHandle(int pid, int pidfd, unsigned long long startTime)
      : pid_(pid), pidfd_(pidfd), startTime_(startTime) {}
  ~PosixProcessHandle() override {
    if (pidfd_ >= 0) ::close(pidfd_);
  }
  PosixProcessHandle(const PosixProcessHandle&) = delete;
  PosixProcessHandle& operator=(const PosixProcessHandle&) = delete;

  ProcessId Id() const override { return static_cast<ProcessId>(pid_); }

  Status Wait(uint32_t timeoutMs) override {
    if (pidfd_ >= 0) return PollPidfd(pidfd_, timeoutMs);
    return PollProc(pid_, startTime_, timeoutMs);
  }

 private:
  int pid_;
  int pidfd_;
  unsigned long long startTime_;
};

// Everything the child needs, prepared before fork: after fork only async-signal-safe calls are made.
struct LaunchPlan {
  std::string hostPath;
  std::string hostDirectory;
  std::vector<std::string> args;
  std::vector<std::string> env;
};

bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Reads up to size bytes, stopping early at the end of the stream; returns the count.
size_t ReadUpTo(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, p + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

Status ErrnoToStatus(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return Error::kNotFound;
    case EACCES:
    case EPERM:
    case ENOEXEC:
    case ETXTBSY:
      return Error::kAccessDenied;
    default:
      return Error::kIo;
  }
}

[[noreturn]] void RunChild(const std::string& path, const char* dir, char* const* argv, char* const* envp,
                           int statusFd) {
  // The status pipe moves to descriptor 3; everything above it is closed, the starter's image lock
  // included. It closes by itself on a successful exec.
  if (statusFd != 3) {
    if (::dup3(statusFd, 3, O_CLOEXEC) < 0) ::_exit(127);
  }
  ::close_range(4, ~0u, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) ::signal(sig, SIG_DFL);
  int err = 0;
  if (dir != nullptr && ::chdir(dir) != 0) {
    err = errno;
  } else {
    HoldImageLock(path);  // a program that cannot be read still runs, as the exec decides
    ::execve(path.c_str(), argv, envp);
    err = errno;
  }
  WriteAll(3, &err, sizeof err);
  ::_exit(127);
}

class PosixProcesses final : public Processes {
 public:
  explicit PosixProcesses(PrefixScope scope) : scope_(std::move(scope)) {}

  Status Snapshot(std::vector<ProcessEntry>* processes) override {
    processes->clear();
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) return Error::kIo;
    struct Row {
      unsigned long long startTime;
      int pid;
      std::string image;
    };
    std::vector<Row> rows;
    while (dirent* entry = ::readdir(dir)) {
      char* end = nullptr;
      long pid = std::strtol(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0' || pid <= 0) continue;
      ProcStat stat;
      if (!ReadProcStat(static_cast<int>(pid), &stat) || HasEnded(stat)) continue;
      if (!ProcessBelongsToPrefix(static_cast<int>(pid), scope_.root)) continue;
      std::string image = ImageNameOf(static_cast<int>(pid));
      if (image.empty()) continue;  // ended while we looked
      rows.push_back({stat.startTime, static_cast<int>(pid), std::move(image)});
    }
    ::closedir(dir);
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
      return a.startTime != b.startTime ? a.startTime < b.startTime : a.pid < b.pid;
    });
    for (auto& row : rows) processes->push_back({static_cast<ProcessId>(row.pid), std::move(row.image)});
    return Status();
  }

  Status Terminate(ProcessId id, uint32_t /*exitCode*/) override {
    if (id == 0 || id > static_cast<ProcessId>(INT_MAX)) return Error::kNotFound;
    const int pid = static_cast<int>(id);
    // The pidfd pins the process, so the membership check and the signal concern the same one.
    int pidfd = PidfdOpen(pid);
    if (pidfd < 0 && errno == ESRCH) return Error::kNotFound;
    if (!ProcessBelongsToPrefix(pid, scope_.root)) {
      if (pidfd >= 0) ::close(pidfd);
      return Error::kNotFound;
    }
    int rc = pidfd >= 0 ? PidfdKill(pidfd) : ::kill(pid, SIGKILL);
    if (rc != 0) {
      int err = errno;
      if (pidfd >= 0) ::close(pidfd);
      return err == ESRCH ? Status(Error::kNotFound) : ErrnoToStatus(err);
    }
    // A kill takes effect at once but not instantly; callers go on to replace the program's files, so
    // wait (briefly, bounded) until the process and its image lock are gone.
    if (pidfd >= 0) {
      (void)PollPidfd(pidfd, 2000);
      ::close(pidfd);
    } else {
      ProcStat stat;
      if (ReadProcStat(pid, &stat)) (void)PollProc(pid, stat.startTime, 2000);
    }
    return Status();
  }

  Status Start(const StartRequest& request) override { return Launch(request, nullptr); }

  Status StartWithHandle(const StartRequest& request, std::unique_ptr<ProcessHandle>* handle) override {
    handle->reset();
    return Launch(request, handle);
  }

  Status WaitForExit(ProcessId id, uint32_t timeoutMs) override {
    if (id == 0 || id > static_cast<ProcessId>(INT_MAX)) return Status();
    const int pid = static_cast<int>(id);
    int pidfd = PidfdOpen(pid);
    if (pidfd < 0 && errno == ESRCH) return Status();
    // An ended process (a zombie) no longer shows its environment, so it counts as gone here too.
    if (!ProcessBelongsToPrefix(pid, scope_.root)) {
      if (pidfd >= 0) ::close(pidfd);
      return Status();
    }
    if (pidfd >= 0) {
      Status s = PollPidfd(pidfd, timeoutMs);
      ::close(pidfd);
      return s;
    }
    ProcStat stat;
    if (!ReadProcStat(pid, &stat)) return Status();
    return PollProc(pid, stat.startTime, timeoutMs);
  }

 private:
  static bool IsFile(const std::string& hostPath) {
    struct stat st;
    return ::stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  // Finds the program file as the shell does: a path as it is (a relative one below the current
  // directory), a bare file name missing there in the system folders.
  Status ResolveProgram(const std::string& file, std::string* hostPath) const {
    if (file.empty() || !scope_.toHost) return Error::kNotFound;
    if (!scope_.toHost(file, hostPath)) return Error::kNotFound;
    const bool bare = file.find_first_of("\\/:") == std::string::npos;
    if (bare && !IsFile(*hostPath)) {
      for (const char* folder : {"C:\\Windows\\System32\\", "C:\\Windows\\"}) {
        std::string candidate;
        if (scope_.toHost(folder + file, &candidate) && IsFile(candidate)) {
          *hostPath = candidate;
          break;
        }
      }
    }
    struct stat st;
    if (::stat(hostPath->c_str(), &st) != 0) return Error::kNotFound;
    if (!S_ISREG(st.st_mode) || ::access(hostPath->c_str(), X_OK) != 0) return Error::kAccessDenied;
    return Status();
  }

  Status Plan(const StartRequest& request, LaunchPlan* plan) const {
    Status s = ResolveProgram(request.file, &plan->hostPath);
    if (!s.ok()) return s;
    if (!request.directory.empty()) {
      if (!scope_.toHost(request.directory, &plan->hostDirectory)) return Error::kNotFound;
      struct stat st;
      if (::stat(plan->hostDirectory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Error::kNotFound;
    }
    plan->args.push_back(plan->hostPath);
    for (auto& arg : SplitCommandLine(request.parameters)) plan->args.push_back(std::move(arg));
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      const std::string var(*e);
      if (var.rfind("VODA_PREFIX=", 0) == 0 || var.rfind("VODA_SHOW=", 0) == 0 ||
          var.rfind("VODA_PARAMETERS=", 0) == 0)
        continue;
      plan->env.push_back(var);
    }
    plan->env.push_back("VODA_PREFIX=" + scope_.root);
    plan->env.push_back(std::string("VODA_SHOW=") + (request.show == ShowMode::kHide ? "SW_HIDE" : "SW_SHOW"));
    plan->env.push_back("VODA_PARAMETERS=" + request.parameters);
    return Status();
  }

  Status Launch(const StartRequest& request, std::unique_ptr<ProcessHandle>* handle) const {
    LaunchPlan plan;
    Status planned = Plan(request, &plan);
    if (!planned.ok()) return planned;
    std::vector<char*> argv;
    for (auto& a : plan.args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : plan.env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const char* dir = plan.hostDirectory.empty() ? nullptr : plan.hostDirectory.c_str();

    // status: the grandchild's id, then an errno if its exec failed. release: the middle process waits
    // on it, so the grandchild cannot be reaped (and its id reused) before we hold a pidfd for it.
    int status[2];
    int release[2];
    if (::pipe2(status, O_CLOEXEC) != 0) return Error::kIo;
    if (::pipe2(release, O_CLOEXEC) != 0) {
      ::close(status[0]);
      ::close(status[1]);
      return Error::kIo;
    }
    pid_t middle = ::fork();
    if (middle < 0) {
      for (int fd : {status[0], status[1], release[0], release[1]}) ::close(fd);
      return Error::kIo;
    }
    if (middle == 0) {
      ::close(status[0]);
      ::close(release[1]);
      pid_t child = ::fork();
      if (child == 0) RunChild(plan.hostPath, dir, argv.data(), envp.data(), status[1]);
      int32_t id = child > 0 ? static_cast<int32_t>(child) : -1;
      WriteAll(status[1], &id, sizeof id);
      ::close(status[1]);
      char byte;
      (void)ReadUpTo(release[0], &byte, 1);
      ::_exit(0);
    }
    ::close(status[1]);
    ::close(release[0]);

    int32_t id = -1;
    size_t got = ReadUpTo(status[0], &id, sizeof id);
    int pidfd = -1;
    unsigned long long startTime = 0;
    if (got == sizeof id && id > 0) {
      if (handle != nullptr) {
        pidfd = PidfdOpen(id);
        ProcStat stat;
        if (ReadProcStat(id, &stat)) startTime = stat.startTime;
      }
    }
    ::close(release[1]);
    int err = 0;
    size_t errGot = got == sizeof id ? ReadUpTo(status[0], &err, sizeof err) : 0;
    ::close(status[0]);
    int ignored;
    while (::waitpid(middle, &ignored, 0) < 0 && errno == EINTR) {
    }
    if (got != sizeof id || id <= 0 || errGot == sizeof err) {
      if (pidfd >= 0) ::close(pidfd);
      return errGot == sizeof err ? ErrnoToStatus(err) : Status(Error::kIo);
    }
    if (handle != nullptr) *handle = std::make_unique<PosixProcessHandle>(id, pidfd, startTime);
    return Status();
  }

  PrefixScope scope_;
};

}  // namespace

bool ProcessBelongsToPrefix(int pid, const std::string& root) {
  std::string env;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/environ", &env, 1 << 20)) return false;
  const std::string key = "VODA_PREFIX=";
  size_t pos = 0;
  while (pos < env.size()) {
    size_t end = env.find('\0', pos);
    if (end == std::string::npos) end = env.size();
    if (env.compare(pos, key.size(), key) == 0) {
      std::string value = env.substr(pos + key.size(), end - pos - key.size());
      if (value == root) return true;
      if (value.empty()) return false;
      // A relative value names a folder below that process's current directory.
      if (value[0] != '/') value = "/proc/" + std::to_string(pid) + "/cwd/" + value;
      char resolved[PATH_MAX];
      return ::realpath(value.c_str(), resolved) != nullptr && root == resolved;
    }
    pos = end + 1;
  }
  return false;
}

std::unique_ptr<Processes> NewScopedProcesses(PrefixScope scope) {
  return std::make_unique<PosixProcesses>(std::move(scope));
}

}  // namespace platform::posix
