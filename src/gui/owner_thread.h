// Work carried out on a window's owner thread.
#pragma once

#include <functional>

#include "gui/types.h"

namespace gui {

// Runs `task` on the thread that owns `window`, as one sent message: the caller waits, without limit,
// until the owner thread has run it, and meanwhile handles messages sent to its own windows (as
// SendMessage does). On the owner thread itself the task runs at once. Several control changes made in
// one task cost one cross-thread round trip instead of one each; inside the task the calls to the
// window's controls are the owner thread's own. False, without running the task, when the window is
// gone or its thread has ended; also false when the window is destroyed before its thread took the task.
bool SendTask(HWND window, const std::function<void()>& task);

}  // namespace gui
