// The window system's link to the machine it runs on: the screen size and the machine-wide broadcast of
// registered window messages.
#pragma once

#include "gui/types.h"

namespace platform {
class KernelObjects;
class Platform;
}

namespace gui {

// Called once at start-up, after the platform is installed. From then on PostMessage(HWND_BROADCAST, ...)
// reaches every listening process of the machine, and this process listens as soon as it shows its first
// dialog: each broadcast it receives is posted to every top-level dialog of the process. Until this is
// called, broadcasts stay inside the process. Connecting to another machine (or to nullptr) stops
// listening to the previous one.
void ConnectToMachine(platform::KernelObjects* objects, int screenWidth, int screenHeight);

// The same for the installed machine: its kernel objects and the screen size of its system information.
void ConnectToMachine(platform::Platform& machine);

// PostMessage(HWND_BROADCAST, ...).
bool PostMachineBroadcast(UINT message, WPARAM wParam, LPARAM lParam);

// Starts listening for machine-wide broadcasts, if connected and not yet listening (the framework calls
// it when a dialog is created).
void ListenForMachineBroadcasts();

}  // namespace gui
