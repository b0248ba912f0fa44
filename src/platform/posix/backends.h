// Factories of the POSIX backend's process and kernel-object interfaces, bound to one prefix.
//
// Scope: the processes of a prefix are the Linux processes whose environment carries VODA_PREFIX naming
// that prefix; programs started through Processes get it (with the prefix's own root), so they and what
// they start belong to the prefix. Processes of other prefixes and of the host are never listed,
// terminated or waited for by id. Kernel objects live as files and Unix sockets in the prefix's run/
// folder; processes of another prefix never see them.
#pragma once

#include <memory>

#include "platform/kernel_objects.h"
#include "platform/process.h"

namespace platform::posix {

class Prefix;

// The prefix must outlive the returned objects.
std::unique_ptr<Processes> NewPosixProcesses(const Prefix& prefix);
std::unique_ptr<KernelObjects> NewPosixKernelObjects(const Prefix& prefix);

}  // namespace platform::posix
