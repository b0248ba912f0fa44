// Files, folders and paths as the Downloader sees them: Windows paths ("C:\\Program Files (x86)\\...")
// with the meaning of the kernel32/shlwapi calls each operation stands for.
//
// Paths: "\" is the separator and "/" is accepted in its place. A path without a drive letter is
// relative to the current directory ("serverip.dat"); one that starts with a single "\" names a folder
// below the root of the current directory's drive. "." and ".." components are resolved as Windows
// resolves them (never above a drive's root). Names are compared ignoring case as on Windows.
// A CD-ROM drive is read-only: every operation that would change it gives kAccessDenied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform {

// GetDriveTypeA's answers.
enum class DriveType : uint32_t {
  kUnknown = 0,
  kNoRootDir = 1,  // no drive of that letter
  kRemovable = 2,
  kFixed = 3,
  kRemote = 4,
  kCdRom = 5,
  kRamDisk = 6,
};

// One entry of a folder listing (WIN32_FIND_DATAA reduced to what the Downloader uses).
struct DirEntry {
  std::string name;  // the file name without folder
  bool isFolder = false;
};

// A file open for reading from its start (CreateFileA with GENERIC_READ, then ReadFile calls).
class FileReader {
 public:
  virtual ~FileReader() = default;

  // Reads up to `capacity` bytes into `buffer`; fewer only at the end of the file, where *got is 0.
  virtual Status Read(void* buffer, size_t capacity, size_t* got) = 0;
};

// A new content for a file, written in pieces beside it and put in place at once: the file keeps its
// old content (or stays absent) until Commit, and a staged file destroyed without a successful Commit
// leaves no trace. Hidden from folder listings while it is written.
class StagedFile {
 public:
  virtual ~StagedFile() = default;

  // Adds bytes at the end. When it fails, the staged file is discarded and takes no more calls.
  virtual Status Append(const void* data, size_t size) = 0;

  // Puts the content written so far on disk and in place of the file, with the rules of
  // FileSystem::WriteFile (kAccessDenied for a folder, a read-only file or the image of a running
  // program there now). Once called, whatever its result, the staged file takes no more calls
  // (kInvalid) and leaves nothing behind but the file it may have committed.
  virtual Status Commit() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // PathFileExistsA: true when a file or folder exists at the path.
  virtual bool Exists(const std::string& path) = 0;

  // PathIsDirectoryA: true when the path names an existing folder.
  virtual bool IsFolder(const std::string& path) = 0;

  // CreateDirectoryA, one level: kAlreadyExists when anything exists at the path, kNotFound when the
  // parent folder is missing, kInvalid for a name Windows refuses, kAccessDenied when not allowed.
  virtual Status CreateFolder(const std::string& path) = 0;

  // CopyFileA. With failIfExists an existing destination gives kAlreadyExists; otherwise it is
  // overwritten. kNotFound: no source file or no destination folder. kAccessDenied: the source or the
  // destination is a folder, or the destination is the image of a running program. The destination
  // appears whole or not at all; the copy keeps the source's attributes (the host mode bits).
  virtual Status CopyFile(const std::string& from, const std::string& to, bool failIfExists) = 0;

  // MoveFileA: renames a file or folder, also onto another drive for files. kAlreadyExists when the
  // destination exists, kNotFound when the source or the destination folder is missing. A running
  // program's image can be moved.
  virtual Status MoveFile(const std::string& from, const std::string& to) = 0;

  // DeleteFileA: kNotFound when missing, kAccessDenied for a folder or a running program's image.
  virtual Status DeleteFile(const std::string& path) = 0;

  // RemoveDirectoryA: removes an empty folder. kNotFound when missing, kAccessDenied when not empty,
  // kInvalid when the path is not a folder.
  virtual Status RemoveFolder(const std::string& path) = 0;

  // FindFirstFileA/FindNextFileA over a pattern such as "C:\\X\\*.*": the folder part names the folder,
  // the last component is a pattern with "*" and "?" ("*.*" and "*" match every name). The entries come
  // in the order the file system lists them; "." and ".." are never listed. kOk with an empty list when
  // the folder exists and nothing matches; kNotFound when the folder does not exist.
  virtual Status FindFiles(const std::string& pattern, std::vector<DirEntry>* entries) = 0;

  // Reads the whole file. kNotFound when missing, kAccessDenied for a folder.
  virtual Status ReadFile(const std::string& path, std::string* data) = 0;

  // Writes the whole file at once: the old content stays until the new content is complete and on disk.
  // The folder must exist (else kNotFound). kAccessDenied when the path is a folder or the image of a
  // running program. A new file named "*.exe" can be started as a program.
  virtual Status WriteFile(const std::string& path, const std::string& data) = 0;

  // Starts a new content for the file at `path` (WriteFile in pieces): *file receives the staged file.
  // The folder must exist (else kNotFound); kAccessDenied when the path is a folder or on a read-only
  // drive. A running program's image is refused only at Commit, as WriteFile refuses it. What a writer
  // killed mid-write left beside the file is removed here.
  virtual Status CreateStagedFile(const std::string& path, std::unique_ptr<StagedFile>* file) = 0;

  // Opens the file for reading in blocks. kNotFound when missing, kAccessDenied for a folder or a
  // file that may not be read.
  virtual Status OpenForRead(const std::string& path, std::unique_ptr<FileReader>* reader) = 0;

  // GetFileAttributesExA's size; kNotFound when missing, kAccessDenied for a folder.
  virtual Status FileSize(const std::string& path, uint64_t* size) = 0;

  // GetDriveTypeA for a drive root: "C:\\" (or "C:"). Anything else (the empty text, an unknown
  // letter, a folder below a root) gives kNoRootDir.
  virtual DriveType GetDriveType(const std::string& root) = 0;

  // GetTempPathA: the temporary folder, ending with "\".
  virtual std::string TempPath() = 0;

  // GetCurrentDirectoryA: the process's current directory as a Windows path (no trailing "\" except
  // for a drive root).
  virtual std::string CurrentDirectory() = 0;

  // SetCurrentDirectoryA. kNotFound when the folder does not exist.
  virtual Status SetCurrentDirectory(const std::string& path) = 0;

  // GetModuleFileNameA(NULL): the running program's own file as a Windows path, as it was named when
  // the platform was created (a rename while the program runs does not change it, as on Windows).
  virtual std::string ModulePath() = 0;
};

}  // namespace platform
