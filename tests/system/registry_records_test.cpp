// The registry records of an installation, read back through the platform registry of a fresh 64-bit
// machine: keys, views, value names, types and exact data lengths.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "support/temp_prefix.h"
#include "system/registry_records.h"

namespace {

const char kRun[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

struct Value {
  bool found = false;
  std::uint32_t type = 0;
  std::string data;  // exactly the stored bytes
};

class RegistryRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
    Profile(0x861);
  }

  void Profile(std::uint32_t bankId) {
    profile_ = BankProfile{};
    ServerEndpoint server;
    FillBankProfile(bankId, profile_, server);
  }

  static Value Read(const std::string& key, const std::string& name, std::uint32_t view = 0) {
    Value value;
    std::unique_ptr<platform::RegistryKey> open;
    if (!platform::Current().Reg().OpenKey(key, platform::kKeyRead | view, &open).ok()) return value;
    std::uint32_t size = 0;
    if (!open->QueryValue(name, &value.type, nullptr, &size).ok()) return value;
    value.data.resize(size);
    if (!open->QueryValue(name, &value.type, value.data.data(), &size).ok()) return value;
    value.data.resize(size);
    value.found = true;
    return value;
  }

  static void ExpectText(const std::string& key, const std::string& name, const std::string& text,
                         std::uint32_t view = 0) {
    SCOPED_TRACE(key + " : " + name);
    const Value value = Read(key, name, view);
    ASSERT_TRUE(value.found);
    EXPECT_EQ(platform::kRegSz, value.type);
    // The data length is the text's length: no terminating zero.
    EXPECT_EQ(text, value.data);
  }

  static void SetText(const std::string& key, const std::string& name, const std::string& data,
                      std::uint32_t view = 0) {
    std::unique_ptr<platform::RegistryKey> open;
    ASSERT_TRUE(platform::Current().Reg().CreateKey(key, platform::kKeyAllAccess | view, &open).ok());
    ASSERT_TRUE(open->SetValue(name, platform::kRegSz, data.data(), static_cast<std::uint32_t>(data.size())).ok());
  }

  voda_test::TempPrefix machine_;
  BankProfile profile_;
};

TEST_F(RegistryRecordsTest, WritesEveryRecordInItsView) {
  const std::string dir = "C:\\Program Files (x86)\\中文\\voda";
  ASSERT_TRUE(WriteRegistryRecords({"1.2.3.4", dir, true}, profile_));

  // The product key keeps the empty vendor segment: two backslashes after Software.
  const std::string product = "Software\\\\Halvex\\ZivIV\\NOVRA\\861";
  EXPECT_EQ(product, ProductRegistryKey(profile_));
  ExpectText(product, "Version", "1.2.3.4");
  ExpectText(product, "Path", dir);
  ExpectText(product, "BankID", "861");

  const std::string uninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + profile_.productName;
  ExpectText(uninstall, "UninstallString", dir + "\\uninst_861.exe");
  ExpectText(uninstall, "Publisher", "Corvane");
  ExpectText(uninstall, "DisplayName", profile_.productName);
  ExpectText(uninstall, "DisplayVersion", "1.2.3.4");
  ExpectText(uninstall, "DisplayIcon", dir + "\\ZivIV_861.exe");

  // On a 64-bit machine the 32-bit keys lie below Wow6432Node, the Run entry in the native view only.
  ExpectText("Software\\Wow6432Node\\Halvex\\ZivIV\\NOVRA\\861", "Version", "1.2.3.4", platform::kKeyWow64_64Key);
  EXPECT_FALSE(Read("Software\\Halvex\\ZivIV\\NOVRA\\861", "Version", platform::kKeyWow64_64Key).found);
  ExpectText(kRun, profile_.productName, dir + "\\QuillonPop_861.exe", platform::kKeyWow64_64Key);
  EXPECT_FALSE(Read(kRun, profile_.productName).found);
}

TEST_F(RegistryRecordsTest, AutostartClearedRemovesTheRunValue) {
  SetText(kRun, profile_.productName, "C:\\old\\QuillonPop_861.exe", platform::kKeyWow64_64Key);
  SetText(kRun, "Other", "kept", platform::kKeyWow64_64Key);
  ASSERT_TRUE(WriteRegistryRecords({"1.0.0.2", "C:\\voda", false}, profile_));
  EXPECT_FALSE(Read(kRun, profile_.productName, platform::kKeyWow64_64Key).found);
  ExpectText(kRun, "Other", "kept", platform::kKeyWow64_64Key);
  ExpectText(ProductRegistryKey(profile_), "Version", "1.0.0.2");
}

TEST_F(RegistryRecordsTest, ShortBankIdsArePaddedInValuesOnly) {
  Profile(0x5);
  ASSERT_TRUE(WriteRegistryRecords({"1.0.0.1", "C:\\voda", true}, profile_));
  EXPECT_EQ("Software\\\\Halvex\\ZivIV\\NOVRA\\5", ProductRegistryKey(profile_));
  ExpectText(ProductRegistryKey(profile_), "BankID", "005");
  ExpectText(kRun, profile_.productName, "C:\\voda\\QuillonPop_005.exe", platform::kKeyWow64_64Key);
}

TEST_F(RegistryRecordsTest, ReadsTheAssistantsKeyUpToItsBuffer) {
  const std::string key = "Software\\Halvex\\ZivIV\\NOVRA";
  EXPECT_EQ("", ReadZivIvValue("NOVRA", "ServerURL"));  // no key
  const std::string url259(259, 'u');
  struct Case {
    const char* name;
    std::string stored;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", "https://host/files", "https://host/files"},
      {"with zero", std::string("D:\\voda\0junk", 12), "D:\\voda"},
      {"259 bytes", url259, url259},
      {"260 bytes", std::string(260, 'v'), std::string(260, 'v')},
      {"too long", std::string(261, 'w'), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetText(key, "ServerURL", c.stored);
    EXPECT_EQ(c.expected, ReadZivIvValue("NOVRA", "ServerURL"));
  }
  EXPECT_EQ("", ReadZivIvValue("NOVRA", "Path"));  // no value
  // The key lies in the 32-bit view: a 64-bit copy of it is not read.
  SetText(key, "Path", "C:\\native", platform::kKeyWow64_64Key);
  EXPECT_EQ("", ReadZivIvValue("NOVRA", "Path"));
}

}  // namespace
