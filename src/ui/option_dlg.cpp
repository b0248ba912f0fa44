#include "ui/option_dlg.h"

#include <vector>

#include "app/dispatcher.h"
#include "app/globals.h"
#include "app/utilities.h"
#include "gui/message_box.h"
#include "platform/platform.h"
#include "platform/shell.h"
#include "ui/install_dlg.h"

using gui::BST_CHECKED;
using gui::BST_UNCHECKED;

bool InstallDriveAccepted(platform::DriveType type) {
  using platform::DriveType;
  return type != DriveType::kNoRootDir && type != DriveType::kRemovable && type != DriveType::kCdRom;
}

std::string CollapseDoubledBackslashes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') ++i;
  }
  return out;
}

void COptionDlg::DoDataExchange(gui::CDataExchange* dx) {
  CSkinnedDialog::DoDataExchange(dx);
  DDX_Control(dx, kOptionQuickLaunchId, m_chkQuickLaunch);
  DDX_Control(dx, kOptionStartMenuId, m_chkStartMenu);
  DDX_Control(dx, kOptionDesktopId, m_chkDesktop);
  DDX_Control(dx, kOptionAutoStartId, m_chkAutoStart);
}

bool COptionDlg::OnInitDialog() {
  CSkinnedDialog::OnInitDialog();
  AddSystemMenuItem();
  SetProgramIcon(true);
  SetProgramTitle();

  GetDlgItem(kOptionShortcutLabelId)->SetWindowText("创建" + g_bankProfile.productName + "的快捷方式在：");
  m_chkQuickLaunch.ShowWindow(gui::SW_HIDE);
  m_chkAutoStart.ShowWindow(gui::SW_HIDE);

  // Start at logon is always chosen for a first installation. Each box shows its flag, so a box the
  // user cleared in an earlier options dialog of this run reads cleared again (on first opening all
  // four flags are set and every box is ticked).
  g_addAutoStart = true;
  m_chkStartMenu.SetCheck(g_createStartMenuShortcuts ? BST_CHECKED : BST_UNCHECKED);
  m_chkDesktop.SetCheck(g_createDesktopShortcut ? BST_CHECKED : BST_UNCHECKED);
  m_chkAutoStart.SetCheck(g_addAutoStart ? BST_CHECKED : BST_UNCHECKED);
  m_chkQuickLaunch.SetCheck(g_createQuickLaunchShortcut ? BST_CHECKED : BST_UNCHECKED);

  std::string programFiles;
  (void)platform::Current().ShellFolders().GetSpecialFolderPath(platform::kCsidlProgramFiles, &programFiles);
  GetDlgItem(kOptionFolderEditId)->SetWindowText(programFiles + "\\" + g_bankProfile.productFolder);

  LoadBackground(g_bankProfile.optionDlgImageId);
  PlaceAtSavedPosition();
  return true;
}

bool COptionDlg::OnCommand(gui::UINT id, gui::UINT code) {
  if (code == gui::BN_CLICKED) {
    switch (id) {
      case kOptionQuickLaunchId: g_createQuickLaunchShortcut = m_chkQuickLaunch.GetCheck() == BST_CHECKED; return true;
      case kOptionStartMenuId: g_createStartMenuShortcuts = m_chkStartMenu.GetCheck() == BST_CHECKED; return true;
      case kOptionDesktopId: g_createDesktopShortcut = m_chkDesktop.GetCheck() == BST_CHECKED; return true;
      case kOptionAutoStartId: g_addAutoStart = m_chkAutoStart.GetCheck() == BST_CHECKED; return true;
      case kOptionBrowseId: OnBrowse(); return true;
      case kOptionBackId: OnBack(); return true;
      default: break;
    }
  }
  return CSkinnedDialog::OnCommand(id, code);
}

void COptionDlg::OnBrowse() {
  const std::optional<std::string> chosen = gui::BrowseForFolder(m_hWnd, kFolderBrowserTitle, kFolderBrowserFlags);
  if (!chosen) return;
  // A drive root keeps its own backslash ("D:\" + "\" + folder); "下一步" reduces the pair to one.
  GetDlgItem(kOptionFolderEditId)->SetWindowText(*chosen + "\\" + g_bankProfile.productFolder);
}

void COptionDlg::OnBack() {
  ShowWindow(gui::SW_HIDE);
  CInstallDlg install;
  (void)install.DoModal();
  EndDialog(gui::IDCANCEL);
}

void COptionDlg::OnOK() {
  platform::ProcessId browser = 0;
  if (FindBrowserProcess(browser)) {
    if (MessageBox(kBrowserQuestion, g_bankProfile.downloaderTitle, gui::MB_YESNO) != gui::IDYES) return;
    (void)TerminateBrowser(browser);
  }

  const std::string text = GetDlgItem(kOptionFolderEditId)->GetWindowText();
  std::vector<std::string> pieces;
  SplitPath(text, "\\", pieces);
  const std::string drive = pieces.empty() ? std::string() : pieces.front();
  if (!InstallDriveAccepted(platform::Current().Files().GetDriveType(drive))) {
    MessageBox(kInvalidFolderText, g_bankProfile.downloaderTitle, gui::MB_OK);
    return;
  }

  const std::string folder = CollapseDoubledBackslashes(text);
  if (!CreateFolderTree(folder)) {
    MessageBox(kInvalidFolderText, g_bankProfile.downloaderTitle, gui::MB_OK);
    return;
  }
  // Only a folder that now exists becomes the installation folder.
  g_install.installDir = folder;

  ShowWindow(gui::SW_HIDE);
  ProgramUpdateDialogs().RunProgressDialog(ModeInstall);
  EndDialog(gui::IDCANCEL);
}

void COptionDlg::OnCancel() { ConfirmExit(); }
