// The system's own dialogs: the message box and the folder browser. Both run a modal loop on the calling
// thread while they wait for the user, so messages sent to that thread's dialogs (a worker reporting
// progress) are still handled.
#pragma once

#include <optional>
#include <string>

#include "gui/types.h"

namespace gui {

// MessageBoxA: text, caption, buttons (MB_OK, MB_OKCANCEL, MB_YESNO) and icon; owner may be nullptr.
// Returns the button pressed: IDOK, IDCANCEL, IDYES or IDNO. Escape and the close box answer IDCANCEL
// where there is a Cancel button, IDOK for a box with only OK, and nothing for Yes/No.
int MessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type);

// The buttons' texts, as the system shows them.
const char* MessageBoxButtonText(int id);

// SHBrowseForFolder with SHGetPathFromIDList: the file-system path of the folder the user chose ("D:\Soft",
// a drive as "D:\"), an empty text for a choice that has no file-system path, or nothing when the user
// cancelled. `title` is the text shown above the tree.
std::optional<std::string> BrowseForFolder(HWND owner, const std::string& title, UINT flags);

// Control ids inside the system dialogs (for backends and the scripted user).
constexpr int kMessageBoxTextId = 0xFFFF;
constexpr int kFolderBrowserTitleId = 0x3742;
constexpr int kFolderBrowserEditId = 0x3744;

}  // namespace gui
