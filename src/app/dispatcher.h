// The command dispatcher: what a run does once start-up has prepared the process.
//
// It looks for the installed product in the registry. Without it the run is a first installation, which
// start-up leads through the version-query dialog. With it the dispatcher asks the update server for the
// newest version, stores the answer in g_install and then repairs lost files, updates, reports that the
// installation is current, or does nothing, as the command line and the answer say.
//
// The choice is a pure function (DecideDispatch) of the facts the dispatcher gathers: the command line,
// the product record and the server's answer. DispatchCommandLine gathers them, stores what the answer
// teaches and acts on the decision through two narrow seams: DispatcherActions (message boxes, the
// browser, the process exit) and UpdateDialogs (the progress and update dialogs).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/run_mode.h"
#include "app/version.h"
#include "gui/types.h"
#include "net/server_request.h"
#include "platform/process.h"

class CDownloaderApp;

// The command line as the dispatcher reads it: "-update" and "-losefile" compared exactly with the
// whole text; anything else, the empty text included, is an interactive run.
enum class DispatchCommand { kInteractive, kUpdate, kRepair };
DispatchCommand DispatchCommandOf(const std::string& commandLine);

// The installed product's record below the product registry key.
struct ProductRecord {
  std::string version;  // value Version
  std::string path;     // value Path: the installation folder, no trailing backslash
};

// Reads the record of the program's bank: opens the product key with full access (never creating it)
// and reads Version and then Path, each into a zero-filled 260-byte buffer, so a value is read up to
// 259 bytes, ending at its first zero byte; the value type is not checked. Nothing when the key cannot
// be opened or either value cannot be read (missing, or longer than the buffer).
std::optional<ProductRecord> ReadProductRecord();

// How the version query ended for the dispatcher.
enum class ServerAnswer {
  kNone,        // every attempt failed (or the server was not asked)
  kUnreadable,  // a body came that does not unseal, is not JSON, or has members that are not texts
  kRead,        // the reply was read
};

// Everything the decision depends on.
struct DispatchFacts {
  DispatchCommand command = DispatchCommand::kInteractive;
  std::optional<ProductRecord> product;  // nothing: not installed
  ServerAnswer answer = ServerAnswer::kNone;
  ServerReply reply;                     // when answer is kRead
};

// What the run does; the rows are tested from top to bottom.
enum class DispatchAction {
  kFirstInstallation,  // no product record: DispatchCommandLine returns 0, start-up opens the version query
  kEndProcess,         // the server did not answer: the process ends with code 0, without a window
  kNothing,            // the run ends without a message
  kRepair,             // "-losefile": a running browser is asked about, then the progress dialog in ModeRepair
  kUpToDateNotice,     // interactive run, installed version not older: the up-to-date message box
  kUpdateDialog,       // older, update mode 1: the update dialog
  kUpdateAtOnce,       // older, update mode 2: the first browser ended unasked, then the progress dialog in ModeUpdate
};

struct DispatchDecision {
  DispatchAction action = DispatchAction::kNothing;
  // Whether g_install.installDir takes the record's Path: every row once the answer is read, except
  // "-update" with update mode 0, which ends right after the answer.
  bool takesInstallDir = false;
};

DispatchDecision DecideDispatch(const DispatchFacts& facts);

// The dispatcher's own texts, as the system shows them.
constexpr const char* kBrowserQuestion = "安装过程中需关闭IE浏览器，是否继续？";
constexpr const char* kUpToDateFormat = "您当前已安装了最新的%s版本。";  // %s: productName

// The up-to-date notice for a product name; the name is inserted as text, never read as a format.
std::string UpToDateNotice(const std::string& productName);

// Message boxes, the browser and the process exit, as the dispatcher uses them. The program's own
// implementation (ProgramDispatcherActions) calls the window system's message box and the process
// utilities; tests record.
class DispatcherActions {
 public:
  virtual ~DispatcherActions() = default;
  // A message box without owner window; returns the button pressed (gui::IDOK, IDYES, IDNO).
  virtual int ShowMessage(const std::string& text, const std::string& caption, gui::UINT type) = 0;
  // FindBrowserProcess: true and the id of the first running browser.
  virtual bool FindBrowser(platform::ProcessId& processId) = 0;
  // TerminateBrowser: that browser, or the first running one for 0.
  virtual void EndBrowser(platform::ProcessId processId) = 0;
  // Ends the process normally with exit code 0. The program's implementation does not return; should an
  // implementation return (tests), the dispatcher treats the run as handled.
  virtual void EndProcess() = 0;
};

// The two dialogs the dispatcher runs modally. The ui module implements them; the program binds them at
// start (BindProgramDialogs), since the app library cannot depend on the ui library.
class UpdateDialogs {
 public:
  virtual ~UpdateDialogs() = default;
  // CProgressDlg constructed with the run mode and run modally; returns when it closes.
  virtual void RunProgressDialog(RunMode mode) = 0;
  // CUpdateDlg (dialog resource 139) made the application's main window and run modally.
  virtual void RunUpdateDialog(CDownloaderApp& app) = 0;
};

// The first installation's dialog, run by start-up when the dispatcher returns 0.
class FirstInstallDialogs {
 public:
  virtual ~FirstInstallDialogs() = default;
  // CGetInternetDlg (dialog resource 130) made the application's main window and run modally.
  virtual void RunVersionQueryDialog(CDownloaderApp& app) = 0;
};

// The program's bindings of the seams (process-wide objects, alive until the process ends). Until the
// program binds its dialogs, each one only says on standard error that none is bound.
DispatcherActions& ProgramDispatcherActions();
UpdateDialogs& ProgramUpdateDialogs();
FirstInstallDialogs& ProgramFirstInstallDialogs();

// Binds the dialogs the program runs: the program's entry does, before start-up, since the dialogs live
// in a module above this one. The objects must outlive start-up; nullptr restores the stand-in.
void BindProgramDialogs(UpdateDialogs* dialogs, FirstInstallDialogs* firstInstall);

// Decides and acts for one run. Returns 0 when the product is not installed, 1 when the run has been
// handled and the program may end; ends the process itself when four version queries in a row fail.
// Reads the product record through platform::Current(), asks the server on g_server and stores the
// reply's "v", "url" and "update" into g_install, and the record's Path into g_install.installDir.
int DispatchCommandLine(const std::string& commandLine, CDownloaderApp& app, DispatcherActions& actions,
                        UpdateDialogs& dialogs);

// The same with the program's bindings.
int DispatchCommandLine(const std::string& commandLine, CDownloaderApp& app);

// Step 10 of start-up: the dispatcher, and the version-query dialog when it returns 0.
void RunDispatchStep(CDownloaderApp& app, DispatcherActions& actions, UpdateDialogs& dialogs,
                     FirstInstallDialogs& firstInstall);
void RunDispatchStep(CDownloaderApp& app);

// Version queries the dispatcher makes before it gives up and ends the process.
constexpr int kDispatcherQueryAttempts = 4;
