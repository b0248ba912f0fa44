// The version-query dialog of a first installation: a small skinned dialog that asks the update server
// for the current version on a worker thread while it shows a status line, offers a limited number of
// retries when the server does not answer, and on success hands over to the install dialog.
//
// States:
//   querying           "正在获取版本信息...", Retry hidden
//   failed             "服务器没响应", Retry shown while retries are left, else hidden (only Cancel remains)
//   stalled            a reply came that does not open: the querying look stays, no retry is offered
//   handed over        the dialog is hidden; the install dialog runs on the worker's thread, and when it
//                      returns the version-query dialog ends with 0
// Cancel (the button, Escape, the close box) asks "是否退出voda安装？": Yes ends the process at once.
//
// Each exchange runs on a thread of its own (VersionQueryWorker). A worker holds only the dialog's window
// handle and reaches the dialog through synchronous messages that the dialog handles on its own thread,
// so a report that comes after the dialog has closed does nothing.
#pragma once

#include <string>
#include <thread>

#include "gui/types.h"
#include "ui/skinned_frame.h"

class CGetInternetDlg : public CSkinnedDialog {
 public:
  CGetInternetDlg();

  // Retries still allowed: 2 after initialisation, one spent by each click on Retry.
  int m_nRetriesLeft = 0;
  // The last worker started; it is never joined (the thread runs detached), the value is kept only to
  // say which worker was started last.
  std::thread::id m_hWorker;

  // Control ids of template 130.
  static constexpr int kIdd = 130;
  static constexpr int kStatusId = 1029;
  static constexpr int kRetryId = 1030;

  // The texts the dialog shows.
  static constexpr const char* kQueryingText = "正在获取版本信息...";
  static constexpr const char* kNoAnswerText = "服务器没响应";

  // Pause between a successful reply and the handover.
  static constexpr int kHandoverPauseMs = 500;

 protected:
  // The handover after a successful query: runs the install dialog (CInstallDlg) modally on the calling
  // thread, the worker's, and returns when it closes; the version-query dialog then ends with 0.
  virtual void RunInstallDialog();

  // CDialog
  bool OnInitDialog() override;
  bool OnCommand(gui::UINT id, gui::UINT code) override;
  void OnOK() override;
  void OnCancel() override;
  gui::LRESULT WindowProc(gui::UINT message, gui::WPARAM wParam, gui::LPARAM lParam) override;

 private:
  friend gui::UINT VersionQueryWorker(void* dialogWindow);

  // Starts one exchange on a new thread.
  void StartWorker();
  // The worker's reports, handled on the dialog's thread.
  void ShowQuerying();
  void ShowNoAnswer();
  void SetStatus(const char* text);

  bool succeeded_ = false;   // a reply has been stored; later replies are ignored
  bool handedOver_ = false;  // the install dialog runs
};

// The thread procedure of one exchange; its parameter is the dialog's window handle (gui::HWND). Seals
// the bank id, asks the server once (as many attempts as the server endpoint has) and reports to the
// dialog: no answer, or a reply that was stored, after which it waits half a second, hides the dialog,
// runs the install dialog and ends the version-query dialog with 0. A reply that does not open changes
// nothing on the dialog. Returns 0.
gui::UINT VersionQueryWorker(void* dialogWindow);
