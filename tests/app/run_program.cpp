#include "run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace apptest {

std::string DownloaderPath() { return std::string(VODA_BIN_DIR) + "/downloader"; }

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& arguments,
                               const ProgramOptions& options) {
  char errTemplate[] = "/tmp/voda-app-stderr-XXXXXX";
  errFd_ = ::mkstemp(errTemplate);
  if (errFd_ < 0) return;
  ::unlink(errTemplate);

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "VODA_PREFIX=", 12) != 0) env.emplace_back(*e);
  }
  env.push_back("VODA_PREFIX=" + options.prefixRoot);
  for (const std::string& e : options.environment) env.push_back(e);

  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(errFd_, 2);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, 0);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) ::_exit(127);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0 && !ended_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (errFd_ >= 0) ::close(errFd_);
}

ProgramRun RunningProgram::Wait(int timeoutMs) {
  ProgramRun run;
  if (pid_ <= 0) return run;
  run.started = true;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = status_;
  for (;;) {
    if (ended_ || ::waitpid(pid_, &status, WNOHANG) == pid_) {
      run.finished = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  ended_ = false;
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);

  run.standardError = StandardErrorSoFar();
  return run;
}

bool RunningProgram::Running() {
  if (pid_ <= 0 || ended_) return false;
  if (::waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
  return !ended_;
}

std::string RunningProgram::StandardErrorSoFar() const {
  std::string text;
  if (errFd_ < 0) return text;
  char buf[4096];
  ssize_t n;
  while ((n = ::pread(errFd_, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0)
    text.append(buf, static_cast<std::size_t>(n));
  return text;
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const ProgramOptions& options) {
  RunningProgram running(program, arguments, options);
  return running.Wait(options.timeoutMs);
}

}  // namespace apptest
