// A running program holds a shared advisory lock (flock) on its own image file, as Windows keeps an
// image open while it runs: copying over or deleting a held file fails, renaming it succeeds.
#pragma once

#include <string>

namespace platform::posix {

// Takes the shared lock on the given host file for the rest of the process (the descriptor is kept
// open across exec, so a program started by exec keeps it). Returns false when the file cannot be opened.
bool HoldImageLock(const std::string& hostPath);

// Takes the lock on the calling process's own image (/proc/self/exe).
bool HoldOwnImageLock();

// True when some running program holds its image lock on this host file.
bool IsImageLocked(const std::string& hostPath);

}  // namespace platform::posix
