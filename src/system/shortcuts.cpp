#include "system/shortcuts.h"

#include "app/globals.h"
#include "app/utilities.h"
#include "platform/platform.h"
#include "platform/shell.h"

namespace {

// The special folder's path, or false when this machine has none.
bool SpecialFolder(int csidl, std::string& path) {
  std::string found;
  if (!platform::Current().ShellFolders().GetSpecialFolderPath(csidl, &found).ok()) return false;
  path = found;
  return true;
}

}  // namespace

void CreateShortcuts(const ShortcutStatus& status) {
  // The shell's link objects need no apartment here: the platform's shell writes the files itself.
  const std::string& installDir = g_install.installDir;
  const std::string mainTarget = installDir + "\\" + g_bankProfile.mainExeName;
  const std::string uninstallerTarget = installDir + "\\" + g_bankProfile.uninstallerName;
  const std::string mainName = g_bankProfile.productName + ".lnk";
  const std::string uninstallerName = g_bankProfile.productName + kUninstallerShortcutSuffix;

  if (g_createDesktopShortcut) {
    if (status) status(kDesktopShortcutText);
    std::string desktop;
    if (SpecialFolder(platform::kCsidlCommonDesktopDirectory, desktop)) {
      (void)CreateShellLink(mainTarget, desktop, mainName);
    }
  }

  if (g_createStartMenuShortcuts) {
    // Without a programs folder the text starts with a backslash: a folder at the root of the current
    // drive, made and used like the normal one.
    std::string programs;
    (void)SpecialFolder(platform::kCsidlCommonPrograms, programs);
    const std::string folder = programs + "\\" + g_bankProfile.productFolder;
    (void)CreateFolderTree(folder);
    (void)CreateShellLink(mainTarget, folder, mainName);
    (void)CreateShellLink(uninstallerTarget, folder, uninstallerName);
    NotifyFolderCreated(folder);
  }

  if (g_createQuickLaunchShortcut) {
    if (status) status(kQuickLaunchShortcutText);
    std::string quickLaunch;
    if (GetQuickLaunchFolder(quickLaunch)) (void)CreateShellLink(mainTarget, quickLaunch, mainName);
  }
}

bool CreateShellLink(const std::string& targetPath, const std::string& folder, const std::string& name) {
  const std::string path = folder + "\\" + name;
  std::u16string widePath;
  if (!platform::AnsiToWide(path, &widePath).ok() || widePath.size() > kMaxShortcutPath) return false;
  return platform::Current().ShellFolders().CreateShellLink(targetPath, widePath).ok();
}

bool GetQuickLaunchFolder(std::string& folder) {
  std::string appData;
  if (!SpecialFolder(platform::kCsidlAppData, appData)) return false;
  folder = appData + kQuickLaunchSubfolder;
  return true;
}

void NotifyFolderCreated(const std::string& folder) {
  platform::Shell& shell = platform::Current().ShellFolders();
  shell.NotifyChange(platform::ShellChange::kFolderCreated, folder);
  // The parent: the path cut at its last backslash.
  const std::size_t cut = folder.rfind('\\');
  const std::string parent = cut == std::string::npos ? folder : folder.substr(0, cut);
  shell.NotifyChange(platform::ShellChange::kFolderUpdated, parent);
}
