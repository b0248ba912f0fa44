#include "platform/platform.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {
std::atomic<Platform*> g_platform{nullptr};
}  // namespace

Platform& Current() {
  Platform* p = g_platform.load(std::memory_order_acquire);
  if (p == nullptr) {
    std::fputs("platform::Current() called before platform::Install()\n", stderr);
    std::abort();
  }
  return *p;
}

void Install(Platform* platform) { g_platform.store(platform, std::memory_order_release); }

}  // namespace platform
