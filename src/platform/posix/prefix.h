// The prefix: one host folder that holds a whole simulated Windows machine.
//
//   <prefix>/machine.ini    the machine (version, architecture, screen, user, drives, special folders)
//   <prefix>/registry.reg   HKEY_LOCAL_MACHINE in the registry editor's text format
//   <prefix>/drive_c/       drive C:
//   <prefix>/run/           named kernel objects of this machine
//
// Windows paths map onto the drives of machine.ini; Z: is the host root, so every host path has a
// Windows name. Case: an existing host name of exactly the given spelling wins; otherwise each
// component is matched ignoring ASCII case against the folder's entries (the first match in listing
// order); components that do not exist keep the spelling given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/system_info.h"

namespace platform::posix {

struct Drive {
  char letter = 'C';  // upper case
  DriveType type = DriveType::kFixed;
  std::string hostRoot;  // absolute host folder, without trailing "/" (empty for the host root "/")
};

// The content of machine.ini.
struct Machine {
  OsVersion version;
  uint16_t architecture = kArchitectureX64;
  int screenWidth = 1920;
  int screenHeight = 1080;
  std::string userName;
  std::vector<Drive> drives;
  // Special folders as Windows paths, without trailing "\".
  std::string commonDesktop;
  std::string commonPrograms;
  std::string appData;
  std::string programFiles;  // as a 32-bit program sees it
  std::string temp;
};

// The default machine: Windows 10 x64 reporting 6.2.9200 (platform id 2), 1920x1080, C: fixed on
// drive_c, Z: the host root, the usual special folders below C:.
Machine DefaultMachine(const std::string& userName);

// machine.ini's text for a machine, and back. ParseMachineIni gives false and a message naming the line
// for malformed text; `prefixRoot` anchors relative drive folders.
std::string FormatMachineIni(const Machine& machine);
bool ParseMachineIni(const std::string& text, const std::string& prefixRoot, Machine* machine,
                     std::string* error);

class Prefix {
 public:
  // The prefix of this user: $VODA_PREFIX, else $XDG_DATA_HOME/voda-prefix, else
  // ~/.local/share/voda-prefix.
  static std::string DefaultRoot();

  // Opens the prefix at `root`, creating what is missing (the folder, a default machine.ini with its
  // folders, an empty registry.reg, run/). False and a message when machine.ini is malformed or the
  // prefix cannot be created; an existing file is never changed then.
  static bool Open(const std::string& root, std::unique_ptr<Prefix>* prefix, std::string* error);

  const std::string& Root() const { return root_; }
  std::string RegistryFile() const { return root_ + "/registry.reg"; }
  std::string RunDir() const { return root_ + "/run"; }
  const Machine& GetMachine() const { return machine_; }
  bool Is64Bit() const { return machine_.architecture == kArchitectureX64; }

  // The drive of a letter (either case), or null.
  const Drive* FindDrive(char letter) const;

  // Maps a Windows path (absolute, or relative to the host's current directory) onto the host.
  // kInvalid: characters Windows refuses in names (<>:"|?* and control characters) or an unusable
  // form; kNotFound: a drive letter this machine does not have.
  Status ToHost(const std::string& windowsPath, std::string* hostPath) const;

  // The Windows name of an absolute host path: below the drive whose host folder is the longest
  // prefix of it (Z: for anything else).
  std::string ToWindows(const std::string& hostPath) const;

 private:
  Prefix(std::string root, Machine machine) : root_(std::move(root)), machine_(std::move(machine)) {}

  std::string root_;
  Machine machine_;
};

}  // namespace platform::posix
