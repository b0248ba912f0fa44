// The Downloader's global configuration: process-wide records read directly by every module.
//
// They exist before start-up runs (strings empty, numbers zero, lists empty, flags false) and live until
// the process ends. There is no lock: at any time one thread works with them, and every write finishes
// before the step that reads it starts. Writers:
//   g_bankProfile, g_server.baseUrl/alternateBaseUrls   LoadBankProfile (start-up)
//   g_server.baseUrl/pathPrefix/queryPath               LoadServerAddress (start-up, "serverip.dat")
//   g_install.installDir                                the dispatcher (registry value Path), the options dialog
//   g_install.latestVersion/downloadBaseUrl             the dispatcher, the version-query worker
//   g_install.updateMode                                the dispatcher
//   the option flags                                    start-up (defaults), the options dialog
//   g_dialogRect                                        whichever dialog is being moved
//   g_progressDlg                                       start-up (cleared), the progress dialog when it opens
// Texts are narrow strings in the system code page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The progress dialog; the download progress callback reports to the one published in g_progressDlg.
class CProgressDlg;

struct BankProfile {
  std::uint32_t bankId = 0;
  std::string allianceCode;        // "NOVRA"
  std::string downloaderTitle;     // display name + "voda下载器": every dialog's title
  std::string productName;         // display name + "voda"
  std::string productFolder;       // display name + "网上银行安全组件\" + display name + "voda"
  int iconId = 0;                  // icon resource of every dialog
  int queryDlgImageId = 0;         // PNG of the version-query dialog
  int installDlgImageId = 0;       // PNG of the install dialog
  int optionDlgImageId = 0;        // PNG of the options dialog
  int progressDlgImageId = 0;      // PNG of the progress dialog
  int progressDlgImage2Id = 0;     // second PNG of the progress dialog
  int updateDlgImageId = 0;        // PNG of the update dialog
  std::string legacyUninstallKey;  // Uninstall key of the bank's earlier product, or ""
  std::string mainExeName;         // "ZivIV_861.exe" in the default build
  std::string uninstallerName;     // "uninst_861.exe"
  std::string assistantExeName;    // "tellvane_861.exe"
};

// The parts every server request URL is built from: baseUrl + pathPrefix + request path + payload.
struct ServerEndpoint {
  std::string baseUrl;
  std::vector<std::string> alternateBaseUrls;
  std::string pathPrefix;
  std::string queryPath;
};

// Facts learned while the program runs.
struct InstallState {
  std::string installDir;       // no trailing backslash
  std::string latestVersion;    // four dot-separated numbers
  std::string downloadBaseUrl;  // manifests and component files are fetched below it
  std::int32_t updateMode = 0;  // the server's "update" answer
};

// A rectangle in screen coordinates.
struct ScreenRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
};

extern BankProfile g_bankProfile;
extern ServerEndpoint g_server;
extern InstallState g_install;

// First placeholder of the product registry key; empty, never changed.
extern std::string g_registryVendorSegment;

extern bool g_createDesktopShortcut;     // options check box 1016
extern bool g_createStartMenuShortcuts;  // options check box 1015
extern bool g_createQuickLaunchShortcut; // options check box 1014
extern bool g_addAutoStart;              // options check box 1031: the Run entry

// Window rectangle of the dialog that was moved last; the next dialogs open at its top-left corner.
extern ScreenRect g_dialogRect;

// The open progress dialog, or nullptr; not owned.
extern CProgressDlg* g_progressDlg;
