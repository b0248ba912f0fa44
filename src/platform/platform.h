// The operating system as the Downloader sees it: one object of small interfaces, installed once at
// start-up (tests install their own). Every operation has the meaning of the Windows call it stands for;
// paths are Windows paths ("C:\\Program Files (x86)\\..."), texts are in the system code page (UTF-8 here).
#pragma once

namespace platform {

class FileSystem;
class Registry;
class Processes;
class KernelObjects;
class SystemInfo;
class Shell;

class Platform {
 public:
  virtual ~Platform() = default;
  virtual FileSystem& Files() = 0;
  virtual Registry& Reg() = 0;
  virtual Processes& Procs() = 0;
  virtual KernelObjects& Objects() = 0;
  virtual SystemInfo& System() = 0;
  virtual Shell& ShellFolders() = 0;
};

// The platform installed for this process. REQUIRES: Install() was called.
Platform& Current();

// Installs the process's platform; the caller keeps ownership and keeps it alive while it is used.
void Install(Platform* platform);

}  // namespace platform
