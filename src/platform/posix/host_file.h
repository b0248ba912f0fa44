// Small host-file helpers of the POSIX backend. Results are errno values (0 for success); Translate()
// turns them into the platform's codes in one place.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "platform/error.h"

namespace platform::posix {

// The platform code for an errno value.
Error Translate(int err);

// A hidden temporary file beside a target, written piece by piece and then given the target's name:
// the target appears whole or not at all. Destroyed without a successful Commit, it removes the
// temporary file. Results are errno values.
class HostTempFile {
 public:
  HostTempFile() = default;
  ~HostTempFile();
  HostTempFile(const HostTempFile&) = delete;
  HostTempFile& operator=(const HostTempFile&) = delete;

  // Creates the temporary file beside `target` (its folder must exist).
  int Create(const std::string& target);
  int Append(const void* data, size_t size);
  // Appends the rest of the open descriptor `source`.
  int AppendFrom(int source);
  // Gives the temporary file `mode`, syncs it and renames it onto the target (with `noReplace`, only
  // when nothing exists there: EEXIST otherwise), then syncs the folder. Whatever the result, the
  // temporary file is gone afterwards and further calls fail with EBADF.
  int Commit(mode_t mode, bool noReplace);
  // Closes and removes the temporary file now.
  void Discard();

 private:
  std::string TempName() const;
  int NameUnnamed();

  std::string target_;
  std::string temp_;  // empty while the file has no name
  int fd_ = -1;
  uint64_t written_ = 0;  // bytes appended
  uint64_t flushed_ = 0;  // bytes handed to the disk so far
};

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

// Removes the temporary files in `folder` that writers left behind when they were killed mid-write:
// those no HostTempFile holds open any more (in this process or another). Best effort.
void RemoveStaleTemporaries(const std::string& folder);

// mkdir -p.
int MakeHostFolders(const std::string& path);

// The folder part of a host path ("/a/b" for "/a/b/c", "/" for "/c").
std::string HostParent(const std::string& path);

}  // namespace platform::posix
