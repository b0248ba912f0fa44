#include "ui/get_internet_dlg.h"

#include <chrono>
#include <system_error>

#include "app/globals.h"
#include "gui/window.h"
#include "net/server_request.h"
#include "ui/install_dlg.h"

using namespace gui;

namespace {

// The worker's reports. Each is sent (synchronously) to the dialog's window and handled on the dialog's
// thread; a window that is gone answers 0.
constexpr UINT kMsgQueryStarted = WM_APP + 0x130;  // hide Retry, show the querying text
constexpr UINT kMsgNoAnswer = WM_APP + 0x131;      // the failed state
constexpr UINT kMsgReplyRead = WM_APP + 0x132;     // lParam: the ServerReply; 1 when it was stored
constexpr UINT kMsgHandOver = WM_APP + 0x133;      // hides the dialog; answers the dialog object
constexpr UINT kMsgHandoverDone = WM_APP + 0x134;  // the install dialog has returned: end with 0

}  // namespace

CGetInternetDlg::CGetInternetDlg() : CSkinnedDialog(kIdd) {}

bool CGetInternetDlg::OnInitDialog() {
  SetTransparentLabels({kStatusId});
  SetSaveOnMove(true);
  CDialog::OnInitDialog();
  AddSystemMenuItem();
  SetProgramIcon(true);
  SetProgramTitle();

  GetDlgItem(kRetryId)->ShowWindow(SW_HIDE);
  m_nRetriesLeft = 2;

  LoadBackground(g_bankProfile.queryDlgImageId);
  StartWorker();
  return true;
}

bool CGetInternetDlg::OnCommand(UINT id, UINT code) {
  if (id == static_cast<UINT>(kRetryId) && code == BN_CLICKED) {
    // The button is shown only while retries are left; a click that arrives after the budget is spent
    // (a second click before the new worker has hidden the button) starts nothing.
    if (m_nRetriesLeft <= 0) return true;
    --m_nRetriesLeft;
    StartWorker();
    return true;
  }
  return CSkinnedDialog::OnCommand(id, code);
}

// The template has no OK button; Enter does not end the first installation.
void CGetInternetDlg::OnOK() {}

void CGetInternetDlg::OnCancel() { ConfirmExit(); }

void CGetInternetDlg::StartWorker() {
  try {
    std::thread worker(VersionQueryWorker, static_cast<void*>(GetSafeHwnd()));
    m_hWorker = worker.get_id();
    worker.detach();
  } catch (const std::system_error&) {
    // No thread for the exchange: the same as an exchange that got no answer.
    ShowNoAnswer();
  }
}

void CGetInternetDlg::SetStatus(const char* text) {
  GetDlgItem(kStatusId)->SetWindowText(text);
  RefreshControl(this, kStatusId);
}

void CGetInternetDlg::ShowQuerying() {
  GetDlgItem(kRetryId)->ShowWindow(SW_HIDE);
  SetStatus(kQueryingText);
}

void CGetInternetDlg::ShowNoAnswer() {
  GetDlgItem(kRetryId)->ShowWindow(m_nRetriesLeft > 0 ? SW_SHOW : SW_HIDE);
  SetStatus(kNoAnswerText);
}

LRESULT CGetInternetDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kMsgQueryStarted:
      ShowQuerying();
      return 1;
    case kMsgNoAnswer:
      ShowNoAnswer();
      return 1;
    case kMsgReplyRead:
      // The first reply read is the one the installation goes on with.
      if (succeeded_) return 0;
      succeeded_ = true;
      StoreServerReply(*reinterpret_cast<const ServerReply*>(lParam), false);
      return 1;
    case kMsgHandOver:
      if (handedOver_) return 0;
      handedOver_ = true;
      ShowWindow(SW_HIDE);
      return reinterpret_cast<LRESULT>(this);
    case kMsgHandoverDone:
      EndDialog(0);
      return 1;
    default:
      return CSkinnedDialog::WindowProc(message, wParam, lParam);
  }
}

void CGetInternetDlg::RunInstallDialog() {
  CInstallDlg dialog;
  (void)dialog.DoModal();
}

UINT VersionQueryWorker(void* dialogWindow) {
  const HWND dialog = static_cast<HWND>(dialogWindow);
  // A dialog that has closed meanwhile needs no exchange.
  if (gui::SendMessage(dialog, kMsgQueryStarted) == 0) return 0;

  std::string response;
  if (!AskServerForVersion(response)) {
    gui::SendMessage(dialog, kMsgNoAnswer);
    return 0;
  }
  // A reply that does not open leaves the dialog as it is.
  ServerReply reply;
  if (!ReadServerReply(response, reply)) return 0;
  if (gui::SendMessage(dialog, kMsgReplyRead, 0, reinterpret_cast<LPARAM>(&reply)) == 0) return 0;

  std::this_thread::sleep_for(std::chrono::milliseconds(CGetInternetDlg::kHandoverPauseMs));
  // From the handover on, the dialog object lives until this worker ends it.
  auto* self = reinterpret_cast<CGetInternetDlg*>(gui::SendMessage(dialog, kMsgHandOver));
  if (self == nullptr) return 0;
  self->RunInstallDialog();
  gui::SendMessage(dialog, kMsgHandoverDone);
  return 0;
}
