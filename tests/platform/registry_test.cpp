// The registry on a real prefix: exact value lengths, "more data", views and redirection, key paths,
// access rights, and the store's text.
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "platform/posix/registry_file.h"
#include "platform/registry.h"
#include "support/temp_prefix.h"

namespace {

using platform::Error;
using platform::RegistryKey;
using voda_test::ReadHostFile;

const char kX86Machine[] = "[system]\narchitecture = x86\n";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.ok()) << machine_.error(); }
  platform::Registry& reg() { return machine_.platform().Reg(); }
  std::string StoreText() { return ReadHostFile(machine_.root() + "/registry.reg"); }

  std::unique_ptr<RegistryKey> Create(const std::string& path, uint32_t access = platform::kKeyAllAccess) {
    std::unique_ptr<RegistryKey> key;
    EXPECT_TRUE(reg().CreateKey(path, access, &key).ok()) << path;
    return key;
  }
  void SetSz(RegistryKey& key, const std::string& name, const std::string& bytes) {
    ASSERT_TRUE(key.SetValue(name, platform::kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size())).ok());
  }
  // The value's bytes through a buffer of `capacity` bytes, or the error.
  static std::string Query(RegistryKey& key, const std::string& name, uint32_t capacity = 260,
                           Error* code = nullptr) {
    std::string buf(capacity, '\0');
    uint32_t size = capacity;
    uint32_t type = 0;
    platform::Status s = key.QueryValue(name, &type, &buf[0], &size);
    if (code != nullptr) *code = s.code();
    if (!s.ok()) return "<" + std::string(platform::ErrorName(s.code())) + ">";
    return buf.substr(0, size);
  }

  voda_test::TempPrefix machine_;
};

TEST_F(RegistryTest, ValuesKeepTheirExactLength) {
  auto key = Create("Software\\Halvex\\Exact");
  SetSz(*key, "NoZero", "1.0.5");
  SetSz(*key, "WithZero", std::string("1.0.5\0", 6));
  SetSz(*key, "Empty", "");
  uint32_t size = 0;
  ASSERT_TRUE(key->QueryValue("NoZero", nullptr, nullptr, &size).ok());  // the size query
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(Query(*key, "NoZero"), "1.0.5");
  EXPECT_EQ(Query(*key, "WithZero"), std::string("1.0.5\0", 6));
  EXPECT_EQ(Query(*key, "Empty"), "");

  // Another process sees exactly the same bytes.
  std::string error;
  auto other = machine_.Reopen(&error);
  ASSERT_TRUE(other) << error;
  std::unique_ptr<RegistryKey> again;
  ASSERT_TRUE(other->Reg().OpenKey("Software\\Halvex\\Exact", platform::kKeyRead, &again).ok());
  EXPECT_EQ(Query(*again, "NoZero"), "1.0.5");
  EXPECT_EQ(Query(*again, "WithZero"), std::string("1.0.5\0", 6));
  EXPECT_NE(StoreText().find("\"NoZero\"=hex(1):31,2e,30,2e,35\r\n"), std::string::npos) << StoreText();
  EXPECT_NE(StoreText().find("\"WithZero\"=\"1.0.5\"\r\n"), std::string::npos) << StoreText();
}

TEST_F(RegistryTest, ASmallBufferGivesMoreDataAndTheNeededSize) {
  auto key = Create("Software\\Halvex\\Sizes");
  std::string url(260, 'u');
  SetSz(*key, "ServerURL", url);
  SetSz(*key, "Short", std::string(259, 's'));
  Error code = Error::kOk;
  EXPECT_EQ(Query(*key, "ServerURL", 260, &code), url);
  EXPECT_EQ(code, Error::kOk);
  Query(*key, "ServerURL", 259, &code);
  EXPECT_EQ(code, Error::kMoreData);
  char buf[4];
  uint32_t size = sizeof buf;
  EXPECT_EQ(key->QueryValue("Short", nullptr, buf, &size).code(), Error::kMoreData);
  EXPECT_EQ(size, 259u);
  EXPECT_EQ(Query(*key, "Missing", 260, &code), "<not found>");
}

TEST_F(RegistryTest, DwordsAndOtherTypes) {
  auto key = Create("Software\\Halvex\\Types");
  uint32_t n = 42;
  ASSERT_TRUE(key->SetValue("Count", platform::kRegDword, &n, 4).ok());
  ASSERT_TRUE(key->SetValue("Blob", platform::kRegBinary, "\x01\x02", 2).ok());
  ASSERT_TRUE(key->SetValue("", platform::kRegExpandSz, "%TEMP%\0", 7).ok());
  uint32_t type = 0, back = 0, size = 4;
  ASSERT_TRUE(key->QueryValue("count", &type, &back, &size).ok());
  EXPECT_EQ(type, platform::kRegDword);
  EXPECT_EQ(back, 42u);
  std::string text = StoreText();
  EXPECT_NE(text.find("\"Count\"=dword:0000002a\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Blob\"=hex:01,02\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("@=hex(2):25,54,45,4d,50,25,00\r\n"), std::string::npos) << text;
}

TEST_F(RegistryTest, AwkwardTextSurvivesTheStore) {
  const std::string values[] = {
      std::string("C:\\Program Files (x86)\\Bank\0", 29),
      std::string("say \"hi\"\0", 9),
      std::string("two\r\nlines\0", 11),
      std::string("网银助手\0", 13),
      std::string("in\0side", 7),
      std::string("\xff\xfe", 2),
  };
  {
    auto key = Create("Software\\Halvex\\Awkward");
    for (size_t i = 0; i < std::size(values); ++i) SetSz(*key, "v" + std::to_string(i), values[i]);
    SetSz(*key, "name with \"quotes\" and \\", "x");
  }
  std::string error;
  auto other = machine_.Reopen(&error);
  ASSERT_TRUE(other) << error;
  std::unique_ptr<RegistryKey> key;
  ASSERT_TRUE(other->Reg().OpenKey("Software\\Halvex\\Awkward", platform::kKeyRead, &key).ok());
  for (size_t i = 0; i < std::size(values); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Query(*key, "v" + std::to_string(i)), values[i]);
  }
  EXPECT_EQ(Query(*key, "name with \"quotes\" and \\"), "x");
}

TEST_F(RegistryTest, DoubledBackslashesActAsOne) {
  auto key = Create("Software\\\\Halvex\\ZivIV\\NOVRA\\861");
  SetSz(*key, "Version", "2.1");
  std::unique_ptr<RegistryKey> same;
  ASSERT_TRUE(reg().OpenKey("\\Software\\Halvex\\\\\\ZivIV\\NOVRA\\861\\", platform::kKeyRead, &same).ok());
  EXPECT_EQ(Query(*same, "VERSION"), "2.1");  // names ignore case
  EXPECT_EQ(StoreText().find("\\\\"), std::string::npos) << "a key with an empty name";
  std::unique_ptr<RegistryKey> none;
  EXPECT_EQ(reg().CreateKey("\\\\", platform::kKeyAllAccess, &none).code(), Error::kInvalid);
}

TEST_F(RegistryTest, ThirtyTwoBitViewIsRedirectedOnA64BitMachine) {
  bool created = false;
  std::unique_ptr<RegistryKey> key;
  ASSERT_TRUE(reg().CreateKey("SOFTWARE\\Halvex\\ZivIV", platform::kKeyAllAccess, &key, &created).ok());
  EXPECT_TRUE(created);
  SetSz(*key, "Path", "C:\\Bank");
  auto run = Create("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                    platform::kKeyAllAccess | platform::kKeyWow64_64Key);
  SetSz(*run, "Bank", "pop.exe");
  auto policy = Create("SOFTWARE\\Policies\\Bank");  // shared by both views
  SetSz(*policy, "P", "1");

  struct Case {
    const char* path;
    uint32_t view;
    bool found;
  } cases[] = {
      {"SOFTWARE\\Halvex\\ZivIV", 0, true},
      {"SOFTWARE\\Halvex\\ZivIV", platform::kKeyWow64_32Key, true},
      {"SOFTWARE\\Halvex\\ZivIV", platform::kKeyWow64_64Key, false},
      {"SOFTWARE\\Wow6432Node\\Halvex\\ZivIV", platform::kKeyWow64_64Key, true},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", platform::kKeyWow64_64Key, true},
      {"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run", platform::kKeyWow64_64Key, false},
      {"SOFTWARE\\Policies\\Bank", 0, true},
      {"SOFTWARE\\Policies\\Bank", platform::kKeyWow64_64Key, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " view " + std::to_string(c.view));
    std::unique_ptr<RegistryKey> k;
    EXPECT_EQ(reg().OpenKey(c.path, platform::kKeyRead | c.view, &k).ok(), c.found);
  }
  std::string text = StoreText();
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Halvex\\ZivIV]"), std::string::npos) << text;
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]"), std::string::npos);
  EXPECT_EQ(reg().OpenKey("Software", platform::kKeyRead | platform::kKeyWow64_32Key | platform::kKeyWow64_64Key,
                          &key).code(),
            Error::kInvalid);
}

TEST(RegistryViews, A32BitMachineHasOneView) {
  voda_test::TempPrefix machine(kX86Machine);
  ASSERT_TRUE(machine.ok()) << machine.error();
  std::unique_ptr<RegistryKey> key;
  ASSERT_TRUE(machine.platform().Reg().CreateKey("Software\\Halvex", platform::kKeyAllAccess, &key).ok());
  ASSERT_TRUE(machine.platform().Reg().OpenKey("Software\\Halvex", platform::kKeyRead | platform::kKeyWow64_64Key,
                                               &key).ok());
  EXPECT_EQ(ReadHostFile(machine.root() + "/registry.reg").find("Wow6432Node"), std::string::npos);
}

TEST_F(RegistryTest, AccessRightsAreEnforced) {
  auto writable = Create("Software\\Halvex\\Rights");
  SetSz(*writable, "V", "1");
  std::unique_ptr<RegistryKey> readOnly;
  ASSERT_TRUE(reg().OpenKey("Software\\Halvex\\Rights", platform::kKeyRead, &readOnly).ok());
  EXPECT_EQ(readOnly->SetValue("V", platform::kRegSz, "2", 1).code(), Error::kAccessDenied);
  EXPECT_EQ(readOnly->DeleteValue("V").code(), Error::kAccessDenied);
  EXPECT_EQ(Query(*readOnly, "V"), "1");
  std::unique_ptr<RegistryKey> writeOnly;
  ASSERT_TRUE(reg().OpenKey("Software\\Halvex\\Rights", platform::kKeySetValue, &writeOnly).ok());
  EXPECT_EQ(Query(*writeOnly, "V"), "<access denied>");
}

TEST_F(RegistryTest, DeletingValuesAndKeys) {
  auto parent = Create("Software\\Halvex\\Del");
  auto child = Create("Software\\Halvex\\Del\\Child");
  SetSz(*child, "V", "1");
  EXPECT_TRUE(child->DeleteValue("v").ok());
  EXPECT_EQ(child->DeleteValue("V").code(), Error::kNotFound);
  EXPECT_EQ(Query(*child, "V"), "<not found>");

  EXPECT_EQ(reg().DeleteKey("Software\\Halvex\\Del", 0).code(), Error::kAccessDenied);  // has a subkey
  EXPECT_TRUE(reg().DeleteKey("Software\\Halvex\\Del\\Child", 0).ok());
  EXPECT_EQ(reg().DeleteKey("Software\\Halvex\\Del\\Child", 0).code(), Error::kNotFound);
  std::unique_ptr<RegistryKey> gone;
  EXPECT_EQ(reg().OpenKey("Software\\Halvex\\Del\\Child", platform::kKeyRead, &gone).code(), Error::kNotFound);
  // A handle to a deleted key no longer writes anywhere.
  EXPECT_EQ(child->SetValue("V", platform::kRegSz, "1", 1).code(), Error::kNotFound);
  EXPECT_EQ(StoreText().find("Child"), std::string::npos);
}

TEST_F(RegistryTest, ABrokenStoreIsNeverWrittenOver) {
  auto key = Create("Software\\Halvex\\Broken");
  std::string broken = "Windows Registry Editor Version 5.00\r\n\"orphan\"=\"value\"\r\n";
  voda_test::WriteHostFile(machine_.root() + "/registry.reg", broken);
  EXPECT_EQ(key->SetValue("V", platform::kRegSz, "1", 1).code(), Error::kIo);
  std::unique_ptr<RegistryKey> other;
  EXPECT_EQ(reg().CreateKey("Software\\Other", platform::kKeyAllAccess, &other).code(), Error::kIo);
  EXPECT_EQ(StoreText(), broken);
}

}  // namespace

namespace {

// Whatever the store's reader accepts, its writer writes back as a text that reads to the same store;
// whatever it refuses gives a message. Damaged texts are derived from good ones by random edits.
TEST(RegistryFile, DamagedTextIsRefusedOrReadWhole) {
  const std::string seed =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Halvex]\r\n"
      "\"Path\"=\"C:\\\\Program Files (x86)\\\\\\\"Bank\\\"\"\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "@=hex(1):41,42,\\\r\n  43\r\n"
      "\"Blob\"=hex:01,02\r\n";
  const char alphabet[] = "[]\\\"=@:,()-x0a9\r\n ;hexdword(1)HKEY_LOCAL_MACHINE\xff";
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  int accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text = seed;
    for (uint32_t edits = 1 + next() % 6; edits > 0; --edits) {
      size_t pos = next() % text.size();
      char c = alphabet[next() % (sizeof alphabet - 1)];
      switch (next() % 3) {
        case 0: text.erase(pos, 1 + next() % 3); break;
        case 1: text.insert(pos, 1, c); break;
        default: text[pos] = c;
      }
      if (text.empty()) text = "x";
    }
    platform::posix::RegKeyNode root;
    std::string error;
    if (!platform::posix::ParseRegistryFile(text, &root, &error)) {
      ASSERT_FALSE(error.empty()) << text;
      continue;
    }
    ++accepted;
    std::string written = platform::posix::FormatRegistryFile(root);
    platform::posix::RegKeyNode again;
    ASSERT_TRUE(platform::posix::ParseRegistryFile(written, &again, &error)) << error << "\n" << written;
    ASSERT_EQ(platform::posix::FormatRegistryFile(again), written) << text;
  }
  EXPECT_GT(accepted, 100);
}

}  // namespace
