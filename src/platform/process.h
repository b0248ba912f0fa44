// Processes of the machine: the process snapshot, termination, starting programs through the shell and
// waiting for processes to end (CreateToolhelp32Snapshot, TerminateProcess, ShellExecuteA/ExA,
// WaitForSingleObject on a process).
//
// A process belongs to the machine it was started on; the snapshot lists only the machine's own
// processes, and only those can be terminated or waited for by id. Programs are host executables named
// by a Windows path; the image name of a process is the file name it was started from, without folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/wait.h"

namespace platform {

using ProcessId = uint32_t;

// One entry of a process snapshot (PROCESSENTRY32: th32ProcessID, szExeFile).
struct ProcessEntry {
  ProcessId id = 0;
  std::string imageName;  // e.g. "iexplore.exe"; case as the file was named
};

// How a started program shows its main window (the nShow argument of ShellExecute).
enum class ShowMode : int {
  kHide = 0,  // SW_HIDE
  kShow = 5,  // SW_SHOW
};

// What to start (ShellExecuteA's lpFile, lpParameters, lpDirectory, nShowCmd; the default verb).
struct StartRequest {
  std::string file;        // Windows path of the program; a bare file name is looked up in the current
                           // directory, then in C:\Windows\System32 and C:\Windows
  std::string parameters;  // the parameters text, split into arguments as a Windows command line is
  std::string directory;   // Windows path of the working folder; empty: the caller's current directory
  ShowMode show = ShowMode::kShow;
};

// A process handle kept from a start (SEE_MASK_NOCLOSEPROCESS). Closing it does not end the process.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
  virtual ProcessId Id() const = 0;

  // Waits until the process has ended (WaitForSingleObject). kOk when it ended, kTimeout when the
  // time-out passed first; kInfinite waits without limit.
  virtual Status Wait(uint32_t timeoutMs = kInfinite) = 0;
};

class Processes {
 public:
  virtual ~Processes() = default;

  // The running processes of the machine, in the order in which they were started (earliest first;
  // processes started in the same clock tick by ascending id). A snapshot walk from the first entry
  // therefore meets the oldest process of a name first.
  virtual Status Snapshot(std::vector<ProcessEntry>* processes) = 0;

  // Ends the process at once (OpenProcess with PROCESS_TERMINATE, TerminateProcess). kNotFound when no
  // process of the machine has that id. The exit code is accepted for the caller's sake but is not what
  // the process reports here: the process is killed by a signal.
  virtual Status Terminate(ProcessId id, uint32_t exitCode) = 0;

  // Starts a program and does not wait for it (ShellExecuteA). kNotFound when the program file or the
  // working folder does not exist, kAccessDenied when the file is not an executable program.
  virtual Status Start(const StartRequest& request) = 0;

  // Starts a program and keeps its process handle (ShellExecuteExA with SEE_MASK_NOCLOSEPROCESS).
  // Errors as Start(); on failure *handle is left empty.
  virtual Status StartWithHandle(const StartRequest& request, std::unique_ptr<ProcessHandle>* handle) = 0;

  // Waits until the process of that id has ended, whoever started it (OpenProcess with SYNCHRONIZE and
  // WaitForSingleObject). kOk when it has ended or no such process runs, kTimeout when the time-out
  // passed first.
  virtual Status WaitForExit(ProcessId id, uint32_t timeoutMs = kInfinite) = 0;
};

// Splits a parameters text into arguments as a Windows command line is split: blanks and tabs separate
// arguments outside double quotes; a double quote opens or closes a quoted part; inside quotes two
// double quotes give one literal double quote; 2n backslashes before a double quote give n backslashes
// and the quote acts as above, 2n+1 give n backslashes and a literal double quote; other backslashes are
// literal.
std::vector<std::string> SplitCommandLine(const std::string& parameters);

}  // namespace platform
