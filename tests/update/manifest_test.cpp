#include "update/manifest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "support/temp_prefix.h"

namespace {

constexpr const char* kInstallDir = "C:\\Inst";

platform::FileSystem& Files() { return platform::Current().Files(); }

class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
    ASSERT_TRUE(Files().CreateFolder(kInstallDir).ok());
    ASSERT_TRUE(Files().CreateFolder(std::string(kInstallDir) + "\\Plugins").ok());
  }

  static void Write(const std::string& path, const std::string& data) {
    ASSERT_TRUE(Files().WriteFile(path, data).ok()) << path;
  }

  // Writes a manifest whose FileInfo lists `files` (each a complete element text).
  static std::string WriteManifest(const std::string& name, const std::vector<std::string>& files) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Root>\r\n<FileInfo>\r\n";
    for (const std::string& f : files) xml += f + "\r\n";
    xml += "</FileInfo>\r\n</Root>\r\n";
    const std::string path = std::string(kInstallDir) + "\\" + name;
    Write(path, xml);
    return path;
  }

  static std::string FileElement(const std::string& path, const std::string& name, const std::string& digest) {
    return "<File Path=\"" + path + "\" FileName=\"" + name + "\" Digest=\"" + digest + "\"/>";
  }

  static std::string Digest(const std::string& path) {
    std::string digest;
    EXPECT_TRUE(ComputeFileDigest(path, digest));
    return digest;
  }

  voda_test::TempPrefix machine_;
};

// The digest of files around the 4096-byte block size, checked against sha1sum.
TEST_F(ManifestTest, FileDigestMatchesSha1sum) {
  for (std::size_t size : {0u, 1u, 4095u, 4096u, 4097u, 10000u, 65535u, 65536u, 65537u, 3u * 1024u * 1024u + 7u}) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + size) & 0xff);
    const std::string path = std::string(kInstallDir) + "\\f" + std::to_string(size) + ".bin";
    Write(path, data);

    const std::string command =
        "sha1sum '" + machine_.HostPath(path) + "' | cut -c1-40 | xxd -r -p | base64";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[128] = {};
    ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
    pclose(pipe);
    std::string expected(line);
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r')) expected.pop_back();

    std::string digest;
    ASSERT_TRUE(ComputeFileDigest(path, digest));
    EXPECT_EQ(digest, expected) << "size " << size;
    EXPECT_EQ(digest.size(), 28u);
    EXPECT_FALSE(FileDigestDiffers(path, expected));
  }
}

TEST_F(ManifestTest, DigestOfMissingAndUnreadablePaths) {
  std::string digest = "stale";
  EXPECT_FALSE(ComputeFileDigest(std::string(kInstallDir) + "\\missing.dll", digest));
  EXPECT_EQ(digest, "");
  digest = "stale";
  EXPECT_TRUE(ComputeFileDigest(std::string(kInstallDir) + "\\Plugins", digest));  // a folder
  EXPECT_EQ(digest, "");
  EXPECT_TRUE(FileDigestDiffers(std::string(kInstallDir) + "\\missing.dll", ""));
  EXPECT_TRUE(FileDigestDiffers(std::string(kInstallDir) + "\\Plugins", "2jmj7l5rSw0yVb/vlWAYkK/YBwk="));
}

TEST(ManifestNames, FileNamesAndLocations) {
  EXPECT_EQ(ManifestFileName(KindCommon, 0x861), "Digest.xml");
  EXPECT_EQ(ManifestFileName(KindIfPresent, 0x861), "Digest_n.xml");
  EXPECT_EQ(ManifestFileName(KindBank, 0x861), "Digest_861.xml");
  EXPECT_EQ(ManifestFileName(KindBank, 0x5), "Digest_005.xml");
  EXPECT_EQ(ManifestFileName(KindBank, 0xABC), "Digest_abc.xml");
  EXPECT_EQ(ManifestFileName(KindBank, 0x1A2B), "Digest_1a2b.xml");
  EXPECT_EQ(ManifestFileName(0, 0x861), "");
  EXPECT_EQ(ManifestFileName(4, 0x861), "");

  const ManifestLocations bank = MakeManifestLocations(KindBank, 0x861, "http://h/dl", "C:\\P\\V");
  EXPECT_EQ(bank.url, "http://h/dl/Digest_861.xml");
  EXPECT_EQ(bank.stagingPath, "C:\\P\\V\\DownLoad\\Digest_861.xml");
  EXPECT_EQ(bank.installedPath, "C:\\P\\V\\Digest_861.xml");
  EXPECT_EQ(MakeManifestLocations(7, 0x861, "http://h", "C:\\P").url, "");
}

TEST(Utf8ToAnsi, ValidTextPassesInvalidGivesEmpty) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"Plugins", "Plugins"},
      {"\xE6\x8F\x92\xE4\xBB\xB6", "\xE6\x8F\x92\xE4\xBB\xB6"},  // two CJK characters
      {"a\xC3\xA9z", "a\xC3\xA9z"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                  // outside the BMP
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},                  // U+10FFFF
      {"", ""},
      {"ab\xFF", ""},                    // never a UTF-8 byte
      {"\x80z", ""},                     // continuation without lead
      {"\xE6\x8F", ""},                  // cut short
      {"\xE6\x41\xB6", ""},              // broken continuation
      {"\xC0\xAF", ""},                  // overlong "/"
      {"\xE0\x80\xAF", ""},              // overlong "/" in three bytes
      {"\xF0\x82\x82\xAC", ""},          // overlong in four bytes
      {"\xED\xA0\x80", ""},              // a surrogate
      {"\xF4\x90\x80\x80", ""},          // above U+10FFFF
      {"\xD6\xD0\xCE\xC4", ""},          // GBK bytes, not UTF-8
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToAnsi(c.text), c.expected) << c.text;
}

TEST_F(ManifestTest, EntriesAttributesAndCounts) {
  const std::string path = WriteManifest(
      "Digest.xml", {FileElement("Plugins", "\xE6\x8F\x92.dll", "AAAAAAAAAAAAAAAAAAAAAAAAAAA="),
                     "<File FileName=\"top.exe\"/>",
                     FileElement("Bad\xFF", "x.dll", "D")});
  XmlReader reader;
  ASSERT_TRUE(LoadXmlFile(path, reader));
  EXPECT_EQ(CountEntries(reader, "FileInfo", 1), 3);
  EXPECT_EQ(GetAttributeText(reader, "File", 1, "Path"), "Plugins");
  EXPECT_EQ(GetAttributeText(reader, "File", 1, "FileName"), "\xE6\x8F\x92.dll");
  EXPECT_EQ(GetAttributeText(reader, "File", 1, "Digest"), "AAAAAAAAAAAAAAAAAAAAAAAAAAA=");
  EXPECT_EQ(GetAttributeText(reader, "File", 2, "Path"), "");      // missing attribute
  EXPECT_EQ(GetAttributeText(reader, "File", 2, "Digest"), "");
  EXPECT_EQ(GetAttributeText(reader, "File", 3, "Path"), "");      // invalid UTF-8
  EXPECT_EQ(GetAttributeText(reader, "File", 3, "FileName"), "x.dll");
  EXPECT_EQ(GetAttributeText(reader, "File", 4, "FileName"), "");  // no such element
  EXPECT_EQ(GetAttributeText(reader, "file", 1, "FileName"), "");  // names are case-sensitive
  EXPECT_EQ(GetAttributeText(reader, "File", 1, "filename"), "");
  EXPECT_EQ(FindElement(reader, "File", 0), nullptr);
  EXPECT_NE(FindElement(reader, "File", 3), nullptr);
  EXPECT_EQ(reader.m_matchCount, 3);

  const std::vector<ManifestEntry> entries = ReadManifestEntries(path);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(RelativeEntry(entries[0]), "Plugins\\\xE6\x8F\x92.dll");
  EXPECT_EQ(RelativeEntry(entries[1]), "top.exe");
  EXPECT_EQ(InstalledFilePath(kInstallDir, entries[1]), "C:\\Inst\\top.exe");
  EXPECT_EQ(InstalledFilePath(kInstallDir, entries[0]), "C:\\Inst\\Plugins\\\xE6\x8F\x92.dll");
}

// The element search's document order and the counting rules, on small documents. For each, the
// one-walk reader gives exactly the entries the per-entry reads give.
TEST_F(ManifestTest, SearchOrderAndCountingRules) {
  struct Case {
    const char* name;
    const char* xml;
    int count;                           // CountEntries(FileInfo, 1)
    std::vector<const char*> fileNames;  // FileName of entries 1..count
  } cases[] = {
      {"no FileInfo", "<Root><File FileName=\"a\"/></Root>", 0, {}},
      {"empty FileInfo", "<Root><FileInfo>text<!-- c --></FileInfo></Root>", 0, {}},
      {"non-File child counts, third entry empty",
       "<Root><FileInfo><File FileName=\"a\"/><Other FileName=\"o\"/><File FileName=\"c\"/></FileInfo></Root>", 3,
       {"a", "c", ""}},
      {"first FileInfo in depth-first order",
       "<Root><Group><FileInfo><File FileName=\"inner\"/></FileInfo></Group>"
       "<FileInfo><File FileName=\"x\"/><File FileName=\"y\"/></FileInfo></Root>",
       1, {"inner"}},
      {"File elements before FileInfo are entries too",
       "<Root><Head><File FileName=\"early\"/></Head><FileInfo><File FileName=\"a\"/><File FileName=\"b\"/>"
       "</FileInfo></Root>",
       2, {"early", "a"}},
      {"nested Files count in document order",
       "<Root><FileInfo><File FileName=\"a\"><File FileName=\"a1\"/></File><File FileName=\"b\"/></FileInfo>"
       "</Root>",
       2, {"a", "a1"}},
      {"search continues through top-level siblings",
       "<First/><Root><FileInfo><File FileName=\"a\"/></FileInfo></Root>", 1, {"a"}},
      {"signed layout, entities decoded",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n"
       "<File Path=\"\" FileName=\"a&amp;b.dat\" Digest=\"x\"/>\r\n<File Path=\"Data\" FileName=\"&#x4E2D;.dat\"/>\r\n"
       "</FileInfo>\r\n<Sign>0A1B2C</Sign>\r\n</Digest>\r\n",
       2, {"a&b.dat", "\xE4\xB8\xAD.dat"}},
      {"declaration and comment before the root",
       "<?xml version=\"1.0\"?><!-- note --><Root><FileInfo><File FileName=\"a\"/></FileInfo></Root>", 1, {"a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = std::string(kInstallDir) + "\\case.xml";
    Write(path, c.xml);
    XmlReader reader;
    ASSERT_TRUE(LoadXmlFile(path, reader));
    ASSERT_EQ(CountEntries(reader, "FileInfo", 1), c.count);
    const std::vector<ManifestEntry> entries = ReadManifestEntries(path);
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(c.count));
    for (int i = 1; i <= c.count; ++i) {
      EXPECT_EQ(GetAttributeText(reader, "File", i, "FileName"), c.fileNames[static_cast<std::size_t>(i - 1)]);
      EXPECT_EQ(entries[static_cast<std::size_t>(i - 1)].fileName, c.fileNames[static_cast<std::size_t>(i - 1)]);
    }
  }
}

TEST_F(ManifestTest, UnloadableManifestsHaveNoEntries) {
  XmlReader reader;
  EXPECT_FALSE(LoadXmlFile(std::string(kInstallDir) + "\\none.xml", reader));
  EXPECT_FALSE(LoadXmlFile(std::string(kInstallDir) + "\\Plugins", reader));
  EXPECT_EQ(CountEntries(reader, "FileInfo", 1), 0);
  EXPECT_EQ(GetAttributeText(reader, "File", 1, "FileName"), "");

  for (const char* broken : {"", "<Root><FileInfo><File FileName=\"a\"></FileInfo></Root>", "not xml at all <",
                             "<Root attr=\"x></Root>"}) {
    const std::string path = std::string(kInstallDir) + "\\broken.xml";
    Write(path, broken);
    EXPECT_FALSE(LoadXmlFile(path, reader)) << broken;
    EXPECT_TRUE(ReadManifestEntries(path).empty()) << broken;
  }

  // A reader that loaded once and then fails holds nothing of the earlier document.
  const std::string good = WriteManifest("good.xml", {"<File FileName=\"a\"/>"});
  ASSERT_TRUE(LoadXmlFile(good, reader));
  EXPECT_FALSE(LoadXmlFile(std::string(kInstallDir) + "\\none.xml", reader));
  EXPECT_EQ(CountEntries(reader, "FileInfo", 1), 0);
}

// A cut or damaged manifest that ends inside a UTF-8 sequence is refused; the parser stays inside the
// text (a read past it shows under AddressSanitizer).
TEST(ParseXmlText, TextEndingInsideAUtf8SequenceIsRefused) {
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Digest>\n<FileInfo>\n";
  const std::vector<std::string> cuts = {
      head + "<File Path=\"\" FileName=\"\xe8",             // in an attribute value
      head + "<File Path=\"\" FileName=\"\xf0\x9f",          // four-byte sequence, two bytes given
      head + "<File Path=\"\" FileName=\"a\"/>\nb\xe6",       // in text between elements
      head + "<F\xe6",                                      // in an element name
  };
  for (const std::string& text : cuts) {
    XmlReader reader;
    EXPECT_FALSE(ParseXmlText(text, reader)) << text;
    EXPECT_EQ(reader.Document(), nullptr);
  }
  // A damaged manifest that made the parser run far past the end of the text and crash.
  const std::string damaged =
      "<?xml version=\"1.0\" Wg0qqenfo\r\n<File xe\" Digest=\"GbAWgYvA4KRN3q?\xee\x98\x8e.est=\"GbAGbAWg0qqenfo\r\n"
      "<File xe\" Digest=\"GbAWgYvA4KRN3qqzRYOKKmyX+mc=\"/>\r\n<File Path=\"\" FileName=\"\xe8" "bCYsOwGny3/"
      "bBWKbSEVgm\xaf\xb4\xe6z";
  XmlReader reader;
  EXPECT_EQ(ParseXmlText(damaged, reader), reader.Document() != nullptr);
}

TEST(ManifestEntrySafety, EntriesLeavingTheFolderAreRefused) {
  struct Case {
    const char* path;
    const char* fileName;
    bool safe;
  } cases[] = {
      {"", "tellvane_861.exe", true},
      {"Plugins", "a.dll", true},
      {"Plugins\\sub", "a b.dll", true},
      {"Data", "\xE6\x95\xB0\xE6\x8D\xAE.dat", true},
      {"Plugins", ".hidden", true},
      {"Plugins", "", false},
      {"", "", false},
      {"..", "a.dll", false},
      {"Plugins\\..\\..", "a.dll", false},
      {"Plugins/../..", "a.dll", false},
      {"", "..", false},
      {"Plugins", "..\\..\\evil.exe", false},
      {"...", "a.dll", false},
      {". .", "a.dll", false},
      {".", "a.dll", false},
      {"C:\\Windows", "a.dll", false},
      {"C:", "a.dll", false},
      {"", "C:evil.exe", false},
      {"\\Windows", "a.dll", false},
      {"\\\\server\\share", "a.dll", false},
      {"/etc", "a", false},
      {"Plugins\\", "a.dll", false},
      {"Plugins\\\\sub", "a.dll", false},
      {"Plugins", "a.dll:stream", false},
      {"Plugins", "*.dll", false},
      {"Plugins", "a?.dll", false},
      {"Plugins", "a\x01.dll", false},
      {"Plu\"gins", "a.dll", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSafeManifestEntry(ManifestEntry{c.path, c.fileName, "D"}), c.safe)
        << "Path=" << c.path << " FileName=" << c.fileName;
  }
}

// The update decision over an installation with an installed manifest.
TEST_F(ManifestTest, UpdateDecision) {
  const std::string plugins = std::string(kInstallDir) + "\\Plugins";
  Write(plugins + "\\a.dll", "plug-in a");
  Write(plugins + "\\mod.dll", "modified on disk");
  Write(std::string(kInstallDir) + "\\top.exe", "top program");
  Write(std::string(kInstallDir) + "\\twice.dat", "twice");
  Write(std::string(kInstallDir) + "\\nodigest.dat", "x");
  ASSERT_TRUE(Files().CreateFolder(plugins + "\\sub").ok());
  Write(plugins + "\\sub\\b.dll", "plug-in b");
  const std::string b = Digest(plugins + "\\sub\\b.dll");
  const std::string a = Digest(plugins + "\\a.dll");
  const std::string top = Digest(std::string(kInstallDir) + "\\top.exe");
  const std::string twice = Digest(std::string(kInstallDir) + "\\twice.dat");
  const std::string modRecorded = "bW9kaWZpZWQgYmVmb3JlIGRpc2sgd2FzPQ==";  // what the manifest remembers

  const std::string installedPath = WriteManifest(
      "Digest.xml", {FileElement("Plugins", "a.dll", a), FileElement("", "top.exe", top),
                     FileElement("Plugins", "mod.dll", modRecorded),
                     FileElement("", "twice.dat", "c3RhbGUgZGlnZXN0IGZpcnN0ICAgICAgICA="),
                     FileElement("", "twice.dat", twice), FileElement("", "nodigest.dat", ""),
                     FileElement("Plugins", "unreadable", ""), FileElement("Plugins", "deleted.dll", a),
                     FileElement("Plugins\\sub", "b.dll", b)});
  ASSERT_TRUE(Files().CreateFolder(plugins + "\\unreadable").ok());
  const InstalledManifest installed(installedPath);
  const InstalledManifest none(std::string(kInstallDir) + "\\absent.xml");
  ASSERT_EQ(installed.Entries().size(), 9u);
  EXPECT_TRUE(none.Entries().empty());

  struct Case {
    const char* name;
    int kind;
    ManifestEntry entry;
    const InstalledManifest* against;
    EntryDecision expected;
  } cases[] = {
      {"unchanged", KindCommon, {"Plugins", "a.dll", a}, &installed, EntryDecision::kSkip},
      {"unchanged, top level", KindBank, {"", "top.exe", top}, &installed, EntryDecision::kSkip},
      {"new digest in the fresh manifest", KindCommon, {"Plugins", "a.dll", top}, &installed, EntryDecision::kQueue},
      {"file changed on disk, manifests agree", KindCommon, {"Plugins", "mod.dll", modRecorded}, &installed,
       EntryDecision::kQueue},
      {"installed file missing", KindCommon, {"Plugins", "gone.dll", a}, &installed, EntryDecision::kQueue},
      {"installed file missing, manifests agree", KindCommon, {"Plugins", "deleted.dll", a}, &installed,
       EntryDecision::kQueue},
      {"unchanged, two levels deep", KindCommon, {"Plugins\\sub", "b.dll", b}, &installed, EntryDecision::kSkip},
      {"same file, a folder level written into the name", KindCommon, {"Plugins", "sub\\b.dll", b}, &installed,
       EntryDecision::kQueue},
      {"installed manifest missing, file current", KindCommon, {"Plugins", "a.dll", a}, &none,
       EntryDecision::kSkip},
      {"installed manifest missing, file changed", KindCommon, {"Plugins", "mod.dll", modRecorded}, &none,
       EntryDecision::kQueue},
      {"file name differs in case", KindCommon, {"Plugins", "A.dll", a}, &installed, EntryDecision::kQueue},
      {"folder differs in case", KindCommon, {"plugins", "a.dll", a}, &installed, EntryDecision::kQueue},
      {"first matching entry decides", KindCommon, {"", "twice.dat", twice}, &installed, EntryDecision::kQueue},
      {"empty digest, file readable", KindCommon, {"", "nodigest.dat", ""}, &installed, EntryDecision::kQueue},
      {"unreadable, both manifests without digest", KindCommon, {"Plugins", "unreadable", ""}, &installed,
       EntryDecision::kQueue},
      {"kind 2, not installed", KindIfPresent, {"Plugins", "gone.dll", a}, &installed, EntryDecision::kSkip},
      {"kind 2, installed and unchanged", KindIfPresent, {"Plugins", "a.dll", a}, &installed,
       EntryDecision::kSkip},
      {"kind 2, installed and changed", KindIfPresent, {"Plugins", "mod.dll", modRecorded}, &installed,
       EntryDecision::kQueue},
      {"leaves the folder", KindCommon, {"..", "a.dll", a}, &installed, EntryDecision::kRefused},
      {"absolute path", KindIfPresent, {"C:\\Inst\\Plugins", "a.dll", a}, &installed, EntryDecision::kRefused},
      {"no file name", KindCommon, {"Plugins", "", ""}, &installed, EntryDecision::kRefused},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecideUpdateEntry(c.kind, kInstallDir, c.entry, *c.against), c.expected) << c.name;
  }

  // The per-question lookup gives the same answers as the manifest parsed once.
  EXPECT_FALSE(ManifestEntryChanged(installedPath, "Plugins", "a.dll", a));
  EXPECT_TRUE(ManifestEntryChanged(installedPath, "", "twice.dat", twice));
  EXPECT_FALSE(ManifestEntryChanged(installedPath, "", "twice.dat", "c3RhbGUgZGlnZXN0IGZpcnN0ICAgICAgICA="));
  EXPECT_TRUE(ManifestEntryChanged(installedPath, "", "unknown", ""));
  EXPECT_TRUE(ManifestEntryChanged(std::string(kInstallDir) + "\\absent.xml", "Plugins", "a.dll", a));
}

}  // namespace
