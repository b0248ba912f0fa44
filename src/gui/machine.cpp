#include "gui/machine.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "gui/window.h"
#include "platform/kernel_objects.h"
#include "platform/platform.h"
#include "platform/system_info.h"

namespace gui {
namespace {

struct MachineLink {
  std::mutex mu;
  platform::KernelObjects* objects = nullptr;
  std::unique_ptr<platform::BroadcastListener> listener;
  bool failed = false;
};

MachineLink& Link() {
  static MachineLink* link = new MachineLink;  // lives until the process ends
  return *link;
}

}  // namespace

void ConnectToMachine(platform::KernelObjects* objects, int screenWidth, int screenHeight) {
  SetScreenSize(screenWidth, screenHeight);
  std::unique_ptr<platform::BroadcastListener> old;
  {
    std::lock_guard<std::mutex> lock(Link().mu);
    if (Link().objects != objects) {
      old = std::move(Link().listener);
      Link().failed = false;
    }
    Link().objects = objects;
  }
  // The old machine's listener stops outside the lock: its callback may be delivering right now.
  old.reset();
}

void ConnectToMachine(platform::Platform& machine) {
  ConnectToMachine(&machine.Objects(), machine.System().ScreenWidth(), machine.System().ScreenHeight());
}

bool PostMachineBroadcast(UINT message, WPARAM wParam, LPARAM lParam) {
  platform::KernelObjects* objects = nullptr;
  {
    std::lock_guard<std::mutex> lock(Link().mu);
    objects = Link().objects;
  }
  if (objects == nullptr) {
    DeliverBroadcast(message, wParam, lParam);
    return true;
  }
  return objects->PostBroadcast(message, wParam, lParam).ok();
}

void ListenForMachineBroadcasts() {
  MachineLink& link = Link();
  std::lock_guard<std::mutex> lock(link.mu);
  if (link.objects == nullptr || link.listener || link.failed) return;
  link.listener = link.objects->ListenForBroadcasts(
      [](uint32_t message, uintptr_t wParam, intptr_t lParam) { DeliverBroadcast(message, wParam, lParam); });
  if (!link.listener) {
    link.failed = true;
    std::fputs("[ui] cannot receive broadcast messages of this machine\n", stderr);
  }
}

}  // namespace gui
