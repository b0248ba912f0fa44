// The shortcut stage on a fresh machine: which files each option flag gives, where, what lnkinfo reads
// as their targets, the status texts, the shell notifications and the path length limit.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>

#include <string>
#include <utility>
#include <vector>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/platform_wrapper.h"
#include "platform/shell.h"
#include "support/temp_prefix.h"
#include "system/shortcuts.h"

namespace {

const char kInstallDir[] = "C:\\Program Files (x86)\\NOVRA";
const char kDesktop[] = "C:\\Users\\Public\\Desktop";
const char kPrograms[] = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";

std::string LnkLocalPath(const std::string& hostPath) {
  const std::string command = "lnkinfo '" + hostPath + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  ::pclose(pipe);
  const size_t at = out.find("\tLocal path\t");
  if (at == std::string::npos) return "lnkinfo: " + out;
  const size_t colon = out.find(": ", at);
  return out.substr(colon + 2, out.find('\n', colon) - colon - 2);
}

// Records the shell's change notifications and can lose one special folder.
class RecordingShell : public platform::ShellWrapper {
 public:
  using ShellWrapper::ShellWrapper;
  platform::Status GetSpecialFolderPath(int csidl, std::string* path) override {
    if (csidl == missingFolder) return platform::Error::kNotFound;
    return ShellWrapper::GetSpecialFolderPath(csidl, path);
  }
  void NotifyChange(platform::ShellChange change, const std::string& path) override {
    notifications.emplace_back(change, path);
    ShellWrapper::NotifyChange(change, path);
  }
  int missingFolder = -1;
  std::vector<std::pair<platform::ShellChange, std::string>> notifications;
};

class ShortcutsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    platform_.SetShellFolders(&shell_);
    platform::Install(&platform_);
    g_bankProfile = BankProfile{};
    ServerEndpoint server;
    FillBankProfile(0x861, g_bankProfile, server);
    g_install.installDir = kInstallDir;
    g_createDesktopShortcut = g_createStartMenuShortcuts = g_createQuickLaunchShortcut = true;
    ASSERT_TRUE(CreateFolder(kInstallDir));
    ASSERT_TRUE(Files().WriteFile(MainTarget(), "MZ").ok());
    ASSERT_TRUE(Files().WriteFile(UninstallerTarget(), "MZ").ok());
    ASSERT_TRUE(CreateFolder(QuickLaunch()));
  }
  void TearDown() override { machine_.Install(); }

  static platform::FileSystem& Files() { return platform::Current().Files(); }
  static bool CreateFolder(const std::string& path) {
    std::string current;
    for (size_t i = 0; i <= path.size(); ++i) {
      if (i == path.size() || path[i] == '\\') {
        const bool missing = current.size() > 2 && !Files().IsFolder(current);
        if (missing && !Files().CreateFolder(current).ok()) return false;
      }
      if (i < path.size()) current += path[i];
    }
    return Files().IsFolder(path);
  }
  std::string QuickLaunch() const {
    return "C:\\Users\\" + machine_.prefix().GetMachine().userName +
           "\\AppData\\Roaming\\Microsoft\\Internet Explorer\\Quick Launch";
  }
  static std::string MainTarget() { return std::string(kInstallDir) + "\\" + g_bankProfile.mainExeName; }
  static std::string UninstallerTarget() {
    return std::string(kInstallDir) + "\\" + g_bankProfile.uninstallerName;
  }
  static std::string MainName() { return g_bankProfile.productName + ".lnk"; }
  static std::string UninstallerName() { return g_bankProfile.productName + "卸载程序.lnk"; }
  static std::string StartMenu() { return std::string(kPrograms) + "\\" + g_bankProfile.productFolder; }

  // Every file below the folder's tree that ends in ".lnk", with the target lnkinfo reads.
  std::vector<std::pair<std::string, std::string>> Links(const std::string& folder) {
    std::vector<std::pair<std::string, std::string>> links;
    std::vector<platform::DirEntry> entries;
    if (!Files().FindFiles(folder + "\\*", &entries).ok()) return links;
    for (const platform::DirEntry& e : entries) {
      const std::string path = folder + "\\" + e.name;
      if (e.isFolder) {
        for (auto& link : Links(path)) links.push_back(std::move(link));
      } else if (e.name.size() > 4 && e.name.substr(e.name.size() - 4) == ".lnk") {
        links.emplace_back(path, LnkLocalPath(machine_.HostPath(path)));
      }
    }
    return links;
  }

  std::vector<std::string> RunStage() {
    std::vector<std::string> texts;
    CreateShortcuts([&texts](const std::string& text) { texts.push_back(text); });
    return texts;
  }

  using Links_ = std::vector<std::pair<std::string, std::string>>;

  voda_test::TempPrefix machine_;
  RecordingShell shell_{machine_.platform().ShellFolders()};
  platform::PlatformWrapper platform_{machine_.platform()};
};

TEST_F(ShortcutsTest, FirstInstallationMakesFourShortcutsThatLnkinfoReads) {
  // A file left by an earlier installation is replaced in place.
  voda_test::WriteHostFile(machine_.HostPath(std::string(kDesktop) + "\\" + MainName()), "old");

  EXPECT_EQ((std::vector<std::string>{"创建桌面快捷方式", "创建快速启动选项"}), RunStage());

  EXPECT_EQ((Links_{{std::string(kDesktop) + "\\" + MainName(), MainTarget()}}), Links(kDesktop));
  Links_ startMenu = Links(kPrograms);
  std::sort(startMenu.begin(), startMenu.end());
  Links_ expected{{StartMenu() + "\\" + MainName(), MainTarget()},
                  {StartMenu() + "\\" + UninstallerName(), UninstallerTarget()}};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, startMenu);
  EXPECT_EQ((Links_{{QuickLaunch() + "\\" + MainName(), MainTarget()}}), Links(QuickLaunch()));

  // The start-menu folder and its parent are announced to the shell.
  const std::string parent = StartMenu().substr(0, StartMenu().rfind('\\'));
  EXPECT_EQ((std::vector<std::pair<platform::ShellChange, std::string>>{
                {platform::ShellChange::kFolderCreated, StartMenu()},
                {platform::ShellChange::kFolderUpdated, parent}}),
            shell_.notifications);
}

TEST_F(ShortcutsTest, OptionFlagsChooseTheKinds) {
  struct Case {
    bool desktop, startMenu, quickLaunch;
    std::vector<std::string> texts;
    size_t desktopLinks, startMenuLinks, quickLaunchLinks, notifications;
  };
  const Case cases[] = {
      {false, true, true, {"创建快速启动选项"}, 0, 2, 1, 2},
      {false, true, false, {}, 0, 2, 0, 2},
      {true, false, false, {"创建桌面快捷方式"}, 1, 0, 0, 0},
      {false, false, false, {}, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.desktop) + std::to_string(c.startMenu) + std::to_string(c.quickLaunch));
    voda_test::TempPrefix machine;
    ASSERT_TRUE(machine.ok());
    RecordingShell shell(machine.platform().ShellFolders());
    platform::PlatformWrapper wrapped(machine.platform());
    wrapped.SetShellFolders(&shell);
    platform::Install(&wrapped);
    ASSERT_TRUE(CreateFolder(QuickLaunch()));
    g_createDesktopShortcut = c.desktop;
    g_createStartMenuShortcuts = c.startMenu;
    g_createQuickLaunchShortcut = c.quickLaunch;

    EXPECT_EQ(c.texts, RunStage());
    EXPECT_EQ(c.desktopLinks, Links(kDesktop).size());
    EXPECT_EQ(c.startMenuLinks, Links(kPrograms).size());
    EXPECT_EQ(c.quickLaunchLinks, Links(QuickLaunch()).size());
    EXPECT_EQ(c.startMenu, Files().IsFolder(StartMenu()));
    EXPECT_EQ(c.notifications, shell.notifications.size());
    platform::Install(&platform_);
  }
}

TEST_F(ShortcutsTest, AMissingQuickLaunchFolderIsNotCreated) {
  ASSERT_TRUE(Files().RemoveFolder(QuickLaunch()).ok());
  EXPECT_EQ((std::vector<std::string>{"创建桌面快捷方式", "创建快速启动选项"}), RunStage());
  EXPECT_FALSE(Files().Exists(QuickLaunch()));
  EXPECT_EQ(1u, Links(kDesktop).size());
  EXPECT_EQ(2u, Links(kPrograms).size());
}

TEST_F(ShortcutsTest, UnresolvedFoldersAreSkippedOrTakenFromTheDriveRoot) {
  // Without a desktop folder the desktop shortcut is skipped, the rest goes on.
  shell_.missingFolder = platform::kCsidlCommonDesktopDirectory;
  RunStage();
  EXPECT_EQ(0u, Links(kDesktop).size());
  EXPECT_EQ(2u, Links(kPrograms).size());
  EXPECT_EQ(1u, Links(QuickLaunch()).size());

  // Without a programs folder the product folder is made at the root of the current drive.
  shell_.missingFolder = platform::kCsidlCommonPrograms;
  ASSERT_TRUE(Files().SetCurrentDirectory("C:\\").ok());
  g_createDesktopShortcut = g_createQuickLaunchShortcut = false;
  RunStage();
  const std::string atRoot = "C:\\" + g_bankProfile.productFolder;
  Links_ links = Links(atRoot);
  std::sort(links.begin(), links.end());
  EXPECT_EQ((Links_{{atRoot + "\\" + MainName(), MainTarget()},
                    {atRoot + "\\" + UninstallerName(), UninstallerTarget()}}),
            links);
}

TEST_F(ShortcutsTest, PathsLongerThan259CharactersAreNotWritten) {
  // Characters are counted, not bytes: this folder and name make 259 characters in 359 bytes.
  const std::string folder = "C:\\" + std::string(150, 'a');
  ASSERT_TRUE(Files().CreateFolder(folder).ok());
  std::string name;
  for (int i = 0; i < 50; ++i) name += "快";
  name += std::string(51, 'b');
  ASSERT_EQ(259u, folder.size() + 1 + 50 + 51 + 4);
  EXPECT_TRUE(CreateShellLink(MainTarget(), folder, name + ".lnk"));
  EXPECT_EQ(MainTarget(), LnkLocalPath(machine_.HostPath(folder + "\\" + name + ".lnk")));

  EXPECT_FALSE(CreateShellLink(MainTarget(), folder, name + "b.lnk"));
  EXPECT_FALSE(Files().Exists(folder + "\\" + name + "b.lnk"));

  // Text that is not valid in the code page, and a folder that does not exist.
  EXPECT_FALSE(CreateShellLink(MainTarget(), kDesktop, "\xFF.lnk"));
  EXPECT_FALSE(CreateShellLink(MainTarget(), "C:\\Missing", "a.lnk"));
  EXPECT_TRUE(Links(kDesktop).empty());
}

TEST(QuickLaunchFolder, FollowsTheApplicationDataFolder) {
  voda_test::TempPrefix machine;
  ASSERT_TRUE(machine.ok());
  machine.Install();
  std::string folder = "unchanged";
  ASSERT_TRUE(GetQuickLaunchFolder(folder));
  EXPECT_EQ("C:\\Users\\" + machine.prefix().GetMachine().userName +
                "\\AppData\\Roaming\\Microsoft\\Internet Explorer\\Quick Launch",
            folder);
}

}  // namespace
