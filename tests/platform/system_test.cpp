// System information and special folders from machine.ini, and the forwarding wrappers.
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/platform_wrapper.h"
#include "platform/shell.h"
#include "platform/system_info.h"
#include "support/temp_prefix.h"

namespace {

using platform::Error;

TEST(SystemInfo, TheDefaultMachineIsWindows10x64ReportingSixTwo) {
  voda_test::TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  platform::SystemInfo& sys = machine.platform().System();
  platform::OsVersion v;
  ASSERT_TRUE(sys.GetVersion(&v));
  EXPECT_EQ(v.major, 6u);
  EXPECT_EQ(v.minor, 2u);
  EXPECT_EQ(v.build, 9200u);
  EXPECT_EQ(v.platformId, 2u);
  EXPECT_EQ(sys.NativeArchitecture(), platform::kArchitectureX64);
  EXPECT_EQ(sys.ScreenWidth(), 1920);
  EXPECT_EQ(sys.ScreenHeight(), 1080);
  EXPECT_FALSE(sys.UserName().empty());
  EXPECT_TRUE(sys.EnablePrivilege("SeTakeOwnershipPrivilege").ok());
  EXPECT_TRUE(sys.EnablePrivilege("setakeownershipprivilege").ok());
  EXPECT_EQ(sys.EnablePrivilege("SeNoSuchPrivilege").code(), Error::kNotFound);
}

TEST(SystemInfo, AnotherMachineFromMachineIni) {
  voda_test::TempPrefix machine(
      "[version]\nmajor = 6\nminor = 0\nbuild = 6002\nservice_pack = Service Pack 2\n"
      "[system]\narchitecture = x86\nscreen_width = 1024\nscreen_height = 768\nuser_name = Anna\n"
      "[folders]\nprogram_files = C:\\Program Files\n");
  ASSERT_TRUE(machine.ok()) << machine.error();
  platform::OsVersion v;
  ASSERT_TRUE(machine.platform().System().GetVersion(&v));
  EXPECT_EQ(v.minor, 0u);
  EXPECT_EQ(v.build, 6002u);
  EXPECT_EQ(v.platformId, 2u);  // not named: the default
  EXPECT_EQ(v.servicePack, "Service Pack 2");
  EXPECT_EQ(machine.platform().System().NativeArchitecture(), platform::kArchitectureX86);
  EXPECT_EQ(machine.platform().System().UserName(), "Anna");
  std::string path;
  ASSERT_TRUE(machine.platform().ShellFolders().GetSpecialFolderPath(platform::kCsidlProgramFiles, &path).ok());
  EXPECT_EQ(path, "C:\\Program Files");
  ASSERT_TRUE(machine.platform().ShellFolders().GetSpecialFolderPath(platform::kCsidlAppData, &path).ok());
  EXPECT_EQ(path, "C:\\Users\\Anna\\AppData\\Roaming");  // follows the user
}

TEST(Shell, A32BitMachineHasOneProgramFilesFolder) {
  voda_test::TempPrefix machine("[system]\narchitecture = x86\n");
  ASSERT_TRUE(machine.ok()) << machine.error();
  std::string path;
  ASSERT_TRUE(machine.platform().ShellFolders().GetSpecialFolderPath(platform::kCsidlProgramFiles, &path).ok());
  EXPECT_EQ(path, "C:\\Program Files");
  EXPECT_TRUE(machine.platform().Files().IsFolder(path));
}

TEST(Shell, SpecialFoldersExistOnTheDefaultMachine) {
  voda_test::TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  platform::Shell& shell = machine.platform().ShellFolders();
  std::string user = machine.platform().System().UserName();
  struct Case {
    int csidl;
    std::string path;
  } cases[] = {
      {platform::kCsidlCommonDesktopDirectory, "C:\\Users\\Public\\Desktop"},
      {platform::kCsidlCommonPrograms, "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"},
      {platform::kCsidlAppData, "C:\\Users\\" + user + "\\AppData\\Roaming"},
      {platform::kCsidlProgramFiles, "C:\\Program Files (x86)"},  // as a 32-bit program sees it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.csidl);
    std::string path;
    ASSERT_TRUE(shell.GetSpecialFolderPath(c.csidl, &path).ok());
    EXPECT_EQ(path, c.path);
    EXPECT_TRUE(machine.platform().Files().IsFolder(path));
  }
  std::string path;
  EXPECT_EQ(shell.GetSpecialFolderPath(0x0005, &path).code(), Error::kNotFound);  // not on this machine
}

TEST(PlatformWrapper, AnOverriddenOperationFailsWhileTheRestWorks) {
  voda_test::TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  class FullDisk : public platform::FileSystemWrapper {
   public:
    using FileSystemWrapper::FileSystemWrapper;
    platform::Status WriteFile(const std::string&, const std::string&) override { return Error::kIo; }
  };
  FullDisk files(machine.platform().Files());
  platform::PlatformWrapper wrapped(machine.platform());
  wrapped.SetFiles(&files);
  platform::Install(&wrapped);
  EXPECT_EQ(platform::Current().Files().WriteFile("C:\\x", "x").code(), Error::kIo);
  EXPECT_TRUE(platform::Current().Files().CreateFolder("C:\\x").ok());
  EXPECT_EQ(&platform::Current().Reg(), &machine.platform().Reg());
  platform::Install(nullptr);
}

}  // namespace
