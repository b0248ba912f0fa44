#include "app/utilities.h"

#include <cctype>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/system_info.h"

namespace {

constexpr const char* kBrowserImage = "iexplore.exe";
constexpr std::uint32_t kKilledExitCode = 0xFFFFFFF7u;  // -9

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// The first process of the snapshot whose image name matches, ignoring case; later ones are not visited.
bool FindProcessByImage(const std::string& imageName, platform::ProcessId& processId) {
  std::vector<platform::ProcessEntry> processes;
  if (!platform::Current().Procs().Snapshot(&processes).ok()) return false;
  for (const platform::ProcessEntry& entry : processes) {
    if (EqualsIgnoringCase(entry.imageName, imageName)) {
      processId = entry.id;
      return true;
    }
  }
  return false;
}

void TerminateQuietly(platform::ProcessId processId) {
  // A missing process or a failed termination ends quietly, as the callers expect.
  (void)platform::Current().Procs().Terminate(processId, kKilledExitCode);
}

}  // namespace

void SplitPath(const std::string& text, const std::string& delimiters, std::vector<std::string>& pieces) {
  std::string::size_type position = 0;
  for (;;) {
    const std::string::size_type delimiter = text.find_first_of(delimiters, position);
    if (delimiter == std::string::npos) {
      pieces.push_back(text.substr(position));
      return;
    }
    pieces.push_back(text.substr(position, delimiter - position));
    position = text.find_first_not_of(delimiters, delimiter);
    if (position == std::string::npos) return;
  }
}

bool CreateFolderTree(const std::string& path) {
  platform::FileSystem& files = platform::Current().Files();
  if (files.IsFolder(path)) return true;

  std::vector<std::string> pieces;
  SplitPath(path, "\\", pieces);
  std::string current = pieces.front();  // the drive, which is never created
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    current += "\\" + pieces[i];
    if (files.IsFolder(current)) continue;
    // Another process may create the same folder meanwhile; what counts is that it exists.
    if (!files.CreateFolder(current).ok() && !files.IsFolder(current)) return false;
  }
  // A path without any folder below its drive (or with a drive this machine lacks) creates nothing;
  // report whether the folder is really there rather than claiming success.
  return files.IsFolder(current);
}

bool EnableTakeOwnershipPrivilege() {
  return platform::Current().System().EnablePrivilege("SeTakeOwnershipPrivilege").ok();
}

bool FindBrowserProcess(platform::ProcessId& processId) { return FindProcessByImage(kBrowserImage, processId); }

bool TerminateBrowser(platform::ProcessId processId) {
  if (processId == 0 && !FindProcessByImage(kBrowserImage, processId)) return true;
  TerminateQuietly(processId);
  return true;
}

bool TerminateProcessByName(const std::string& imageName) {
  platform::ProcessId processId = 0;
  if (FindProcessByImage(imageName, processId)) TerminateQuietly(processId);
  return true;
}
