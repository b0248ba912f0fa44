// The downloader program: opens the simulated machine named by VODA_PREFIX, installs its platform and
// runs the application's start-up. Every way the process ends uses exit code 0.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/downloader_app.h"
#include "platform/platform.h"
#include "platform/posix/image_lock.h"
#include "platform/posix/posix_platform.h"

int main(int argc, char** argv) {
  std::string error;
  std::unique_ptr<platform::posix::PosixPlatform> machine = platform::posix::CreatePosixPlatform(&error);
  if (!machine) {
    std::fprintf(stderr, "downloader: %s\n", error.c_str());
    return 0;
  }
  platform::Install(machine.get());

  // A running program's image cannot be overwritten or deleted, as on Windows.
  (void)platform::posix::HoldOwnImageLock();

  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  CDownloaderApp app(CommandLineFromArguments(arguments));
  (void)app.InitInstance();
  return 0;
}
