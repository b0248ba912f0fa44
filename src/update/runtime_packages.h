// The Visual C++ 2008 runtime the assistant's programs need: whether the machine lacks the x86 or the x64
// runtime package, and the download and silent start of the missing ones.
//
// Runs on the installation worker between the manifest downloads and the component files. Nothing here
// stops a run: a package that cannot be downloaded is reported in the progress dialog and the run goes on.
// A started package installer is not waited for; it may still be working when the Downloader ends.
#pragma once

#include <string>

class UpdateEngine;

// The two packages, in the order they are processed.
enum RuntimePackageKind : int {
  kRuntimeX86 = 0,
  kRuntimeX64 = 1,
};

// One package: its file name in the temporary folder, its download URL and the registry key (below
// HKEY_LOCAL_MACHINE) whose "Version" value tells that it is installed.
struct RuntimePackage {
  const char* fileName;      // "vcredist_x86.exe"
  std::string url;           // plain http, ending in the file name
  const char* detectionKey;  // the package's entry in the list of installed programs
};

// Where the packages come from. The defaults are the build's configured URLs (the vendor's published
// locations unless the build set VODA_VCREDIST_X86_URL / VODA_VCREDIST_X64_URL); a caller may point
// them elsewhere for one call, as the tests do with a local server.
struct RuntimePackageUrls {
  std::string x86;
  std::string x64;
};
RuntimePackageUrls ConfiguredRuntimePackageUrls();

// The package of a kind with the given URLs.
RuntimePackage RuntimePackageOf(RuntimePackageKind kind, const RuntimePackageUrls& urls = ConfiguredRuntimePackageUrls());

// The Windows version class (GetVersionExA, the native processor architecture).
// Returns 0 for a system that is not Windows NT or has major version 4 or lower, else 1 (also when the
// version cannot be read). osKind is 1 for version 6.1 and 6.2, else 0. isX86 is set only for major
// version 6 on an x86 (1) or x64 (0) machine and left as it was otherwise.
int QueryOsKind(int& osKind, int& isX86);

// Whether each package is to be installed (0 or 1 each), counted into the run's overall total by the
// worker. A non-NT system needs both; 6.1 and 6.2 need none whatever the registry holds; otherwise a
// package is needed unless its detection key opens and its "Version" value can be read. An x86 machine
// never needs the x64 package; a machine whose version leaves the architecture open is judged by its
// native architecture (only an x64 machine considers the x64 package). The x64 package registers itself
// in the 64-bit view of the registry, so its key is looked for in the 32-bit view and then in the
// 64-bit one. Returns 0 for a non-NT system, else 1 (the worker does not use it).
int DetectVcRuntime(UpdateEngine& engine, int& needX86, int& needX64);

// Downloads each package whose flag is set (x86 first) into the temporary folder through the engine's
// dialog and download limits, advances the overall progress by one for each downloaded package, and
// starts it with "/q" (shown, not waited for). A failed download shows "下载<file> 失败" and sets the
// cancel button's caption to "下载VS库失败"; the next package is still processed. Always true.
bool InstallVcRuntime(UpdateEngine& engine, int needX86, int needX64,
                      const RuntimePackageUrls& urls = ConfiguredRuntimePackageUrls());
