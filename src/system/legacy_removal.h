// Removal of a bank's earlier online-banking assistant, the first thing a first installation does.
//
// Which earlier product a bank had is fixed per bank: the bank profile carries the old product's
// uninstall identification (legacyUninstallKey). Banks listed in LegacyProductTable had a product with
// an uninstaller of its own: its running program is terminated, then the uninstaller runs hidden with
// "/S" and is waited for. Every other bank's earlier product is removed through the Windows Installer
// ("msiexec.exe /X{product code} /quiet"), while the Downloader's own file in the current directory is
// parked as "ZQupdate.exe" and afterwards carries the assistant program's name.
//
// The waits are bounded, so a program that never ends cannot hold the installation for ever: after the
// bound the step goes on and leaves that program running.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "app/globals.h"
#include "platform/process.h"

// A product removed with its own uninstaller.
struct LegacyProduct {
  const std::uint32_t* bankIds;  // the bank builds that had it
  std::size_t bankIdCount;
  const char* statusText;        // shown while it is removed; names the product
  const char* imageName;         // its running program, terminated first
  const char* uninstallerX86;    // its uninstaller below "C:\Program Files (x86)\" (64-bit Windows)
  const char* uninstaller;       // the same below "C:\Program Files\" (32-bit Windows)
};

constexpr std::size_t kLegacyProductRows = 2;
extern const LegacyProduct LegacyProductTable[kLegacyProductRows];

// The row of a bank id, or nullptr.
const LegacyProduct* FindLegacyProduct(std::uint32_t bankId);

// The status text of a removal through the Windows Installer.
extern const char kGenericRemovalText[];

// The parking name of the Downloader's own file, in the current directory.
constexpr const char kParkedDownloaderName[] = "ZQupdate.exe";
// Emptied before a removal through the Windows Installer when present in the current directory.
constexpr const char kKillProcessScript[] = "killprocess.vbs";

// The id of the first process of the snapshot whose image name equals `imageName` ignoring case, or 0.
platform::ProcessId FindProcessByName(const std::string& imageName);

// Bounds of the waits, in milliseconds (platform::kInfinite waits without limit).
struct LegacyRemovalLimits {
  std::uint32_t terminatedProcessMs = 30000;  // for the terminated old program to end
  std::uint32_t uninstallerMs = 600000;       // for the uninstaller or the Windows Installer to end
  std::uint32_t scriptPauseMs = 500;          // after the kill script was emptied
};

// Where the step shows what it does: the progress dialog's status line.
using LegacyStatusLine = std::function<void(const std::string&)>;

// Removes the bank's earlier product as described above; with an empty legacyUninstallKey nothing
// happens and no status is shown. A missing uninstaller ends the step quietly. The results of the
// system calls are not used: the step always returns true.
bool RemoveLegacyAssistants(const LegacyStatusLine& status, const BankProfile& profile = g_bankProfile,
                            const LegacyRemovalLimits& limits = LegacyRemovalLimits());
