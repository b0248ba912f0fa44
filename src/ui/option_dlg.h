// The options dialog of a first installation: the installation folder, and whether desktop and
// start-menu shortcuts are made.
//
// "下一步" asks to close a running browser, checks the folder (its drive must be a fixed, remote, RAM or
// unknown drive), creates it, stores it in g_install.installDir and runs the progress dialog in install
// mode inside the handler; "后退" runs a new install dialog the same way. Either way the options dialog
// ends with the cancel result once the nested dialog returns.
#pragma once

#include <string>

#include "gui/controls.h"
#include "platform/files.h"
#include "ui/skinned_frame.h"

class COptionDlg : public CSkinnedDialog {
 public:
  static constexpr gui::UINT IDD = 134;

  explicit COptionDlg(gui::CWnd* parent = nullptr) : CSkinnedDialog(IDD, parent) {}

  gui::CButton m_chkQuickLaunch;  // 1014, hidden
  gui::CButton m_chkStartMenu;    // 1015
  gui::CButton m_chkDesktop;      // 1016
  gui::CButton m_chkAutoStart;    // 1031, hidden

 protected:
  void DoDataExchange(gui::CDataExchange* dx) override;
  bool OnInitDialog() override;
  bool OnCommand(gui::UINT id, gui::UINT code) override;
  // "下一步".
  void OnOK() override;
  // "取消", Escape and the close box: ConfirmExit.
  void OnCancel() override;

 private:
  void OnBrowse();
  void OnBack();
};

// Control ids of the options dialog.
constexpr int kOptionQuickLaunchId = 1014;
constexpr int kOptionStartMenuId = 1015;
constexpr int kOptionDesktopId = 1016;
constexpr int kOptionAutoStartId = 1031;
constexpr int kOptionShortcutLabelId = 1013;
constexpr int kOptionFolderEditId = 1017;
constexpr int kOptionBrowseId = 1018;
constexpr int kOptionBackId = 1011;

// The dialog's own texts, as the system shows them.
constexpr const char* kInvalidFolderText = "路径不合法";
constexpr const char* kFolderBrowserTitle = "选择网银的安装路径:";
// BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX | BIF_NEWDIALOGSTYLE
constexpr gui::UINT kFolderBrowserFlags = 0x53;

// Whether a folder on a drive of this type may receive the installation: not a missing drive, not a
// removable medium, not a CD-ROM.
bool InstallDriveAccepted(platform::DriveType type);

// Reduces every pair of backslashes to one, left to right, in one pass ("D:\\\\Bank" gives "D:\\Bank").
std::string CollapseDoubledBackslashes(const std::string& text);
