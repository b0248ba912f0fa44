// Test support for processes and kernel objects: a prefix of its own in a temporary folder, copies of
// the stand-in program in it, and forked helper processes that report back through a pipe.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/backends.h"
#include "platform/posix/prefix.h"
#include "standins/journal.h"

namespace procs_test {

// A fresh prefix below the temporary folder, removed with everything it started.
class TempPrefix {
 public:
  // The prefix is <temporary folder>/<subfolder>; a deep subfolder gives paths longer than a socket
  // address holds.
  explicit TempPrefix(const std::string& subfolder = "prefix") {
    std::string templ = (std::filesystem::temp_directory_path() / "procs-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) ADD_FAILURE() << "mkdtemp";
    root_ = templ + "/" + subfolder;
    std::filesystem::create_directories(root_);
    std::string error;
    if (!platform::posix::Prefix::Open(root_, &prefix_, &error)) ADD_FAILURE() << error;
    tempDir_ = templ;
    processes_ = platform::posix::NewPosixProcesses(*prefix_);
    objects_ = platform::posix::NewPosixKernelObjects(*prefix_);
  }
  ~TempPrefix() {
    // Nothing the test started may outlive it.
    std::vector<platform::ProcessEntry> running;
    if (processes_ && processes_->Snapshot(&running).ok())
      for (const auto& p : running)
        if (p.id != static_cast<platform::ProcessId>(::getpid())) (void)processes_->Terminate(p.id, 0);
    objects_.reset();
    processes_.reset();
    std::error_code ec;
    std::filesystem::remove_all(tempDir_, ec);
  }
  TempPrefix(const TempPrefix&) = delete;
  TempPrefix& operator=(const TempPrefix&) = delete;

  const platform::posix::Prefix& prefix() const { return *prefix_; }
  platform::Processes& procs() { return *processes_; }
  platform::KernelObjects& objects() { return *objects_; }
  // The canonical root, as started programs see it in VODA_PREFIX.
  std::string root() const { return std::filesystem::canonical(root_).string(); }

  std::string Host(const std::string& windowsPath) const {
    std::string host;
    EXPECT_TRUE(prefix_->ToHost(windowsPath, &host).ok()) << windowsPath;
    return host;
  }

  // Copies the stand-in program to a Windows path of the prefix; returns the host path.
  std::string InstallStandin(const std::string& windowsPath) const {
    std::string host = Host(windowsPath);
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    std::filesystem::copy_file(std::string(VODA_BIN_DIR) + "/standin", host,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(host, std::filesystem::perms::owner_all);
    return host;
  }

  std::vector<standins::JournalEntry> Journal() const { return standins::ReadJournal(root()); }

  // Waits (bounded) until the journal holds an entry of the event for the process or image.
  bool WaitForJournal(const std::function<bool(const standins::JournalEntry&)>& match,
                      standins::JournalEntry* found = nullptr) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& e : Journal())
        if (match(e)) {
          if (found != nullptr) *found = e;
          return true;
        }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

 private:
  std::string tempDir_;
  std::string root_;
  std::unique_ptr<platform::posix::Prefix> prefix_;
  std::unique_ptr<platform::Processes> processes_;
  std::unique_ptr<platform::KernelObjects> objects_;
};

// A forked helper process: runs body(reportFd) and exits with its result. The parent reads what it
// reports, bounded in time, and kills it at the end if it still runs.
class Child {
 public:
  explicit Child(const std::function<int(int reportFd)>& body) {
    int fds[2];
    if (::pipe(fds) != 0) ADD_FAILURE() << "pipe";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      int rc = body(fds[1]);
      ::_exit(rc);
    }
    ::close(fds[1]);
    read_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Reap();
    }
    if (read_ >= 0) ::close(read_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // Reads one line the child reported (without "\n"); empty after the time-out or the child's end.
  std::string ReadLine(int timeoutMs = 10000) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::string();
      pollfd p{read_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::string();
      char c;
      if (::read(read_, &c, 1) != 1) return std::string();
      if (c == '\n') return line;
      line += c;
    }
  }

  void Kill() {
    ::kill(pid_, SIGKILL);
    Reap();
  }

 private:
  void Reap() {
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int read_ = -1;
};

inline void Report(int fd, const std::string& line) {
  std::string text = line + "\n";
  (void)!::write(fd, text.data(), text.size());
}

// Blocks the child until the parent kills it.
[[noreturn]] inline int Park() {
  for (;;) ::pause();
}

}  // namespace procs_test
