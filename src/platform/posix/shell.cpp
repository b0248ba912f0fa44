// Shell: special folders from the prefix's machine.ini.
#include "platform/posix/core_backends.h"
#include "platform/posix/prefix.h"

namespace platform::posix {
namespace {

class PosixShell final : public Shell {
 public:
  explicit PosixShell(const Prefix& prefix) : machine_(prefix.GetMachine()) {}

  Status GetSpecialFolderPath(int csidl, std::string* path) override {
    const std::string* folder = nullptr;
    switch (csidl) {
      case kCsidlCommonPrograms: folder = &machine_.commonPrograms; break;
      case kCsidlCommonDesktopDirectory: folder = &machine_.commonDesktop; break;
      case kCsidlAppData: folder = &machine_.appData; break;
      case kCsidlProgramFiles: folder = &machine_.programFiles; break;
      default: return Error::kNotFound;
    }
    if (folder->empty()) return Error::kNotFound;
    *path = *folder;
    return Error::kOk;
  }

  // No shell on the host keeps views of the prefix's folders: nobody to tell.
  void NotifyChange(ShellChange, const std::string&) override {}

 private:
  const Machine& machine_;
};

}  // namespace

std::unique_ptr<Shell> NewPosixShell(const Prefix& prefix) { return std::make_unique<PosixShell>(prefix); }

}  // namespace platform::posix
