#include "ui/progress_dlg.h"

#include <chrono>
#include <memory>
#include <thread>

#include "app/globals.h"
#include "app/utilities.h"
#include "gui/controls.h"
#include "gui/dialog.h"
#include "gui/owner_thread.h"
#include "system/legacy_removal.h"
#include "system/popup_program.h"
#include "system/shortcuts.h"
#include "update/manifest.h"
#include "update/runtime_packages.h"

using namespace gui;

namespace {

// The system-integration steps of the program: the earlier products removed, the runtime packages
// installed, the assistant's programs told, stopped and started again, the shortcuts made.
class SystemModuleSteps final : public SystemIntegrationSteps {
 public:
  bool NotifyPopupProgram(UpdateEngine& engine) override {
    auto* dialog = dynamic_cast<CProgressDlg*>(engine.m_pDialog);
    return ::NotifyPopupProgram(engine.m_mode, engine.m_updateType, engine.m_installDir, [dialog] {
      if (dialog != nullptr) dialog->HideForSilentRun();
    });
  }
  bool RemoveLegacyAssistants(RunProgressView& dialog) override {
    return ::RemoveLegacyAssistants([&dialog](const std::string& text) { dialog.SetStatusText(text); });
  }
  int DetectVcRuntime(UpdateEngine& engine, int& needX86, int& needX64) override {
    return ::DetectVcRuntime(engine, needX86, needX64);
  }
  bool InstallVcRuntime(UpdateEngine& engine, int needX86, int needX64) override {
    return ::InstallVcRuntime(engine, needX86, needX64);
  }
  bool StopRunningAssistant(UpdateEngine& engine) override { return ::StopRunningAssistant(engine.m_installDir); }
  void CreateShortcuts(RunProgressView& dialog) override {
    ::CreateShortcuts([&dialog](const std::string& text) { dialog.SetStatusText(text); });
  }
  void StartPopupProgram(const std::string& installDir) override { ::StartPopupProgram(installDir); }
};

std::atomic<SystemIntegrationSteps*> g_boundSystemSteps{nullptr};

SystemIntegrationSteps& ProgramSteps() {
  static SystemModuleSteps* steps = new SystemModuleSteps;  // lives until the process ends
  return *steps;
}

int ClampToInt(std::uint32_t value) { return value > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(value); }

}  // namespace

SystemIntegrationSteps& ProgramSystemIntegration() {
  SystemIntegrationSteps* bound = g_boundSystemSteps.load();
  return bound != nullptr ? *bound : ProgramSteps();
}

void BindSystemIntegration(SystemIntegrationSteps* steps) { g_boundSystemSteps.store(steps); }

CProgressDlg::CProgressDlg(int mode, CWnd* parent)
    : CSkinnedDialog(kIdd, parent), m_nMode(mode), m_pSystemSteps(&ProgramSystemIntegration()) {
  SetTransparentLabels({kStatusId, kFilePercentId, kTotalPercentId, -1});
}

CProgressDlg::~CProgressDlg() {
  // Only a run that stopped early leaves its engine; its worker has ended by now (a dialog that closes
  // while its worker works ends the process before it is destroyed).
  if (!workerRunning_.load()) {
    delete m_pEngine;
    m_pEngine = nullptr;
  }
  if (g_progressDlg == this) g_progressDlg = nullptr;
}

INT_PTR CProgressDlg::DoModal() {
  const INT_PTR result = CSkinnedDialog::DoModal();
  if (workerRunning_.load()) OnClosedWhileWorking();
  return result;
}

void CProgressDlg::EndProcess() { ExitProcessNow(); }

void CProgressDlg::OnClosedWhileWorking() { ExitProcessNow(); }

void CProgressDlg::DoDataExchange(CDataExchange* dx) {
  CSkinnedDialog::DoDataExchange(dx);
  DDX_Control(dx, kFileBarId, m_ctlFileProgress);
  DDX_Control(dx, kTotalBarId, m_ctlTotalProgress);
}

bool CProgressDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  AddSystemMenuItem();
  SetProgramIcon(true);

  auto* engine = new UpdateEngine(this, g_bankProfile.allianceCode, m_nMode, g_install.downloadBaseUrl,
                                  g_install.updateMode, g_install.latestVersion, g_install.installDir);
  m_pSystemSteps->NotifyPopupProgram(*engine);
  m_pEngine = engine;
  m_bAltImage = 0;

  SetProgramTitle();
  GetDlgItem(kTotalPercentId)->SetWindowText("0%");
  LoadBackground(g_bankProfile.progressDlgImageId);
  g_progressDlg = this;

  m_bDone.store(0);
  workerRunning_.store(true);
  std::thread worker(InstallWorker, static_cast<void*>(this));
  m_hWorker = worker.get_id();
  worker.detach();

  SetTimer(kPictureTimerId, kPictureTimerMs);

  if (m_nMode == ModeUpdate || m_nMode == ModeRepair) {
    // Centred on the screen by the client size, whatever dialog was moved before.
    CRect client;
    GetClientRect(&client);
    const int x = GetSystemMetrics(SM_CXSCREEN) / 2 - client.Width() / 2;
    const int y = GetSystemMetrics(SM_CYSCREEN) / 2 - client.Height() / 2;
    SetWindowPos(&wndTop, x, y, 0, 0, SWP_NOSIZE | (hiddenRun_ ? 0 : SWP_SHOWWINDOW));
  } else {
    PlaceAtSavedPosition();
  }
  // The modal loop shows a dialog that is not visible once it has initialised; a silent run hides it
  // again as soon as the loop runs.
  if (hiddenRun_) PostMessage(kHideMessage);
  return true;
}

void CProgressDlg::HideForSilentRun() {
  hiddenRun_ = true;
  ShowWindow(SW_HIDE);
}

LRESULT CProgressDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kHideMessage) {
    ShowWindow(SW_HIDE);
    return 0;
  }
  if (message == kStoppedMessage) {
    if (hiddenRun_) {
      KillTimer(kPictureTimerId);
      EndDialog(IDCANCEL);
    }
    return 0;
  }
  return CSkinnedDialog::WindowProc(message, wParam, lParam);
}

void CProgressDlg::OnTimer(UINT_PTR) {
  if (m_bAltImage == 0) {
    LoadBackground(g_bankProfile.progressDlgImage2Id);
    m_bAltImage = 1;
  } else {
    LoadBackground(g_bankProfile.progressDlgImageId);
    m_bAltImage = 0;
  }
  Invalidate(true);
  UpdateWindow();
}

void CProgressDlg::OnCancel() {
  if (m_bDone.load() == 0 &&
      MessageBox(kCancelQuestion, g_bankProfile.downloaderTitle, MB_YESNO) != IDYES) {
    return;
  }
  KillTimer(kPictureTimerId);
  EndDialog(IDCANCEL);
}

void CProgressDlg::OnOK() { OnCancel(); }

// --- RunProgressView ----------------------------------------------------------------------------------

void CProgressDlg::OnDialogThread(const std::function<void()>& work) { (void)gui::SendTask(GetSafeHwnd(), work); }

void CProgressDlg::ApplyFileProgress(std::uint32_t pos, std::uint32_t rangeMax) {
  m_ctlFileProgress.SetRange32(0, ClampToInt(rangeMax));
  m_ctlFileProgress.SetPos(ClampToInt(pos));
}

void CProgressDlg::ApplyText(int controlId, const std::string& text) {
  GetDlgItem(controlId)->SetWindowText(text);
  RefreshControl(this, controlId);
}

void CProgressDlg::SetFileProgress(std::uint32_t pos, std::uint32_t rangeMax) {
  OnDialogThread([&] { ApplyFileProgress(pos, rangeMax); });
}

void CProgressDlg::SetFilePercentText(const std::string& text) {
  GetDlgItem(kFilePercentId)->SetWindowText(text);
  RefreshControl(this, kFilePercentId);
}

void CProgressDlg::SetFileProgressAndText(std::uint32_t pos, std::uint32_t rangeMax, const std::string& text) {
  OnDialogThread([&] {
    const int upper = ClampToInt(rangeMax);
    int lower = 0, current = 0;
    m_ctlFileProgress.GetRange(lower, current);
    if (lower != 0 || current != upper) m_ctlFileProgress.SetRange32(0, upper);
    m_ctlFileProgress.SetPos(ClampToInt(pos));
    // The shown percentage changes only every few blocks of a large file.
    if (GetDlgItem(kFilePercentId)->GetWindowText() != text) ApplyText(kFilePercentId, text);
  });
}

void CProgressDlg::ShowFileStart(const std::string& status, const std::string& filePercent) {
  OnDialogThread([&] {
    ApplyText(kStatusId, status);
    ApplyText(kFilePercentId, filePercent);
  });
}

void CProgressDlg::SetTotalProgress(const std::string& percentText, std::uint32_t pos) {
  OnDialogThread([&] {
    ApplyText(kTotalPercentId, percentText);
    m_ctlTotalProgress.SetPos(ClampToInt(pos));
  });
}

void CProgressDlg::SetStatusText(const std::string& text) {
  GetDlgItem(kStatusId)->SetWindowText(text);
  RefreshControl(this, kStatusId);
}

void CProgressDlg::SetTotalRange(std::uint32_t rangeMax) { m_ctlTotalProgress.SetRange32(0, ClampToInt(rangeMax)); }

void CProgressDlg::SetTotalPos(std::uint32_t pos) { m_ctlTotalProgress.SetPos(ClampToInt(pos)); }

void CProgressDlg::SetTotalPercentText(const std::string& text) {
  GetDlgItem(kTotalPercentId)->SetWindowText(text);
  RefreshControl(this, kTotalPercentId);
}

void CProgressDlg::SetCancelCaption(const std::string& text) { GetDlgItem(kCancelId)->SetWindowText(text); }

// --- The installation sequence ---------------------------------------------------------------------------

bool CProgressDlg::RunEngineSteps() {
  UpdateEngine& engine = *m_pEngine;
  SystemIntegrationSteps& system = *m_pSystemSteps;

  if (engine.m_mode == ModeInstall) (void)system.RemoveLegacyAssistants(*this);

  if (!CreateFolderTree(engine.m_installDir)) {
    m_bDone.store(1);
    return false;
  }
  (void)engine.CreateComponentFolders();
  if (!engine.DownloadManifests()) {
    m_bDone.store(1);
    return false;
  }

  int needX86 = 0, needX64 = 0;
  (void)system.DetectVcRuntime(engine, needX86, needX64);
  const int bankEntries = engine.CountManifestEntries(KindBank);
  const int commonEntries = engine.CountManifestEntries(KindCommon);
  engine.m_total = commonEntries + bankEntries + needX86 + needX64;
  SetTotalRange(static_cast<std::uint32_t>(engine.m_total));
  SetTotalPos(0);
  (void)system.InstallVcRuntime(engine, needX86, needX64);

  if (!engine.RunManifest(KindCommon) || !engine.RunManifest(KindBank)) {
    m_bDone.store(1);
    return false;
  }
  // A failure here leaves the run unfinished in the user's eyes: closing still asks first.
  if (!system.StopRunningAssistant(engine)) return false;

  (void)engine.ApplyDownloadedFiles();
  (void)engine.ClearDownloadFolder();
  (void)engine.WriteRegistryRecords();
  return true;
}

void CProgressDlg::Finish(const std::string& installDir) {
  if (m_nMode == ModeInstall || m_nMode == ModeUpdate) m_pSystemSteps->CreateShortcuts(*this);
  SetStatusText(kStartingAssistantText);
  std::this_thread::sleep_for(std::chrono::milliseconds(m_finishPauseMs));
  m_pSystemSteps->StartPopupProgram(installDir);
  EndProcess();
}

UINT InstallWorker(void* param) {
  auto* dialog = static_cast<CProgressDlg*>(param);
  dialog->m_bDone.store(0);
  if (!dialog->RunEngineSteps()) {
    const HWND window = dialog->GetSafeHwnd();
    dialog->workerRunning_.store(false);  // the last touch of the dialog
    (void)gui::PostMessage(window, CProgressDlg::kStoppedMessage);
    return 0;
  }

  const std::string installDir = dialog->m_pEngine->m_installDir;
  delete dialog->m_pEngine;
  dialog->m_pEngine = nullptr;
  dialog->m_bDone.store(1);
  dialog->SetCancelCaption(kDoneCaption);

  dialog->Finish(installDir);
  // Only a test's EndProcess returns.
  dialog->workerRunning_.store(false);
  return 0;
}
