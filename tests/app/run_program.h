// Runs a built program as a user would, in a chosen prefix and current directory, with a bounded wait.
#pragma once

#include <string>
#include <vector>

namespace apptest {

struct ProgramRun {
  bool started = false;
  bool finished = false;  // false: still running at the deadline, then killed
  int exitCode = -1;      // when it exited normally
  int signal = 0;         // when a signal ended it
  std::string standardError;
};

struct ProgramOptions {
  std::string prefixRoot;                // VODA_PREFIX
  std::string workingDirectory;          // host folder; empty: the test's own
  std::vector<std::string> environment;  // further NAME=value entries
  int timeoutMs = 30000;
};

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const ProgramOptions& options);

// A program started in the background; killed when the object goes if it still runs.
class RunningProgram {
 public:
  RunningProgram(const std::string& program, const std::vector<std::string>& arguments,
                 const ProgramOptions& options);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  bool started() const { return pid_ > 0; }
  int pid() const { return pid_; }
  // Waits at most timeoutMs for the end; kills the program when it runs longer (finished stays false).
  ProgramRun Wait(int timeoutMs);

  // Whether it still runs (not ended, not yet waited for).
  bool Running();

  // What it has written to standard error so far.
  std::string StandardErrorSoFar() const;

 private:
  int pid_ = -1;
  int errFd_ = -1;
  bool ended_ = false;
  int status_ = 0;
};

// The built downloader program.
std::string DownloaderPath();

}  // namespace apptest
