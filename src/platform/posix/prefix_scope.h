// What the process and kernel-object backends need to know of their prefix: where it is, where its
// named objects live, and how a Windows path maps onto the host.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/kernel_objects.h"
#include "platform/process.h"

namespace platform::posix {

struct PrefixScope {
  std::string root;    // host folder of the prefix, absolute; the VODA_PREFIX value of its processes
  std::string runDir;  // host folder of the named kernel objects (root + "/run")
  // Maps a Windows path (absolute, with a drive letter) to its host path; false when it has none.
  std::function<bool(const std::string& windowsPath, std::string* hostPath)> toHost;
};

std::unique_ptr<Processes> NewScopedProcesses(PrefixScope scope);
std::unique_ptr<KernelObjects> NewScopedKernelObjects(PrefixScope scope);

// True when the process's environment names this prefix root in VODA_PREFIX.
bool ProcessBelongsToPrefix(int pid, const std::string& root);

}  // namespace platform::posix
