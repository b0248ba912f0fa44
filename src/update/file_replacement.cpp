#include "update/file_replacement.h"

#include <vector>

#include "app/globals.h"
#include "app/utilities.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "update/update_engine.h"

namespace {

bool EntersFolder(const platform::DirEntry& entry) {
  return entry.isFolder && !entry.name.empty() && entry.name[0] != '.';
}

// The part of `folder` below `stagingDir`, without the separator; empty for the staging folder itself.
std::string RelativeFolder(const std::string& folder, const std::string& stagingDir) {
  if (folder.size() <= stagingDir.size() + 1) return std::string();
  return folder.substr(stagingDir.size() + 1);
}

void ReportFileInUse(RunProgressView* view) {
  if (view != nullptr) {
    view->ReportFileInUse(kFileInUseText, g_bankProfile.productName);
  } else {
    ShowFileInUseAndExit(kFileInUseText, g_bankProfile.productName);
  }
}

}  // namespace

void RenameRunningAssistant(const std::string& installDir) {
  platform::FileSystem& files = platform::Current().Files();
  const std::string backup = installDir + "\\" + kAssistantBackupName;
  const std::string current = installDir + "\\" + g_bankProfile.assistantExeName;
  if (files.Exists(backup)) (void)files.DeleteFile(backup);
  if (files.Exists(current)) (void)files.MoveFile(current, backup);
}

bool CopyDownloadedTree(const std::string& folder, const std::string& stagingDir, const std::string& installDir,
                        RunProgressView* view) {
  platform::FileSystem& files = platform::Current().Files();
  std::vector<platform::DirEntry> entries;
  if (!files.FindFiles(folder + "\\*.*", &entries).ok()) return false;

  const std::string relative = RelativeFolder(folder, stagingDir);
  const std::string destinationFolder = relative.empty() ? installDir : installDir + "\\" + relative;
  for (const platform::DirEntry& entry : entries) {
    if (entry.isFolder) {
      if (!EntersFolder(entry)) continue;
      if (!CopyDownloadedTree(folder + "\\" + entry.name, stagingDir, installDir, view)) return false;
      continue;
    }
    // A folder that a new release brought is created here; a failure shows in the copy.
    if (!files.IsFolder(destinationFolder)) (void)CreateFolderTree(destinationFolder);
    if (entry.name == g_bankProfile.assistantExeName) RenameRunningAssistant(installDir);
    const std::string source = folder + "\\" + entry.name;
    const std::string destination = destinationFolder + "\\" + entry.name;
    if (!files.CopyFile(source, destination, false).ok()) {
      ReportFileInUse(view);
      return false;
    }
  }
  return true;
}

bool DeleteFilesInTree(const std::string& folder) {
  platform::FileSystem& files = platform::Current().Files();
  std::vector<platform::DirEntry> entries;
  if (!files.FindFiles(folder + "\\*.*", &entries).ok()) return false;
  for (const platform::DirEntry& entry : entries) {
    if (!entry.isFolder) {
      (void)files.DeleteFile(folder + "\\" + entry.name);
    } else if (EntersFolder(entry)) {
      (void)DeleteFilesInTree(folder + "\\" + entry.name);
    }
  }
  return true;
}
