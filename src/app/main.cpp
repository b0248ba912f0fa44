// The downloader program: opens the simulated machine named by VODA_PREFIX, installs its platform and
// runs the application's start-up with the program's dialogs bound. Every way the process ends uses exit
// code 0.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/dispatcher.h"
#include "app/downloader_app.h"
#include "crypto/library_lifetime.h"
#include "gui/machine.h"
#include "platform/platform.h"
#include "platform/posix/image_lock.h"
#include "platform/posix/posix_platform.h"
#include "ui/get_internet_dlg.h"
#include "ui/progress_dlg.h"
#include "ui/update_dlg.h"

namespace {

// The dialogs the dispatcher and the options and update dialogs open.
class ProgramDialogs final : public UpdateDialogs {
 public:
  void RunProgressDialog(RunMode mode) override {
    CProgressDlg dialog(mode);
    (void)dialog.DoModal();
  }
  void RunUpdateDialog(CDownloaderApp&) override {
    CUpdateDlg dialog;
    (void)dialog.DoModal();
  }
};

// The first installation: the version-query dialog.
class ProgramFirstInstallation final : public FirstInstallDialogs {
 public:
  void RunVersionQueryDialog(CDownloaderApp&) override {
    // After a successful query it hands over to the install dialog on the query worker's thread.
    CGetInternetDlg dialog;
    (void)dialog.DoModal();
  }
};

}  // namespace

int main(int argc, char** argv) {
  KeepCryptoLibrariesForProcessLifetime();
  std::string error;
  std::unique_ptr<platform::posix::PosixPlatform> machine = platform::posix::CreatePosixPlatform(&error);
  if (!machine) {
    std::fprintf(stderr, "downloader: %s\n", error.c_str());
    return 0;
  }
  platform::Install(machine.get());
  // Broadcasts of this machine ("-t" from a second instance) reach our dialogs.
  gui::ConnectToMachine(*machine);

  // A running program's image cannot be overwritten or deleted, as on Windows.
  (void)platform::posix::HoldOwnImageLock();

  static ProgramDialogs dialogs;
  static ProgramFirstInstallation firstInstallation;
  BindProgramDialogs(&dialogs, &firstInstallation);

  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  CDownloaderApp app(CommandLineFromArguments(arguments));
  (void)app.InitInstance();
  return 0;
}
