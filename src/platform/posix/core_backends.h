// Factories of the POSIX backend's file, registry, system and shell interfaces, bound to one prefix,
// which must outlive them.
#pragma once

#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/system_info.h"

namespace platform::posix {

class Prefix;

std::unique_ptr<FileSystem> NewPosixFileSystem(const Prefix& prefix);

// Reads the prefix's registry.reg; null and a message when it is malformed or unreadable.
std::unique_ptr<Registry> NewPosixRegistry(const Prefix& prefix, std::string* error);

std::unique_ptr<SystemInfo> NewPosixSystemInfo(const Prefix& prefix);
std::unique_ptr<Shell> NewPosixShell(const Prefix& prefix);

}  // namespace platform::posix
