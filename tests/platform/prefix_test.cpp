// The prefix: default machine, machine.ini, path mapping both ways, drive types.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/posix/prefix.h"
#include "support/temp_prefix.h"

namespace {

using platform::DriveType;
using platform::Error;
using voda_test::FileExists;
using voda_test::ReadHostFile;
using voda_test::TempPrefix;

TEST(Prefix, MissingPrefixIsCreatedWithTheDefaultMachine) {
  TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  const platform::posix::Machine& m = machine.prefix().GetMachine();
  EXPECT_EQ(m.version.major, 6u);
  EXPECT_EQ(m.version.minor, 2u);
  EXPECT_EQ(m.version.platformId, 2u);
  EXPECT_EQ(m.architecture, platform::kArchitectureX64);
  EXPECT_EQ(m.screenWidth, 1920);
  EXPECT_EQ(m.screenHeight, 1080);
  EXPECT_EQ(ReadHostFile(machine.root() + "/registry.reg"), "Windows Registry Editor Version 5.00\r\n\r\n");
  EXPECT_TRUE(std::filesystem::is_directory(machine.root() + "/run"));
  EXPECT_TRUE(std::filesystem::is_directory(machine.root() + "/drive_c/Program Files (x86)"));
  EXPECT_TRUE(std::filesystem::is_directory(machine.root() + "/drive_c/Users/Public/Desktop"));
  EXPECT_TRUE(std::filesystem::is_directory(machine.HostPath(m.temp)));

  // Opening again reads the same machine and changes nothing.
  std::string before = ReadHostFile(machine.root() + "/machine.ini");
  std::string error;
  auto again = machine.Reopen(&error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(ReadHostFile(machine.root() + "/machine.ini"), before);
}

TEST(Prefix, DefaultRootFollowsTheEnvironment) {
  struct Case {
    const char* prefix;
    const char* dataHome;
    const char* home;
    std::string root;
  } cases[] = {
      {"/srv/machine", "/data", "/home/anna", "/srv/machine"},
      {nullptr, "/data", "/home/anna", "/data/voda-prefix"},
      {"", "relative", "/home/anna", "/home/anna/.local/share/voda-prefix"},
      {nullptr, nullptr, "/home/anna", "/home/anna/.local/share/voda-prefix"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root);
    auto set = [](const char* name, const char* value) {
      if (value != nullptr) {
        ::setenv(name, value, 1);
      } else {
        ::unsetenv(name);
      }
    };
    set("VODA_PREFIX", c.prefix);
    set("XDG_DATA_HOME", c.dataHome);
    set("HOME", c.home);
    EXPECT_EQ(platform::posix::Prefix::DefaultRoot(), c.root);
  }
}

TEST(Prefix, MachineIniRoundTrips) {
  platform::posix::Machine m = platform::posix::DefaultMachine("anna");
  m.version.servicePack = "Service Pack 1";
  m.drives.push_back(platform::posix::Drive{'E', DriveType::kCdRom, "/media/cd"});
  platform::posix::Machine back;
  std::string error;
  ASSERT_TRUE(platform::posix::ParseMachineIni(FormatMachineIni(m), "/p", &back, &error)) << error;
  EXPECT_EQ(back.version.servicePack, "Service Pack 1");
  EXPECT_EQ(back.userName, "anna");
  EXPECT_EQ(back.appData, m.appData);
  EXPECT_EQ(back.programFiles, "C:\\Program Files (x86)");
  ASSERT_EQ(back.drives.size(), 3u);
  EXPECT_EQ(back.drives[0].hostRoot, "/p/drive_c");
  EXPECT_EQ(back.drives[1].hostRoot, "");  // Z: the host root
  EXPECT_EQ(back.drives[2].type, DriveType::kCdRom);
}

// A blank before a final separator would be trimmed away when the text is written back, naming another
// folder: it ends the name at once.
TEST(Prefix, BlankBeforeAFinalSeparatorEndsTheName) {
  platform::posix::Machine m;
  std::string error;
  ASSERT_TRUE(platform::posix::ParseMachineIni(
      "[drives]\nC = fixed e /\nD = fixed /mnt/d \t/ /\nZ = fixed / /\n[folders]\ntemp = C:\\Temp \\\n", "/p", &m,
      &error))
      << error;
  ASSERT_EQ(m.drives.size(), 3u);
  EXPECT_EQ(m.drives[0].hostRoot, "/p/e");
  EXPECT_EQ(m.drives[1].hostRoot, "/mnt/d");
  EXPECT_EQ(m.drives[2].hostRoot, "");
  EXPECT_EQ(m.temp, "C:\\Temp");
  platform::posix::Machine back;
  ASSERT_TRUE(platform::posix::ParseMachineIni(FormatMachineIni(m), "/p", &back, &error)) << error;
  EXPECT_EQ(FormatMachineIni(back), FormatMachineIni(m));
}

TEST(Prefix, MalformedMachineIniIsRefusedAndLeftAlone) {
  struct Case {
    const char* text;
    const char* mentions;
  } cases[] = {
      {"[version]\nmajor = six\n", "line 2"},
      {"[version]\nmajor 6\n", "line 2"},
      {"major = 6\n", "line 1"},
      {"[windows]\n", "unknown section"},
      {"[system]\narchitecture = arm\n", "architecture"},
      {"[system]\nscreen_width = 0\n", "screen_width"},
      {"[drives]\nC = fixed drive_c\nCD = fixed /\n", "line 3"},
      {"[drives]\nC = floppy drive_c\n", "drive type"},
      {"[drives]\nC = fixed drive_c\nc = fixed /\n", "line 3: duplicate"},
      {"[drives]\nC = fixed drive_c\n[folders]\ntemp = Q:\\Temp\n", "drive"},
      {"[folders]\ntemp = Temp\n", "absolute"},
      {"[version\n", "line 1"},
      {"[version]\nmajor = 6\nmajor = 7\n", "duplicate"},
      {"\xEF\xBB\xBF[version]\nminor = 1\n[oops]\n", "line 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TempPrefix machine(c.text);
    EXPECT_FALSE(machine.ok());
    EXPECT_NE(machine.error().find(c.mentions), std::string::npos) << machine.error();
    EXPECT_EQ(ReadHostFile(machine.root() + "/machine.ini"), c.text);
    EXPECT_FALSE(FileExists(machine.root() + "/registry.reg"));
  }
}

TEST(Prefix, MalformedRegistryIsRefusedAndLeftAlone) {
  const char* cases[] = {
      "REGEDIT4\r\n",
      "Windows Registry Editor Version 5.00\r\n\r\n\"a\"=\"b\"\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software]\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\Software\\\\X]\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\Software\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\S]\r\n\"a\"=dword:xyz\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\S]\r\n\"a\"=hex(1):6\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\S]\r\n\"a\"=\"open\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\S]\r\n\"a\"=hex:01,\\\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\S]\r\nnonsense\r\n",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    std::string dir = voda_test::MakeTempFolder("voda-badreg");
    voda_test::WriteHostFile(dir + "/registry.reg", text);
    std::string error;
    auto p = platform::posix::CreatePosixPlatform(dir, &error);
    EXPECT_FALSE(p);
    EXPECT_NE(error.find("registry.reg"), std::string::npos) << error;
    EXPECT_EQ(ReadHostFile(dir + "/registry.reg"), text);
    std::filesystem::remove_all(dir);
  }
}

TEST(Prefix, WindowsPathsMapOntoTheDrives) {
  TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  const std::string c = machine.root() + "/drive_c";
  struct Case {
    const char* windows;
    Error code;
    std::string host;
  } cases[] = {
      {"C:\\Windows\\System32", Error::kOk, c + "/Windows/System32"},
      {"c:/Windows/System32/", Error::kOk, c + "/Windows/System32"},
      {"C:\\\\Windows\\.\\new", Error::kOk, c + "/Windows/new"},
      {"C:\\a\\..\\..\\..\\b", Error::kOk, c + "/b"},  // never above the drive's root
      {"C:\\Bank. \\Data.", Error::kOk, c + "/Bank/Data"},
      {"C:\\", Error::kOk, c},
      {"C:", Error::kOk, c},
      // Case: existing components are found whatever their case; new ones keep the spelling given.
      {"c:\\PROGRAM FILES (X86)\\Bank\\New", Error::kOk, c + "/Program Files (x86)/Bank/New"},
      {"Z:\\", Error::kOk, "/"},
      {"Z:\\proc\\self", Error::kOk, "/proc/self"},
      {"Q:\\x", Error::kNotFound, ""},
      {"", Error::kNotFound, ""},
      {"C:\\a<b", Error::kInvalid, ""},
      {"C:\\a\\b?", Error::kInvalid, ""},
      {"C:\\a:b", Error::kInvalid, ""},
      {"\\\\server\\share", Error::kInvalid, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.windows);
    std::string host;
    platform::Status s = machine.prefix().ToHost(k.windows, &host);
    EXPECT_EQ(s.code(), k.code);
    if (s.ok()) {
      EXPECT_EQ(host, k.host);
    }
  }
}

TEST(Prefix, RelativePathsFollowTheCurrentDirectory) {
  TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  ASSERT_EQ(::chdir((machine.root() + "/drive_c/Users").c_str()), 0);  // the fixture goes back
  std::string host;
  ASSERT_TRUE(machine.prefix().ToHost("serverip.dat", &host).ok());
  EXPECT_EQ(host, machine.root() + "/drive_c/Users/serverip.dat");
  ASSERT_TRUE(machine.prefix().ToHost("..\\x", &host).ok());
  EXPECT_EQ(host, machine.root() + "/drive_c/x");
  ASSERT_TRUE(machine.prefix().ToHost("\\Soft\\Bank", &host).ok());  // the root of the current drive
  EXPECT_EQ(host, machine.root() + "/drive_c/Soft/Bank");
  EXPECT_EQ(machine.platform().Files().CurrentDirectory(), "C:\\Users");
}

TEST(Prefix, HostPathsHaveWindowsNames) {
  std::string extra = voda_test::MakeTempFolder("voda-drive-d");
  TempPrefix machine("[drives]\nC = fixed drive_c\nD = fixed " + extra + "\nZ = fixed /\n");
  ASSERT_TRUE(machine.ok()) << machine.error();
  const auto& p = machine.prefix();
  EXPECT_EQ(p.ToWindows(machine.root() + "/drive_c/Users/x.exe"), "C:\\Users\\x.exe");
  EXPECT_EQ(p.ToWindows(machine.root() + "/drive_c"), "C:\\");
  // A folder beside drive_c is not on C: but on Z:, the host root.
  std::string other = "Z:" + machine.root() + "/drive_c_other";
  for (char& ch : other)
    if (ch == '/') ch = '\\';
  EXPECT_EQ(p.ToWindows(machine.root() + "/drive_c_other"), other);
  EXPECT_EQ(p.ToWindows(extra + "//sub/"), "D:\\sub");
  EXPECT_EQ(p.ToWindows("/etc/hosts"), "Z:\\etc\\hosts");
  EXPECT_EQ(p.ToWindows("/"), "Z:\\");
  // And back.
  std::string host;
  ASSERT_TRUE(p.ToHost(p.ToWindows(machine.root() + "/run"), &host).ok());
  EXPECT_EQ(host, machine.root() + "/run");
  std::filesystem::remove_all(extra);
}

TEST(Prefix, DriveTypesComeFromMachineIni) {
  TempPrefix machine(
      "[drives]\nC = fixed drive_c\nD = removable media/usb\nE = cdrom media/cd\nF = remote media/net\n"
      "G = ramdisk media/ram\nH = unknown media/h\nZ = fixed /\n");
  ASSERT_TRUE(machine.ok()) << machine.error();
  platform::FileSystem& files = machine.platform().Files();
  struct Case {
    const char* root;
    DriveType type;
  } cases[] = {
      {"C:", DriveType::kFixed},       {"c:\\", DriveType::kFixed},     {"C:/", DriveType::kFixed},
      {"D:", DriveType::kRemovable},   {"E:\\", DriveType::kCdRom},     {"F:", DriveType::kRemote},
      {"G:", DriveType::kRamDisk},     {"H:", DriveType::kUnknown},     {"Q:", DriveType::kNoRootDir},
      {"", DriveType::kNoRootDir},     {"C:\\Windows", DriveType::kNoRootDir},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.root);
    EXPECT_EQ(files.GetDriveType(k.root), k.type);
  }
}

TEST(Prefix, TempModuleAndCurrentDirectoryAreWindowsPaths) {
  TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  platform::FileSystem& files = machine.platform().Files();
  std::string temp = files.TempPath();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  EXPECT_TRUE(files.IsFolder(temp));

  std::string module = files.ModulePath();
  EXPECT_EQ(machine.HostPath(module), std::filesystem::canonical("/proc/self/exe").string());

  ASSERT_TRUE(files.SetCurrentDirectory("C:\\Program Files (x86)").ok());
  EXPECT_EQ(files.CurrentDirectory(), "C:\\Program Files (x86)");
  EXPECT_EQ(files.SetCurrentDirectory("C:\\Nowhere").code(), Error::kNotFound);
}

}  // namespace
