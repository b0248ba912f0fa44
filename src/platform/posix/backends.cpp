#include "platform/posix/backends.h"

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/posix/prefix.h"
#include "platform/posix/prefix_scope.h"

namespace platform::posix {
namespace {

PrefixScope ScopeOf(const Prefix& prefix) {
  PrefixScope scope;
  char resolved[PATH_MAX];
  scope.root = ::realpath(prefix.Root().c_str(), resolved) != nullptr ? std::string(resolved) : prefix.Root();
  scope.runDir = scope.root + "/run";
  scope.toHost = [&prefix](const std::string& windowsPath, std::string* hostPath) {
    return prefix.ToHost(windowsPath, hostPath).ok();
  };
  return scope;
}

}  // namespace

std::unique_ptr<Processes> NewPosixProcesses(const Prefix& prefix) { return NewScopedProcesses(ScopeOf(prefix)); }

std::unique_ptr<KernelObjects> NewPosixKernelObjects(const Prefix& prefix) {
  return NewScopedKernelObjects(ScopeOf(prefix));
}

}  // namespace platform::posix
