// Shortcut files of the prefix's shell: the bytes against the Shell Link format, and lnkinfo (an
// independent reader) reading the target back.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/shell.h"
#include "platform/posix/shell_link.h"
#include "support/temp_prefix.h"

namespace {

const char kDesktop[] = "C:\\Users\\Public\\Desktop";

std::u16string Wide(const std::string& text) {
  std::u16string wide;
  EXPECT_TRUE(platform::AnsiToWide(text, &wide).ok()) << text;
  return wide;
}

uint32_t Le32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}
uint16_t Le16(const std::string& b, size_t at) { return static_cast<uint16_t>(Le32(b + "\0\0", at) & 0xFFFF); }
uint64_t Le64(const std::string& b, size_t at) {
  return static_cast<uint64_t>(Le32(b, at)) | static_cast<uint64_t>(Le32(b, at + 4)) << 32;
}

// lnkinfo's report of a file, or "" when it could not run.
std::string LnkInfo(const std::string& hostPath) {
  std::string command = "lnkinfo '" + hostPath + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  ::pclose(pipe);
  return out;
}

// The value of the first "<field> : value" line of lnkinfo's report.
std::string Field(const std::string& report, const std::string& field) {
  const size_t at = report.find("\t" + field + "\t");
  if (at == std::string::npos) return "";
  const size_t colon = report.find(": ", at);
  const size_t end = report.find('\n', colon);
  return report.substr(colon + 2, end - colon - 2);
}

class ShellLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.ok()) << machine_.error(); }
  platform::Shell& shell() { return machine_.platform().ShellFolders(); }

  voda_test::TempPrefix machine_;
};

TEST_F(ShellLinkTest, HeaderAndStructuresFollowTheFormat) {
  const std::string target = "C:\\Program Files (x86)\\Bank\\ZivIV_861.exe";
  ASSERT_TRUE(machine_.platform().Files().CreateFolder("C:\\Program Files (x86)\\Bank").ok());
  ASSERT_TRUE(machine_.platform().Files().WriteFile(target, std::string(12345, 'x')).ok());
  const std::string link = std::string(kDesktop) + "\\Bank.lnk";
  ASSERT_TRUE(shell().CreateShellLink(target, Wide(link)).ok());

  const std::string b = voda_test::ReadHostFile(machine_.HostPath(link));
  ASSERT_GE(b.size(), 0x4Cu + 2);
  EXPECT_EQ(0x4Cu, Le32(b, 0));  // HeaderSize
  const unsigned char clsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(clsid), 16), b.substr(4, 16));
  // The target list, the link info and Unicode; no name, relative path, working folder, arguments
  // or icon location.
  EXPECT_EQ(0x83u, Le32(b, 0x14));
  EXPECT_EQ(0x20u, Le32(b, 0x18));  // FILE_ATTRIBUTE_ARCHIVE

  struct stat st {};
  ASSERT_EQ(0, ::stat(machine_.HostPath(target).c_str(), &st));
  EXPECT_EQ(platform::posix::FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec), Le64(b, 0x2C));
  EXPECT_EQ(12345u, Le32(b, 0x34));  // FileSize
  EXPECT_EQ(0u, Le32(b, 0x38));      // IconIndex
  EXPECT_EQ(1u, Le32(b, 0x3C));      // SW_SHOWNORMAL
  EXPECT_EQ(0u, Le16(b, 0x40));      // HotKey
  EXPECT_EQ(std::string(10, '\0'), b.substr(0x42, 10));

  // The item id list, then the link info with the local base path, then only the terminal block.
  const size_t info = 0x4E + Le16(b, 0x4C);
  ASSERT_LT(info + 0x1C, b.size());
  EXPECT_EQ(0u, Le16(b, info - 2));  // terminal id of the list
  const uint32_t infoSize = Le32(b, info);
  EXPECT_EQ(0x1Cu, Le32(b, info + 4));  // ASCII path: no Unicode offsets
  EXPECT_EQ(1u, Le32(b, info + 8));     // VolumeIDAndLocalBasePath
  const uint32_t volume = Le32(b, info + 12);
  EXPECT_EQ(3u, Le32(b, info + volume + 4));  // DRIVE_FIXED
  EXPECT_EQ(target, std::string(b.c_str() + info + Le32(b, info + 16)));
  EXPECT_EQ("", std::string(b.c_str() + info + Le32(b, info + 24)));  // common path suffix
  EXPECT_EQ(info + infoSize + 4, b.size());
  EXPECT_EQ(0u, Le32(b, b.size() - 4));
}

TEST_F(ShellLinkTest, LnkinfoReadsTheTargetBack) {
  ASSERT_TRUE(machine_.platform().Files().CreateFolder("C:\\工行").ok());
  ASSERT_TRUE(machine_.platform().Files().WriteFile("C:\\工行\\ZivIV_861.exe", "MZ").ok());
  struct Case {
    const char* target;
    const char* localPath;  // as lnkinfo prints it
    const char* attributes;
  };
  const Case cases[] = {
      {"C:\\工行\\ZivIV_861.exe", "C:\\工行\\ZivIV_861.exe", "0x00000020"},
      {"c:/工行\\.\\x\\..\\ZivIV_861.exe", "C:\\工行\\ZivIV_861.exe", "0x00000020"},
      {"C:\\Program Files (x86)\\Missing\\uninst_861.exe", "C:\\Program Files (x86)\\Missing\\uninst_861.exe",
       "0x00000020"},
      {"C:\\Users", "C:\\Users", "0x00000010"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string link = std::string(kDesktop) + "\\" + std::to_string(n++) + "助手.lnk";
    ASSERT_TRUE(shell().CreateShellLink(c.target, Wide(link)).ok());
    const std::string report = LnkInfo(machine_.HostPath(link));
    ASSERT_NE(std::string::npos, report.find("Windows Shortcut information")) << report;
    EXPECT_EQ(c.localPath, Field(report, "Local path")) << report;
    EXPECT_EQ(c.attributes, Field(report, "File attribute flags")) << report;
    EXPECT_EQ("My Computer", Field(report, "Shell folder name")) << report;
    EXPECT_EQ("C:\\", Field(report, "Volume name")) << report;
    const std::string leaf = std::string(c.localPath).substr(std::string(c.localPath).rfind('\\') + 1);
    EXPECT_NE(std::string::npos, report.find("Long name\t\t: " + leaf + "\n")) << report;
  }
}

TEST_F(ShellLinkTest, AnExistingFileIsReplaced) {
  const std::string link = std::string(kDesktop) + "\\a.lnk";
  voda_test::WriteHostFile(machine_.HostPath(link), "old content");
  ASSERT_TRUE(shell().CreateShellLink("C:\\a.exe", Wide(link)).ok());
  EXPECT_EQ("C:\\a.exe", Field(LnkInfo(machine_.HostPath(link)), "Local path"));
}

TEST_F(ShellLinkTest, FailuresLeaveNoFile) {
  struct Case {
    const char* target;
    std::u16string link;
    platform::Error expected;
  };
  const std::u16string desktop = Wide(kDesktop);
  const Case cases[] = {
      {"C:\\a.exe", Wide("C:\\No Such Folder\\a.lnk"), platform::Error::kNotFound},
      {"C:\\a.exe", Wide("C:\\Users"), platform::Error::kAccessDenied},
      {"ZivIV_861.exe", desktop + u"\\relative.lnk", platform::Error::kInvalid},
      {"\\\\server\\share\\a.exe", desktop + u"\\unc.lnk", platform::Error::kInvalid},
      {"Q:\\a.exe", desktop + u"\\nodrive.lnk", platform::Error::kNotFound},
      {"C:\\a.exe", desktop + u"\\lone" + std::u16string(1, char16_t{0xD800}) + u".lnk",
       platform::Error::kInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(c.expected, shell().CreateShellLink(c.target, c.link).code());
  }
  std::vector<platform::DirEntry> entries;
  ASSERT_TRUE(machine_.platform().Files().FindFiles(std::string(kDesktop) + "\\*", &entries).ok());
  EXPECT_TRUE(entries.empty());
}

TEST(AnsiToWide, ConvertsValidTextAndRefusesMalformedText) {
  struct Case {
    std::string text;
    bool ok;
    std::u16string wide;
  };
  const Case cases[] = {
      {"C:\\a", true, u"C:\\a"},
      {"卸载程序", true, u"卸载程序"},
      {"\xF0\x9F\x98\x80", true, u"\U0001F600"},  // outside the basic plane: a surrogate pair
      {"\xC0\xAF", false, u""},                   // overlong "/"
      {"\xED\xA0\x80", false, u""},               // an encoded surrogate
      {"\xE5\x8D", false, u""},                   // cut short
      {"\xFF", false, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::u16string wide;
    EXPECT_EQ(c.ok, platform::AnsiToWide(c.text, &wide).ok());
    if (c.ok) {
      EXPECT_EQ(c.wide, wide);
      std::string back;
      ASSERT_TRUE(platform::posix::Utf16ToUtf8(wide, &back));
      EXPECT_EQ(c.text, back);
    }
  }
}

}  // namespace
