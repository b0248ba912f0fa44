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

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const ProgramOptions& options) {
  ProgramRun run;
  char errTemplate[] = "/tmp/voda-app-stderr-XXXXXX";
  const int errFd = ::mkstemp(errTemplate);
  if (errFd < 0) return run;
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

  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(errFd);
    return run;
  }
  if (pid == 0) {
    ::dup2(errFd, 2);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, 0);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) ::_exit(127);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  run.started = true;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      run.finished = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);

  ::lseek(errFd, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(errFd, buf, sizeof buf)) > 0) run.standardError.append(buf, static_cast<std::size_t>(n));
  ::close(errFd);
  return run;
}

}  // namespace apptest
