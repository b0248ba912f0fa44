// Small host-file helpers of the POSIX backend. Results are errno values (0 for success); Translate()
// turns them into the platform's codes in one place.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/error.h"

namespace platform::posix {

// The platform code for an errno value.
Error Translate(int err);

// Replaces (or creates) the file with `data` durably: a temporary file in the same folder, written,
// fsynced and renamed over the target, then the folder fsynced. A crash leaves the old or the new file.
int WriteHostFileAtomic(const std::string& path, const std::string& data, mode_t mode);

// Creates the file with `data` only when nothing exists at the path (EEXIST otherwise); the file
// appears complete or not at all.
int CreateHostFileExclusive(const std::string& path, const std::string& data, mode_t mode);

// Copies `from` onto `to` as WriteHostFileAtomic writes: the destination appears whole or not at all.
// With `noReplace` an existing destination gives EEXIST.
int CopyHostFileAtomic(const std::string& from, const std::string& to, mode_t mode, bool noReplace);

int ReadHostFile(const std::string& path, std::string* data);

// True for the name of a temporary file of the writes above (left behind only by a process killed
// mid-write); listings skip them.
bool IsTemporaryName(const std::string& name);

// mkdir -p.
int MakeHostFolders(const std::string& path);

// The folder part of a host path ("/a/b" for "/a/b/c", "/" for "/c").
std::string HostParent(const std::string& path);

}  // namespace platform::posix
