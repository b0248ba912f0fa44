#include "platform/posix/posix_platform.h"

#include "platform/kernel_objects.h"
#include "platform/posix/backends.h"
#include "platform/posix/core_backends.h"
#include "platform/process.h"

namespace platform::posix {
namespace {

class PosixPlatformImpl final : public PosixPlatform {
 public:
  explicit PosixPlatformImpl(std::unique_ptr<Prefix> prefix) : prefix_(std::move(prefix)) {}

  bool Init(std::string* error) {
    registry_ = NewPosixRegistry(*prefix_, error);
    if (!registry_) return false;
    files_ = NewPosixFileSystem(*prefix_);
    system_ = NewPosixSystemInfo(*prefix_);
    shell_ = NewPosixShell(*prefix_);
    processes_ = NewPosixProcesses(*prefix_);
    objects_ = NewPosixKernelObjects(*prefix_);
    if (!processes_ || !objects_) {
      *error = "cannot set up the processes of the prefix " + prefix_->Root();
      return false;
    }
    return true;
  }

  FileSystem& Files() override { return *files_; }
  Registry& Reg() override { return *registry_; }
  Processes& Procs() override { return *processes_; }
  KernelObjects& Objects() override { return *objects_; }
  SystemInfo& System() override { return *system_; }
  Shell& ShellFolders() override { return *shell_; }
  const Prefix& GetPrefix() const override { return *prefix_; }

 private:
  // Declared first: the interfaces below refer to it and are destroyed before it.
  std::unique_ptr<Prefix> prefix_;
  std::unique_ptr<FileSystem> files_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<SystemInfo> system_;
  std::unique_ptr<Shell> shell_;
  std::unique_ptr<Processes> processes_;
  std::unique_ptr<KernelObjects> objects_;
};

}  // namespace

std::unique_ptr<PosixPlatform> CreatePosixPlatform(const std::string& prefixRoot, std::string* error) {
  std::unique_ptr<Prefix> prefix;
  if (!Prefix::Open(prefixRoot, &prefix, error)) return nullptr;
  auto platform = std::make_unique<PosixPlatformImpl>(std::move(prefix));
  if (!platform->Init(error)) return nullptr;
  return platform;
}

std::unique_ptr<PosixPlatform> CreatePosixPlatform(std::string* error) {
  return CreatePosixPlatform(Prefix::DefaultRoot(), error);
}

}  // namespace platform::posix
