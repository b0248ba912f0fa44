// Putting the files of an update or repair run in place: the staging tree copied over the installation
// folder, the running assistant program moved aside first, and the staging tree emptied afterwards.
#pragma once

#include <string>

class RunProgressView;

// The backup name of the moved-aside assistant program, inside the installation folder.
constexpr const char kAssistantBackupName[] = "tellvane_old.exe";

// The message shown when an installed file cannot be overwritten (caption: the product name).
constexpr const char kFileInUseText[] = "更新失败，助手文件被占用，请关闭占用重新更新!";

// Moves the installed assistant program (g_bankProfile.assistantExeName) aside: a previous backup is
// deleted, then the program is renamed to the backup name. Failures are ignored; a following write of
// the program then fails.
void RenameRunningAssistant(const std::string& installDir);

// Copies one level of the staging tree, `folder` (the staging folder `stagingDir` or a folder below
// it), over the installation folder `installDir` and recurses into its subfolders (names beginning
// with "." are not entered). A file named like the assistant program is preceded by
// RenameRunningAssistant. A missing destination folder below the installation folder is created. A file
// that cannot be copied is reported through view->ReportFileInUse (which ends the process; a null view
// reports as the default view does) and the copy stops with false. False as well when a folder of the
// tree cannot be listed; true when everything was copied.
bool CopyDownloadedTree(const std::string& folder, const std::string& stagingDir, const std::string& installDir,
                        RunProgressView* view);

// Deletes every file of the tree below `folder` (failed deletes are ignored); the folders stay. False
// when `folder` itself cannot be listed.
bool DeleteFilesInTree(const std::string& folder);
