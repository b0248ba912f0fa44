#include "system/legacy_removal.h"

#include <chrono>
#include <memory>
#include <thread>

#include "platform/files.h"
#include "platform/platform.h"

namespace {

constexpr std::uint32_t kHalvexBanks[] = {0x166, 0x861, 0x866, 0x867};
constexpr std::uint32_t kLumenBanks[] = {0x831};

// lstrcmpiA for the image names: ASCII letters compared without case, other bytes as they are.
bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// MoveFileA, and once more when it fails (the fallback rename of the C library does the same).
void MoveWithRetry(const std::string& from, const std::string& to) {
  platform::FileSystem& files = platform::Current().Files();
  if (files.MoveFile(from, to).ok()) return;
  (void)files.MoveFile(from, to);
}

// Starts a program hidden and waits for it to end, at most `limitMs`.
void RunHiddenAndWait(const std::string& file, const std::string& parameters, std::uint32_t limitMs) {
  platform::StartRequest request;
  request.file = file;
  request.parameters = parameters;
  request.show = platform::ShowMode::kHide;
  std::unique_ptr<platform::ProcessHandle> handle;
  if (!platform::Current().Procs().StartWithHandle(request, &handle).ok() || !handle) return;
  // A program still running after the bound is left to finish by itself.
  (void)handle->Wait(limitMs);
}

void ParkedDownloaderToAssistantName(const BankProfile& profile) {
  if (platform::Current().Files().Exists(kParkedDownloaderName))
    MoveWithRetry(kParkedDownloaderName, profile.assistantExeName);
}

// The last component of the program's own module path.
std::string OwnFileName() {
  const std::string path = platform::Current().Files().ModulePath();
  const std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

void RemoveWithOwnUninstaller(const LegacyProduct& product, const LegacyStatusLine& status,
                              const BankProfile& profile, const LegacyRemovalLimits& limits) {
  status(product.statusText);

  const platform::ProcessId running = FindProcessByName(product.imageName);
  if (running != 0) {
    platform::Processes& procs = platform::Current().Procs();
    if (procs.Terminate(running, 0).ok()) (void)procs.WaitForExit(running, limits.terminatedProcessMs);
  }

  platform::FileSystem& files = platform::Current().Files();
  std::string uninstaller;
  if (files.Exists(product.uninstallerX86)) {
    uninstaller = product.uninstallerX86;
  } else if (files.Exists(product.uninstaller)) {
    uninstaller = product.uninstaller;
  } else {
    return;
  }
  RunHiddenAndWait(uninstaller, "/S", limits.uninstallerMs);
  ParkedDownloaderToAssistantName(profile);
}

void RemoveWithWindowsInstaller(const LegacyStatusLine& status, const BankProfile& profile,
                                const LegacyRemovalLimits& limits) {
  status(kGenericRemovalText);

  platform::FileSystem& files = platform::Current().Files();
  if (files.Exists(kParkedDownloaderName)) (void)files.DeleteFile(kParkedDownloaderName);
  if (files.Exists(kKillProcessScript)) {
    (void)files.WriteFile(kKillProcessScript, std::string());
    std::this_thread::sleep_for(std::chrono::milliseconds(limits.scriptPauseMs));
  }
  const std::string ownName = OwnFileName();
  if (!ownName.empty() && files.Exists(ownName)) MoveWithRetry(ownName, kParkedDownloaderName);

  RunHiddenAndWait("msiexec.exe", "/X" + profile.legacyUninstallKey + " /quiet", limits.uninstallerMs);
  ParkedDownloaderToAssistantName(profile);
}

}  // namespace

// The earlier products. Row 1: the Halvex online-banking guard of the banks 166, 861, 866 and 867;
// row 2: the Lumen banking check tool of bank 831.
const LegacyProduct LegacyProductTable[kLegacyProductRows] = {
    {kHalvexBanks, sizeof kHalvexBanks / sizeof kHalvexBanks[0], "正在卸载旧版网银安全卫士", "HxGuard.exe",
     "C:\\Program Files (x86)\\Halvex\\HxGuard\\uninst.exe", "C:\\Program Files\\Halvex\\HxGuard\\uninst.exe"},
    {kLumenBanks, sizeof kLumenBanks / sizeof kLumenBanks[0], "正在卸载旧版网银检测工具", "LumenCheck.exe",
     "C:\\Program Files (x86)\\LumenCheck\\Uninstall.exe", "C:\\Program Files\\LumenCheck\\Uninstall.exe"},
};

const char kGenericRemovalText[] = "正在卸载旧版网银助手";

const LegacyProduct* FindLegacyProduct(std::uint32_t bankId) {
  for (const LegacyProduct& product : LegacyProductTable)
    for (std::size_t i = 0; i < product.bankIdCount; ++i)
      if (product.bankIds[i] == bankId) return &product;
  return nullptr;
}

platform::ProcessId FindProcessByName(const std::string& imageName) {
  std::vector<platform::ProcessEntry> processes;
  if (!platform::Current().Procs().Snapshot(&processes).ok()) return 0;
  for (const platform::ProcessEntry& process : processes)
    if (SameNameIgnoringCase(process.imageName, imageName)) return process.id;
  return 0;
}

bool RemoveLegacyAssistants(const LegacyStatusLine& status, const BankProfile& profile,
                            const LegacyRemovalLimits& limits) {
  if (profile.legacyUninstallKey.empty()) return true;
  const LegacyStatusLine show = status ? status : [](const std::string&) {};
  if (const LegacyProduct* product = FindLegacyProduct(profile.bankId)) {
    RemoveWithOwnUninstaller(*product, show, profile, limits);
  } else {
    RemoveWithWindowsInstaller(show, profile, limits);
  }
  return true;
}
