// The shortcut stage of an installation or update: the shell shortcuts (.lnk) that start the assistant's
// main program or its uninstaller, on the all-users desktop, in the product's all-users start-menu
// folder and in the current user's quick-launch folder, each kind as its option flag says.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// The status texts the stage shows on the progress dialog's label 1020.
constexpr const char* kDesktopShortcutText = "创建桌面快捷方式";
constexpr const char* kQuickLaunchShortcutText = "创建快速启动选项";

// The file name of the uninstaller's shortcut after productName.
constexpr const char* kUninstallerShortcutSuffix = "卸载程序.lnk";

// Below the current user's application data folder.
constexpr const char* kQuickLaunchSubfolder = "\\Microsoft\\Internet Explorer\\Quick Launch";

// The longest shortcut path (folder, backslash, name) in UTF-16 units, the terminator not counted.
constexpr std::size_t kMaxShortcutPath = 259;

// Shows one status text (label 1020 of the progress dialog, then RefreshControl).
using ShortcutStatus = std::function<void(const std::string& text)>;

// Makes the shortcuts of g_createDesktopShortcut, g_createStartMenuShortcuts and
// g_createQuickLaunchShortcut for g_install.installDir and g_bankProfile's names: the main program on
// the desktop ("创建桌面快捷方式" shown first), the main program and the uninstaller in common programs
// + "\" + productFolder (created when missing, the shell told; no status text), the main program in
// the quick-launch folder ("创建快速启动选项" shown first; the folder is never created). A folder that
// cannot be resolved or a shortcut that cannot be written is skipped without a message.
void CreateShortcuts(const ShortcutStatus& status);

// Writes folder + "\" + name, a shortcut that points to `targetPath`, replacing a file of that name.
// False when the path is longer than kMaxShortcutPath, is not valid text, or the file cannot be written.
bool CreateShellLink(const std::string& targetPath, const std::string& folder, const std::string& name);

// The current user's application data folder + kQuickLaunchSubfolder into `folder`; false (and the
// folder left as it was) when the application data folder cannot be resolved.
bool GetQuickLaunchFolder(std::string& folder);

// Tells the shell that the folder was created and that its parent folder changed.
void NotifyFolderCreated(const std::string& folder);
