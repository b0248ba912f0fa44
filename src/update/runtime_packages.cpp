#include "update/runtime_packages.h"

#include <memory>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/system_info.h"
#include "update/bind_callback.h"
#include "update/download.h"
#include "update/update_engine.h"

#ifndef VODA_VCREDIST_X86_URL
#error "VODA_VCREDIST_X86_URL comes from the build configuration"
#endif
#ifndef VODA_VCREDIST_X64_URL
#error "VODA_VCREDIST_X64_URL comes from the build configuration"
#endif

namespace {

constexpr const char kRuntimeFailedCaption[] = "下载VS库失败";
constexpr const char kVersionValue[] = "Version";

struct PackageRow {
  const char* fileName;
  const char* detectionKey;
};

const PackageRow kPackages[] = {
    {"vcredist_x86.exe",
     "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{A09D5493-0D9F-3211-B3BF-DD7ABBB318C1}"},
    {"vcredist_x64.exe",
     "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{02A39130-2CF3-30CA-8623-30F6071A4221}"},
};

// True when the key opens for reading in the given view and its Version value can be read.
bool VersionReadable(const char* key, std::uint32_t viewFlag) {
  std::unique_ptr<platform::RegistryKey> opened;
  if (!platform::Current().Reg().OpenKey(key, platform::kKeyRead | viewFlag, &opened).ok()) return false;
  std::uint32_t size = 0;
  if (!opened->QueryValue(kVersionValue, nullptr, nullptr, &size).ok()) return false;
  std::string data(size, '\0');
  return opened->QueryValue(kVersionValue, nullptr, size > 0 ? &data[0] : nullptr, &size).ok();
}

void InstallPackage(UpdateEngine& engine, const RuntimePackage& package) {
  RunProgressView& view = *engine.m_pDialog;
  const std::string name = package.fileName;
  view.SetStatusText("正在下载 " + name);

  platform::FileSystem& files = platform::Current().Files();
  const std::string target = files.TempPath() + name;
  CBindCallback callback(engine.m_pDialog);
  if (!DownloadFile(package.url, target, &callback, engine.m_limits)) {
    view.SetStatusText("下载" + name + " 失败");
    view.SetCancelCaption(kRuntimeFailedCaption);
    return;
  }
  engine.AdvanceOverall();
  if (!files.Exists(target)) return;
  view.SetStatusText("正在安装 " + name);
  platform::StartRequest request;
  request.file = target;
  request.parameters = "/q";
  request.show = platform::ShowMode::kShow;
  // Whether the installer started is not followed up: the run goes on either way.
  (void)platform::Current().Procs().Start(request);
}

}  // namespace

RuntimePackageUrls ConfiguredRuntimePackageUrls() { return {VODA_VCREDIST_X86_URL, VODA_VCREDIST_X64_URL}; }

RuntimePackage RuntimePackageOf(RuntimePackageKind kind, const RuntimePackageUrls& urls) {
  const PackageRow& row = kPackages[kind == kRuntimeX64 ? 1 : 0];
  return {row.fileName, kind == kRuntimeX64 ? urls.x64 : urls.x86, row.detectionKey};
}

int QueryOsKind(int& osKind, int& isX86) {
  osKind = 0;
  platform::SystemInfo& system = platform::Current().System();
  platform::OsVersion version;
  if (!system.GetVersion(&version)) return 1;
  const std::uint16_t architecture = system.NativeArchitecture();
  if (version.platformId != 2 || version.major <= 4) return 0;
  if (version.major != 6) return 1;
  if (version.minor == 1 || version.minor == 2) osKind = 1;
  if (architecture == platform::kArchitectureX64) isX86 = 0;
  if (architecture == platform::kArchitectureX86) isX86 = 1;
  return 1;
}

int DetectVcRuntime(UpdateEngine&, int& needX86, int& needX64) {
  int osKind = 0;
  int isX86 = -1;  // undetermined until the version class or the architecture settles it
  if (QueryOsKind(osKind, isX86) == 0) {
    needX86 = 1;
    needX64 = 1;
    return 0;
  }
  if (osKind == 1) {
    needX86 = 0;
    needX64 = 0;
    return 1;
  }
  if (isX86 == -1)
    isX86 = platform::Current().System().NativeArchitecture() == platform::kArchitectureX64 ? 0 : 1;

  needX86 = VersionReadable(kPackages[kRuntimeX86].detectionKey, 0) ? 0 : 1;
  if (isX86 == 1) {
    needX64 = 0;
  } else {
    const char* key = kPackages[kRuntimeX64].detectionKey;
    needX64 = VersionReadable(key, 0) || VersionReadable(key, platform::kKeyWow64_64Key) ? 0 : 1;
  }
  return 1;
}

bool InstallVcRuntime(UpdateEngine& engine, int needX86, int needX64, const RuntimePackageUrls& urls) {
  if (needX86) InstallPackage(engine, RuntimePackageOf(kRuntimeX86, urls));
  if (needX64) InstallPackage(engine, RuntimePackageOf(kRuntimeX64, urls));
  return true;
}
