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

// The built downloader program.
std::string DownloaderPath();

}  // namespace apptest
