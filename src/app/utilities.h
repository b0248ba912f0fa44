// Small operating-system helpers of the shell, the update engine and the dialogs. They keep no state,
// show no message and report failure by their result only; any thread may call them.
#pragma once

#include <string>
#include <vector>

#include "platform/process.h"

// Splits text at any of the delimiter characters and appends the pieces to the list in order. A run of
// delimiters counts as one, a leading delimiter yields an empty first piece, trailing delimiters yield no
// empty last piece ("C:\A\\B\" gives "C:", "A", "B").
void SplitPath(const std::string& text, const std::string& delimiters, std::vector<std::string>& pieces);

// Creates every missing folder of an absolute Windows path, from the top down; the drive itself is never
// created. True when the folder exists afterwards; false at the first folder that could not be created
// (the folders created so far stay).
bool CreateFolderTree(const std::string& path);

// Enables "SeTakeOwnershipPrivilege" in the token of the calling process (the only process whose token
// the Downloader adjusts). True when the adjustment call succeeded, even if the token lacks the privilege.
bool EnableTakeOwnershipPrivilege();

// The id of the first running "iexplore.exe" the process snapshot lists.
bool FindBrowserProcess(platform::ProcessId& processId);

// Terminates a browser process (exit code -9); 0 stands for the first running "iexplore.exe".
// Always true: a missing process or a failed termination ends quietly.
bool TerminateBrowser(platform::ProcessId processId);

// Terminates the first running process with that image name, compared ignoring case (exit code -9).
// Always true.
bool TerminateProcessByName(const std::string& imageName);
