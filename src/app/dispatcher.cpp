#include "app/dispatcher.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/bank_profile.h"
#include "app/downloader_app.h"
#include "app/globals.h"
#include "app/utilities.h"
#include "gui/message_box.h"
#include "platform/platform.h"
#include "platform/registry.h"

namespace {

// Registry values are read into buffers of this size; the last byte stays zero.
constexpr std::uint32_t kValueBufferSize = 260;

bool ReadTextValue(platform::RegistryKey& key, const char* name, std::string& text) {
  char buffer[kValueBufferSize] = {};
  std::uint32_t size = kValueBufferSize;
  if (!key.QueryValue(name, nullptr, buffer, &size).ok()) return false;
  // A value of the buffer's full size would have no room for its terminating zero: keep 259 bytes.
  std::string::size_type length = 0;
  while (length < kValueBufferSize - 1 && length < size && buffer[length] != '\0') ++length;
  text.assign(buffer, length);
  return true;
}

class SystemDispatcherActions final : public DispatcherActions {
 public:
  int ShowMessage(const std::string& text, const std::string& caption, gui::UINT type) override {
    return gui::MessageBox(nullptr, text, caption, type);
  }
  bool FindBrowser(platform::ProcessId& processId) override { return FindBrowserProcess(processId); }
  void EndBrowser(platform::ProcessId processId) override { (void)TerminateBrowser(processId); }
  void EndProcess() override { std::exit(0); }
};

// The dialogs of a program that has bound none (the libraries on their own, as in tests): says so on
// standard error and shows nothing.
class UnboundDialogs final : public UpdateDialogs, public FirstInstallDialogs {
 public:
  void RunProgressDialog(RunMode mode) override {
    std::fprintf(stderr, "downloader: no progress dialog (run mode %d) is bound in this program\n", static_cast<int>(mode));
  }
  void RunUpdateDialog(CDownloaderApp&) override {
    std::fputs("downloader: no update dialog is bound in this program\n", stderr);
  }
  void RunVersionQueryDialog(CDownloaderApp&) override {
    std::fputs("downloader: no version-query dialog is bound in this program\n", stderr);
  }
};

UnboundDialogs& NotBoundDialogs() {
  static UnboundDialogs dialogs;
  return dialogs;
}

UpdateDialogs* g_boundUpdateDialogs = nullptr;
FirstInstallDialogs* g_boundFirstInstallDialogs = nullptr;

}  // namespace

DispatchCommand DispatchCommandOf(const std::string& commandLine) {
  if (commandLine == "-update") return DispatchCommand::kUpdate;
  if (commandLine == "-losefile") return DispatchCommand::kRepair;
  return DispatchCommand::kInteractive;
}

std::optional<ProductRecord> ReadProductRecord() {
  std::unique_ptr<platform::RegistryKey> key;
  if (!platform::Current().Reg().OpenKey(ProductRegistryKey(), platform::kKeyAllAccess, &key).ok()) {
    return std::nullopt;
  }
  ProductRecord record;
  if (!ReadTextValue(*key, "Version", record.version)) return std::nullopt;
  if (!ReadTextValue(*key, "Path", record.path)) return std::nullopt;
  return record;
}

DispatchDecision DecideDispatch(const DispatchFacts& facts) {
  using A = DispatchAction;
  if (!facts.product) return {A::kFirstInstallation, false};
  if (facts.answer == ServerAnswer::kNone) return {A::kEndProcess, false};
  if (facts.answer == ServerAnswer::kUnreadable) return {A::kNothing, false};

  const std::int32_t updateMode = UpdateModeValue(facts.reply.update);
  if (updateMode == 0 && facts.command == DispatchCommand::kUpdate) return {A::kNothing, false};

  // From here on the installation folder is the record's.
  if (facts.command == DispatchCommand::kRepair) return {A::kRepair, true};

  const VersionQuad newest = ParseVersion(facts.reply.version);
  const VersionQuad installed = ParseVersion(facts.product->version);
  if (CompareVersions(installed, newest) >= 0) {
    return {facts.command == DispatchCommand::kUpdate ? A::kNothing : A::kUpToDateNotice, true};
  }
  switch (updateMode) {
    case 1: return {A::kUpdateDialog, true};
    case 2: return {A::kUpdateAtOnce, true};
    default: return {A::kNothing, true};
  }
}

std::string UpToDateNotice(const std::string& productName) {
  std::string text = kUpToDateFormat;
  const std::string::size_type at = text.find("%s");
  text.replace(at, 2, productName);
  return text;
}

DispatcherActions& ProgramDispatcherActions() {
  static SystemDispatcherActions actions;
  return actions;
}

UpdateDialogs& ProgramUpdateDialogs() {
  return g_boundUpdateDialogs != nullptr ? *g_boundUpdateDialogs : NotBoundDialogs();
}

FirstInstallDialogs& ProgramFirstInstallDialogs() {
  return g_boundFirstInstallDialogs != nullptr ? *g_boundFirstInstallDialogs : NotBoundDialogs();
}

void BindProgramDialogs(UpdateDialogs* dialogs, FirstInstallDialogs* firstInstall) {
  g_boundUpdateDialogs = dialogs;
  g_boundFirstInstallDialogs = firstInstall;
}

int DispatchCommandLine(const std::string& commandLine, CDownloaderApp& app, DispatcherActions& actions,
                        UpdateDialogs& dialogs) {
  DispatchFacts facts;
  facts.command = DispatchCommandOf(commandLine);
  // The key is closed again before the server is asked.
  facts.product = ReadProductRecord();

  if (facts.product) {
    // Attempts follow one another without pause.
    std::string response;
    bool answered = false;
    for (int attempt = 0; attempt < kDispatcherQueryAttempts && !answered; ++attempt) {
      answered = AskServerForVersion(response);
    }
    if (answered) {
      facts.answer = ReadServerReply(response, facts.reply) ? ServerAnswer::kRead : ServerAnswer::kUnreadable;
    }
  }

  const DispatchDecision decision = DecideDispatch(facts);
  if (facts.answer == ServerAnswer::kRead) StoreServerReply(facts.reply, true);
  if (decision.takesInstallDir) g_install.installDir = facts.product->path;

  switch (decision.action) {
    case DispatchAction::kFirstInstallation:
      return 0;
    case DispatchAction::kEndProcess:
      actions.EndProcess();
      return 1;
    case DispatchAction::kNothing:
      return 1;
    case DispatchAction::kRepair: {
      platform::ProcessId browser = 0;
      if (actions.FindBrowser(browser)) {
        // Only a Yes lets the browser be ended; the box has no other way out but No.
        if (actions.ShowMessage(kBrowserQuestion, g_bankProfile.productName, gui::MB_YESNO) != gui::IDYES) {
          return 1;
        }
        actions.EndBrowser(browser);
      }
      dialogs.RunProgressDialog(ModeRepair);
      return 1;
    }
    case DispatchAction::kUpToDateNotice:
      (void)actions.ShowMessage(UpToDateNotice(g_bankProfile.productName), g_bankProfile.productName, gui::MB_OK);
      return 1;
    case DispatchAction::kUpdateDialog:
      dialogs.RunUpdateDialog(app);
      return 1;
    case DispatchAction::kUpdateAtOnce:
      actions.EndBrowser(0);
      dialogs.RunProgressDialog(ModeUpdate);
      return 1;
  }
  return 1;
}

int DispatchCommandLine(const std::string& commandLine, CDownloaderApp& app) {
  return DispatchCommandLine(commandLine, app, ProgramDispatcherActions(), ProgramUpdateDialogs());
}

void RunDispatchStep(CDownloaderApp& app, DispatcherActions& actions, UpdateDialogs& dialogs,
                     FirstInstallDialogs& firstInstall) {
  if (DispatchCommandLine(app.CommandLine(), app, actions, dialogs) == 0) {
    firstInstall.RunVersionQueryDialog(app);
  }
}

void RunDispatchStep(CDownloaderApp& app) {
  RunDispatchStep(app, ProgramDispatcherActions(), ProgramUpdateDialogs(), ProgramFirstInstallDialogs());
}
