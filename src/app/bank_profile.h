// The compiled-in bank table, the bank profile of this build and every bank-specific name derived from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/globals.h"

// One row of the bank table. Texts are in the system code page.
struct BankRow {
  std::uint32_t bankId;                 // at most four hexadecimal digits; distinct per row
  const char* displayName;              // at most 259 bytes; prefixes every title
  const char* baseUrl;                  // "https://host", no trailing slash
  const char* legacyUninstallKey;       // Uninstall key of the earlier product, or nullptr
  const char* alternateBaseUrls[4];     // the base URL and three more of the same server, or all nullptr
};

constexpr std::size_t kBankTableRows = 29;
extern const BankRow BankTable[kBankTableRows];

// The bank id compiled into this build (the VODA_BANK_ID build option).
std::uint32_t BuildBankId();

// The row of a bank id, or nullptr when the table has none.
const BankRow* FindBankRow(std::uint32_t bankId);

// Fills a profile and the server defaults for a bank id, as start-up does for the build's bank.
// Appends to server.alternateBaseUrls, so a fresh endpoint is expected.
void FillBankProfile(std::uint32_t bankId, BankProfile& profile, ServerEndpoint& server);

// Fills g_bankProfile and g_server for the build's bank id. Called once by start-up, before anything
// reads them; must not be called again (it appends to g_server.alternateBaseUrls).
void LoadBankProfile();

// Executable-name suffix: "_%03x.exe" of the bank id ("_861.exe", "_0ab.exe").
std::string ExeSuffix(std::uint32_t bankId);

// Registered single-instance window message: "zq_detect_tools_single_msgidNOVRA_2145".
std::string SingleInstanceMessageName(const BankProfile& profile = g_bankProfile);

// Single-instance mutex: "downloader_NOVRA_861".
std::string SingleInstanceMutexName(const BankProfile& profile = g_bankProfile);

// Product key below HKEY_LOCAL_MACHINE: "Software\%s\Halvex\ZivIV\%s\%x" of the vendor segment, the
// alliance code and the bank id. The empty vendor segment leaves two backslashes after "Software".
std::string ProductRegistryKey(const BankProfile& profile = g_bankProfile,
                               const std::string& vendorSegment = g_registryVendorSegment);

// Plaintext of the version query: "%x" of the bank id ("861").
std::string VersionQueryPlaintext(const BankProfile& profile = g_bankProfile);

// Registry value BankID of the product key: "%03x" of the bank id ("861").
std::string BankIdValue(const BankProfile& profile = g_bankProfile);
