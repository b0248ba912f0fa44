#include "app/bank_profile.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <regex>
#include <set>
#include <string>

namespace {

struct ProfileCase {
  std::uint32_t bankId;
  const char* displayName;  // "" for a bank without a row
  const char* suffix;
  const char* mutexName;
  const char* messageName;
  const char* productKey;
  const char* queryPlaintext;
};

// The product key keeps the doubled backslash the empty vendor segment leaves after "Software".
const ProfileCase kProfileCases[] = {
    {0x861, "云溪银行", "_861.exe", "downloader_NOVRA_861", "zq_detect_tools_single_msgidNOVRA_2145",
     "Software\\\\Halvex\\ZivIV\\NOVRA\\861", "861"},
    {0xAB, "青岚农村商业银行", "_0ab.exe", "downloader_NOVRA_0ab", "zq_detect_tools_single_msgidNOVRA_171",
     "Software\\\\Halvex\\ZivIV\\NOVRA\\ab", "ab"},
    {0xFFFF, "瀚海银行", "_ffff.exe", "downloader_NOVRA_ffff", "zq_detect_tools_single_msgidNOVRA_65535",
     "Software\\\\Halvex\\ZivIV\\NOVRA\\ffff", "ffff"},
    {0x999, "", "_999.exe", "downloader_NOVRA_999", "zq_detect_tools_single_msgidNOVRA_2457",
     "Software\\\\Halvex\\ZivIV\\NOVRA\\999", "999"},
};

TEST(BankProfile, DerivesEveryNameFromTheBankId) {
  for (const ProfileCase& c : kProfileCases) {
    SCOPED_TRACE(c.suffix);
    BankProfile p;
    ServerEndpoint s;
    FillBankProfile(c.bankId, p, s);
    const std::string name = c.displayName;

    EXPECT_EQ(p.bankId, c.bankId);
    EXPECT_EQ(p.allianceCode, "NOVRA");
    EXPECT_EQ(p.mainExeName, std::string("ZivIV") + c.suffix);
    EXPECT_EQ(p.uninstallerName, std::string("uninst") + c.suffix);
    EXPECT_EQ(p.assistantExeName, std::string("tellvane") + c.suffix);
    EXPECT_EQ(p.downloaderTitle, name + "voda下载器");
    EXPECT_EQ(p.productName, name + "voda");
    EXPECT_EQ(p.productFolder, name + "网上银行安全组件\\" + name + "voda");
    EXPECT_EQ(SingleInstanceMutexName(p), c.mutexName);
    EXPECT_EQ(SingleInstanceMessageName(p), c.messageName);
    EXPECT_EQ(ProductRegistryKey(p, ""), c.productKey);
    EXPECT_EQ(VersionQueryPlaintext(p), c.queryPlaintext);

    const BankRow* row = FindBankRow(c.bankId);
    EXPECT_EQ(s.baseUrl, row ? row->baseUrl : "");
    EXPECT_EQ(p.legacyUninstallKey, row && row->legacyUninstallKey ? row->legacyUninstallKey : "");
    EXPECT_TRUE(s.pathPrefix.empty());
    EXPECT_TRUE(s.queryPath.empty());

    EXPECT_EQ(p.iconId, 181);
    EXPECT_EQ(p.queryDlgImageId, 174);
    EXPECT_EQ(p.installDlgImageId, 175);
    EXPECT_EQ(p.optionDlgImageId, 176);
    EXPECT_EQ(p.progressDlgImageId, 177);
    EXPECT_EQ(p.progressDlgImage2Id, 178);
    EXPECT_EQ(p.updateDlgImageId, 180);
  }
}

TEST(BankProfile, RegistryValuesPadTheBankId) {
  BankProfile p;
  p.bankId = 0xAB;
  EXPECT_EQ(BankIdValue(p), "0ab");
  p.bankId = 0x861;
  EXPECT_EQ(BankIdValue(p), "861");
  p.allianceCode = "NOVRA";
  EXPECT_EQ(ProductRegistryKey(p, "Vendor"), "Software\\Vendor\\Halvex\\ZivIV\\NOVRA\\861");
}

TEST(BankProfile, LegacyKeyAndAlternativesFollowTheRow) {
  struct Case {
    std::uint32_t bankId;
    const char* legacyKey;
    std::size_t alternates;
  };
  const Case cases[] = {
      {0x861, "{4C0A7D7B-E99B-4D07-B71C-01DA2B3DE408}", 0},
      {0xAB, "", 0},
      {0x8A2, "{194EC57C-53E6-4972-9481-876BD1518CA4}", 4},
      {0x915, "海宁银行安全助手", 4},
      {0x999, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bankId);
    BankProfile p;
    ServerEndpoint s;
    FillBankProfile(c.bankId, p, s);
    EXPECT_EQ(p.legacyUninstallKey, c.legacyKey);
    ASSERT_EQ(s.alternateBaseUrls.size(), c.alternates);
    if (c.alternates > 0) {
      EXPECT_EQ(s.alternateBaseUrls.front(), s.baseUrl);
      EXPECT_EQ(s.alternateBaseUrls[1], FindBankRow(c.bankId)->alternateBaseUrls[1]);
    }
  }
}

TEST(BankProfile, LoadFillsTheGlobalsForTheBuildsBank) {
  ASSERT_NE(FindBankRow(BuildBankId()), nullptr) << "the table lacks the build's bank";
  LoadBankProfile();
  BankProfile expected;
  ServerEndpoint expectedServer;
  FillBankProfile(BuildBankId(), expected, expectedServer);
  EXPECT_EQ(g_bankProfile.bankId, BuildBankId());
  EXPECT_EQ(g_bankProfile.mainExeName, expected.mainExeName);
  EXPECT_EQ(g_bankProfile.downloaderTitle, expected.downloaderTitle);
  EXPECT_EQ(g_server.baseUrl, expectedServer.baseUrl);
  EXPECT_EQ(g_server.alternateBaseUrls, expectedServer.alternateBaseUrls);
  EXPECT_EQ(ProductRegistryKey(), ProductRegistryKey(expected, ""));
}

bool IsHttpsUrlWithoutSlash(const std::string& url) {
  return url.rfind("https://", 0) == 0 && url.size() > 8 && url.back() != '/' &&
         url.find('/', 8) == std::string::npos;
}

TEST(BankTable, RowsAreWellFormed) {
  const std::regex guid("\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
  const std::regex ipUrl("https://[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}");
  std::set<std::uint32_t> ids;
  std::set<std::string> hosts;
  int guidKeys = 0, nameKeys = 0, alternateRows = 0;

  for (const BankRow& row : BankTable) {
    SCOPED_TRACE(row.bankId);
    EXPECT_TRUE(ids.insert(row.bankId).second) << "duplicate bank id";
    EXPECT_LE(row.bankId, 0xFFFFu);
    ASSERT_NE(row.displayName, nullptr);
    EXPECT_GT(std::strlen(row.displayName), 0u);
    EXPECT_LE(std::strlen(row.displayName), 259u);
    EXPECT_TRUE(IsHttpsUrlWithoutSlash(row.baseUrl)) << row.baseUrl;
    hosts.insert(row.baseUrl);

    if (row.legacyUninstallKey != nullptr) {
      if (std::regex_match(row.legacyUninstallKey, guid)) {
        ++guidKeys;
      } else {
        ++nameKeys;
        EXPECT_NE(row.legacyUninstallKey[0], '{');
      }
    }
    if (row.alternateBaseUrls[0] != nullptr) {
      ++alternateRows;
      EXPECT_STREQ(row.alternateBaseUrls[0], row.baseUrl);
      for (int i = 1; i < 4; ++i) {
        ASSERT_NE(row.alternateBaseUrls[i], nullptr);
        EXPECT_TRUE(std::regex_match(row.alternateBaseUrls[i], ipUrl)) << row.alternateBaseUrls[i];
      }
    } else {
      for (const char* url : row.alternateBaseUrls) EXPECT_EQ(url, nullptr);
    }
  }
  EXPECT_EQ(guidKeys, 16);
  EXPECT_EQ(nameKeys, 4);
  EXPECT_EQ(alternateRows, 2);
  EXPECT_LT(hosts.size(), kBankTableRows) << "several rows share one server";
}

}  // namespace
