// libFuzzer target over the prefix's two text files, registry.reg and machine.ini: any input is
// refused with a message or read; what is read writes back as a text that reads to the same thing.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/posix/prefix.h"
#include "platform/posix/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;

  platform::posix::RegKeyNode root;
  if (platform::posix::ParseRegistryFile(text, &root, &error)) {
    std::string written = platform::posix::FormatRegistryFile(root);
    platform::posix::RegKeyNode again;
    if (!platform::posix::ParseRegistryFile(written, &again, &error)) std::abort();
    if (platform::posix::FormatRegistryFile(again) != written) std::abort();
  } else if (error.empty()) {
    std::abort();
  }

  platform::posix::Machine machine;
  error.clear();
  if (platform::posix::ParseMachineIni(text, "/prefix", &machine, &error)) {
    std::string written = platform::posix::FormatMachineIni(machine);
    platform::posix::Machine again;
    if (!platform::posix::ParseMachineIni(written, "/prefix", &again, &error)) std::abort();
    if (platform::posix::FormatMachineIni(again) != written) std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  return 0;
}
