// The POSIX backend: the platform of a prefix.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/posix/prefix.h"

namespace platform::posix {

class PosixPlatform : public Platform {
 public:
  // The prefix this platform simulates.
  virtual const Prefix& GetPrefix() const = 0;
};

// Opens the prefix at `prefixRoot` (created with a default machine when missing) and returns its
// platform, or null and a message for standard error (malformed machine.ini or registry.reg, a prefix
// that cannot be created). Nothing in the prefix is changed on failure.
std::unique_ptr<PosixPlatform> CreatePosixPlatform(const std::string& prefixRoot, std::string* error);

// The same for Prefix::DefaultRoot().
std::unique_ptr<PosixPlatform> CreatePosixPlatform(std::string* error);

}  // namespace platform::posix
