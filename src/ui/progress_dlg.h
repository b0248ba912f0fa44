// The progress dialog, in which every installation, update and repair runs, and its installation worker.
//
// The dialog creates the update engine when it opens and starts one worker thread, InstallWorker, that
// runs the whole installation sequence: earlier products removed (first installation), folders and
// manifests, the runtime packages, both manifest runs, the assistant stopped, the staged files applied,
// the staging folder cleared, the registry records, the shortcuts (install and update), the assistant
// started, and the end of the process with exit code 0. A successful run therefore never returns
// through the dialog. A failed step stops the worker and leaves the dialog open with what the step last
// showed; the user closes it with button 2.
//
// The worker reaches the dialog only through window messages (RunProgressView below), which the dialog's
// own thread handles, so a report that comes after the dialog has closed does nothing. When the dialog
// closes while the worker is still at work, the process ends at once with exit code 0: the openers
// would only close in turn and end the program, and a worker left running while the process winds down
// could touch the machine or the engine after they are gone.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "app/run_mode.h"
#include "gui/types.h"
#include "ui/my_progress.h"
#include "ui/skinned_frame.h"
#include "update/update_engine.h"

class CProgressDlg;

// The steps of the installation sequence that belong to the system integration: the earlier assistant
// products, the runtime packages, the assistant's running programs and the shortcuts. The program's
// binding (ProgramSystemIntegration) runs the system module's steps; tests bind their own to see the
// order and the failure paths.
class SystemIntegrationSteps {
 public:
  virtual ~SystemIntegrationSteps() = default;
  // On the dialog's thread while it initialises, right after the engine was created. True.
  virtual bool NotifyPopupProgram(UpdateEngine& engine) = 0;
  // First installation only, the worker's first step; status texts go to label 1020. True.
  virtual bool RemoveLegacyAssistants(RunProgressView& dialog) = 0;
  // Whether the x86 and the x64 runtime package are to be installed (0 or 1 each).
  virtual int DetectVcRuntime(UpdateEngine& engine, int& needX86, int& needX64) = 0;
  // Installs the packages counted in; each advances the overall progress. True.
  virtual bool InstallVcRuntime(UpdateEngine& engine, int needX86, int needX64) = 0;
  // Makes the running assistant and pop-up program quit. False stops the run.
  virtual bool StopRunningAssistant(UpdateEngine& engine) = 0;
  // The shortcut stage of an installation or update, with its status texts on label 1020.
  virtual void CreateShortcuts(RunProgressView& dialog) = 0;
  // Starts the assistant at the end of a successful run. It gets the installation folder, since the
  // engine is gone by then.
  virtual void StartPopupProgram(const std::string& installDir) = 0;
};

// The steps the program runs.
SystemIntegrationSteps& ProgramSystemIntegration();
// Binds the steps every progress dialog made from now on uses; nullptr restores the program's steps.
// The object must outlive the dialogs.
void BindSystemIntegration(SystemIntegrationSteps* steps);

// The dialog's texts.
constexpr const char* kCancelQuestion = "下载还未完成，确定取消？";
constexpr const char* kDoneCaption = "下载完成";
constexpr const char* kStartingAssistantText = "完成安装,准备启动助手";

class CProgressDlg : public CSkinnedDialog, public RunProgressView {
 public:
  // The dialog of a run in `mode` (ModeInstall, ModeUpdate, ModeRepair).
  explicit CProgressDlg(int mode, gui::CWnd* parent = nullptr);
  ~CProgressDlg() override;

  // Runs the dialog modally. Returns the cancel result when the user closed it after the worker stopped;
  // when it closes while the worker still works, the process ends (OnClosedWhileWorking).
  gui::INT_PTR DoModal() override;

  // Template and control ids.
  static constexpr int kIdd = 135;
  static constexpr int kCancelId = 2;
  static constexpr int kStatusId = 1020;
  static constexpr int kFileBarId = 1021;
  static constexpr int kTotalBarId = 1022;
  static constexpr int kFilePercentId = 1023;
  static constexpr int kTotalPercentId = 1024;
  static constexpr gui::UINT_PTR kPictureTimerId = 1;
  static constexpr gui::UINT kPictureTimerMs = 4000;

  int m_nMode;
  // 0 while the run works (cancelling asks first), 1 once the worker stopped or finished the engine
  // steps. Written by the worker, read by the cancel handler.
  std::atomic<int> m_bDone{0};
  // Created at initialisation; deleted by the worker after the registry step. When a run stops early
  // the dialog deletes it once the worker has ended.
  UpdateEngine* m_pEngine = nullptr;
  // The worker thread (it runs detached; the dialog never waits for it).
  std::thread::id m_hWorker;
  int m_bAltImage = 0;
  CMyProgress m_ctlFileProgress;
  CMyProgress m_ctlTotalProgress;

  // The steps of the system integration this dialog's run uses (ProgramSystemIntegration() unless a test
  // sets others before DoModal).
  SystemIntegrationSteps* m_pSystemSteps;
  // The pause between the completion text and the start of the assistant.
  int m_finishPauseMs = 1000;

  // True while InstallWorker runs (from its start until it returned or ended the process).
  bool WorkerRunning() const { return workerRunning_.load(); }

  // A silent update runs unseen: hides the dialog, now and for the rest of the run.
  void HideForSilentRun();

  // RunProgressView: every call comes from the worker and reaches the controls by window messages.
  void SetFileProgress(std::uint32_t pos, std::uint32_t rangeMax) override;
  void SetFilePercentText(const std::string& text) override;
  void SetStatusText(const std::string& text) override;
  void SetTotalRange(std::uint32_t rangeMax) override;
  void SetTotalPos(std::uint32_t pos) override;
  void SetTotalPercentText(const std::string& text) override;
  void SetCancelCaption(const std::string& text) override;
  // The combined reports each reach the dialog's thread once. A block's report leaves out what would
  // change nothing: the bar's range when it is already 0..rangeMax, and the label's text and its
  // repaint when the label already shows that text.
  void SetFileProgressAndText(std::uint32_t pos, std::uint32_t rangeMax, const std::string& text) override;
  void ShowFileStart(const std::string& status, const std::string& filePercent) override;
  void SetTotalProgress(const std::string& percentText, std::uint32_t pos) override;

 protected:
  // The end of a successful run: the process ends at once with exit code 0.
  virtual void EndProcess();
  // The dialog closed while the worker still works: the process ends at once with exit code 0.
  virtual void OnClosedWhileWorking();

  // CDialog
  bool OnInitDialog() override;
  void DoDataExchange(gui::CDataExchange* dx) override;
  void OnCancel() override;
  // Enter: the dialog's only button is button 2, which has the focus, so Enter presses it (the
  // framework's default would end the dialog with IDOK, leaving a run without the question).
  void OnOK() override;
  void OnTimer(gui::UINT_PTR id) override;
  gui::LRESULT WindowProc(gui::UINT message, gui::WPARAM wParam, gui::LPARAM lParam) override;

 private:
  friend gui::UINT InstallWorker(void* dialog);

  // The worker's steps up to the end of the engine steps; false when a step stopped the run.
  bool RunEngineSteps();
  // Steps 15 to 19: shortcuts, the completion text, the assistant started, the process ended.
  void Finish(const std::string& installDir);
  // Runs `work` on the dialog's thread and waits for it; nothing when the dialog is gone.
  void OnDialogThread(const std::function<void()>& work);
  // The bodies of the reports; on the dialog's thread they reach the controls directly.
  void ApplyFileProgress(std::uint32_t pos, std::uint32_t rangeMax);
  void ApplyText(int controlId, const std::string& text);

  std::atomic<bool> workerRunning_{false};
  // Posted to itself by a silent run's initialisation, so the dialog hides once the modal loop has shown it.
  static constexpr gui::UINT kHideMessage = gui::WM_APP + 0x135;
  // Posted by the worker when a step stopped the run. A silent run has nobody to close its hidden
  // dialog, so it closes itself and the program ends instead of waiting unseen for ever.
  static constexpr gui::UINT kStoppedMessage = gui::WM_APP + 0x136;
  bool hiddenRun_ = false;  // the dialog's own thread only
};

// The installation worker: runs the sequence for the dialog given as its argument. Returns 0 when a step
// stopped the run; after a successful run it ends the process and never returns.
gui::UINT InstallWorker(void* dialog);
