#include "app/bank_profile.h"

#include <cstdio>

#ifndef VODA_BANK_ID
#error "VODA_BANK_ID must name the bank this build serves"
#endif

static_assert(VODA_BANK_ID > 0 && VODA_BANK_ID <= 0xFFFF, "a bank id has at most four hexadecimal digits");

namespace {

constexpr const char* kAllianceHost = "https://assist.novra-alliance.example";

}  // namespace

// The banks of the alliance. Several rural banks share the alliance's server.
const BankRow BankTable[kBankTableRows] = {
    {0x861, "云溪银行", "https://voda.yunxibank.example", "{4C0A7D7B-E99B-4D07-B71C-01DA2B3DE408}", {}},
    {0x0AB, "青岚农村商业银行", kAllianceHost, nullptr, {}},
    {0x101, "东汇银行", "https://voda.donghuibank.example", "{08DD8BE7-24B8-4271-BBBB-5AF8707AF395}", {}},
    {0x102, "北岭银行", "https://voda.beilingbank.example", "{CEE5EA8E-5758-45FC-A052-60C66E1EC4E2}", {}},
    {0x205, "南屿银行", kAllianceHost, "{2C506C99-2FF3-442E-BE68-6FEE0CC54130}", {}},
    {0x2A0, "西泽商业银行", "https://voda.xizebank.example", "西泽网银助手", {}},
    {0x311, "金川银行", "https://voda.jinchuanbank.example", "{A7D7850E-BA69-459D-80D4-43FC8FAF739A}", {}},
    {0x34C, "玉衡银行", kAllianceHost, nullptr, {}},
    {0x402, "沧澜银行", "https://voda.canglanbank.example", "{64B8338E-153E-46AF-A78A-0FF023AB724D}", {}},
    {0x45E, "霁月农商银行", kAllianceHost, nullptr, {}},
    {0x510, "松涛银行", "https://voda.songtaobank.example", "{28203ED1-B71F-4806-9848-B6D95CC0AEC1}", {}},
    {0x588, "白鹭银行", "https://voda.bailubank.example", "BailuSafeAssist", {}},
    {0x603, "长风银行", "https://voda.changfengbank.example", "{6D196276-992C-4DEE-8490-416F60DF34FB}", {}},
    {0x67A, "晴川银行", "https://voda.qingchuanbank.example", "{4F2A159B-2C4E-4ECC-813D-D0AF946FD7E1}", {}},
    {0x701, "临溪村镇银行", kAllianceHost, nullptr, {}},
    {0x7B4, "星河银行", "https://voda.xinghebank.example", "{BBB2FE97-0454-4697-B0AF-AE7710EDEC1D}", {}},
    {0x805, "远山银行", "https://voda.yuanshanbank.example", "{DCD64958-7038-4EDA-8D1D-8F7B96FCB8B0}", {}},
    {0x8A2, "锦城银行", "https://voda.jinchengbank.example", "{194EC57C-53E6-4972-9481-876BD1518CA4}",
     {"https://voda.jinchengbank.example", "https://203.0.113.21", "https://203.0.113.22",
      "https://203.0.113.23"}},
    {0x915, "海宁银行", "https://voda.hainingbank.example", "海宁银行安全助手",
     {"https://voda.hainingbank.example", "https://198.51.100.31", "https://198.51.100.32",
      "https://198.51.100.33"}},
    {0x9C0, "枫桥银行", "https://voda.fengqiaobank.example", nullptr, {}},
    {0xA03, "栖霞银行", "https://voda.qixiabank.example", "{5D425EE7-676A-4CA9-9B21-958E06EFA88E}", {}},
    {0xA7E, "竹溪农商银行", kAllianceHost, nullptr, {}},
    {0xB12, "天衢银行", "https://voda.tianqubank.example", "{B40690D9-1F2E-4DFC-94D4-CE1AFBBA03F8}", {}},
    {0xC40, "望江银行", "https://voda.wangjiangbank.example", "WangjiangVoda", {}},
    {0xD09, "岚山银行", "https://voda.lanshanbank.example", "{21D00D01-66B2-45B6-B130-9778D95C67DD}", {}},
    {0xE21, "碧水银行", "https://voda.bishuibank.example", nullptr, {}},
    {0xF00, "鸿雁银行", "https://voda.hongyanbank.example", "{07C9ADB3-9F08-457F-A976-5C7C9CF481B5}", {}},
    {0x1A2B, "清源银行", "https://voda.qingyuanbank.example", nullptr, {}},
    {0xFFFF, "瀚海银行", "https://voda.hanhaibank.example", nullptr, {}},
};

std::uint32_t BuildBankId() { return VODA_BANK_ID; }

const BankRow* FindBankRow(std::uint32_t bankId) {
  for (const BankRow& row : BankTable) {
    if (row.bankId == bankId) return &row;
  }
  return nullptr;
}

std::string ExeSuffix(std::uint32_t bankId) {
  char buf[16];  // "_%03x.exe" of a 32-bit value fits
  std::snprintf(buf, sizeof buf, "_%03x.exe", static_cast<unsigned>(bankId));
  return buf;
}

void FillBankProfile(std::uint32_t bankId, BankProfile& profile, ServerEndpoint& server) {
  profile.legacyUninstallKey = "";
  profile.bankId = bankId;
  profile.allianceCode = "NOVRA";
  const std::string suffix = ExeSuffix(bankId);
  std::string displayName;

  if (const BankRow* row = FindBankRow(bankId)) {
    displayName = row->displayName;
    server.baseUrl = row->baseUrl;
    if (row->alternateBaseUrls[0] != nullptr) {
      for (const char* url : row->alternateBaseUrls) server.alternateBaseUrls.emplace_back(url);
    }
    if (row->legacyUninstallKey != nullptr) profile.legacyUninstallKey = row->legacyUninstallKey;
  }

  profile.uninstallerName = "uninst" + suffix;
  profile.mainExeName = "ZivIV" + suffix;
  profile.assistantExeName = "tellvane" + suffix;

  profile.iconId = 181;
  profile.queryDlgImageId = 174;
  profile.installDlgImageId = 175;
  profile.optionDlgImageId = 176;
  profile.progressDlgImageId = 177;
  profile.progressDlgImage2Id = 178;
  profile.updateDlgImageId = 180;

  profile.downloaderTitle = displayName + "voda下载器";
  profile.productName = displayName + "voda";
  profile.productFolder = displayName + "网上银行安全组件\\" + displayName + "voda";
}

void LoadBankProfile() { FillBankProfile(BuildBankId(), g_bankProfile, g_server); }

std::string SingleInstanceMessageName(const BankProfile& profile) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "_%d", static_cast<int>(profile.bankId));
  return "zq_detect_tools_single_msgid" + profile.allianceCode + buf;
}

std::string SingleInstanceMutexName(const BankProfile& profile) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%03x", static_cast<unsigned>(profile.bankId));
  return std::string("downloader_NOVRA_") + buf;
}

std::string ProductRegistryKey(const BankProfile& profile, const std::string& vendorSegment) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(profile.bankId));
  return "Software\\" + vendorSegment + "\\Halvex\\ZivIV\\" + profile.allianceCode + "\\" + buf;
}

std::string VersionQueryPlaintext(const BankProfile& profile) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(profile.bankId));
  return buf;
}

std::string BankIdValue(const BankProfile& profile) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%03x", static_cast<unsigned>(profile.bankId));
  return buf;
}
