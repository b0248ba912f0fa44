#include "app/downloader_app.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "app/bank_profile.h"
#include "app/dispatcher.h"
#include "app/globals.h"
#include "app/server_address.h"
#include "app/utilities.h"
#include "gui/message_box.h"
#include "gui/types.h"
#include "platform/files.h"
#include "platform/kernel_objects.h"
#include "platform/platform.h"

namespace {

constexpr const char* kRegistryKey = "应用程序向导生成的本地应用程序";
constexpr std::uintptr_t kQuitWParam = 1;

void ReportDispatch(const CDownloaderApp& app) {
  if (std::getenv(kStartupReportVariable) == nullptr) return;
  std::fprintf(stderr, "startup: dispatch command=[%s] baseUrl=[%s] pathPrefix=[%s] queryPath=[%s]\n",
               app.CommandLine().c_str(), g_server.baseUrl.c_str(), g_server.pathPrefix.c_str(),
               g_server.queryPath.c_str());
}

// Step 10: the dispatcher chooses between first installation, update and repair, and the version-query
// dialog leads a first installation.
void RunDispatcher(CDownloaderApp& app) {
  ReportDispatch(app);
  RunDispatchStep(app);
}

// The framework's application name: the program file's name without folder and extension.
std::string AppName() {
  std::string name = platform::Current().Files().ModulePath();
  const std::string::size_type slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const std::string::size_type dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

// The framework's message box for a start-up failure: the application name as caption, error icon.
void ShowInitFailure() {
  (void)gui::MessageBox(nullptr, "Can not initialize.", AppName(), gui::MB_OK | gui::MB_ICONERROR);
}

}  // namespace

CDownloaderApp::CDownloaderApp(std::string commandLine) : m_commandLine(std::move(commandLine)) {}

CDownloaderApp::~CDownloaderApp() = default;

bool CDownloaderApp::InitInstance() {
  // 1. Taking ownership of files may be needed later; a failure changes nothing.
  (void)EnableTakeOwnershipPrivilege();

  // 2. and 3. The common controls and ActiveX hosting need no initialisation in this dialog framework;
  // the framework's registry key only names where profile settings would go.
  m_registryKey = kRegistryKey;

  // 4. and 5.
  LoadBankProfile();
  g_progressDlg = nullptr;
  g_createQuickLaunchShortcut = true;
  g_createStartMenuShortcuts = true;
  g_createDesktopShortcut = true;

  // 6. The message that tells every running Downloader of this bank to quit.
  m_detectMsgId = 0;
  platform::KernelObjects& objects = platform::Current().Objects();
  const std::uint32_t msgId = objects.RegisterWindowMessage(SingleInstanceMessageName());
  if (msgId == 0) {
    ShowInitFailure();
    return false;
  }
  m_detectMsgId = msgId;

  // 7. "-t": tell the running Downloaders to quit, without taking the mutex.
  if (m_commandLine == "-t") {
    (void)objects.PostBroadcast(m_detectMsgId, kQuitWParam, 0);
    return false;
  }

  // 8. One Downloader per bank: a second one ends silently.
  const platform::Status mutex = objects.CreateMutex(SingleInstanceMutexName(), &m_singleInstance);
  if (mutex == platform::Error::kAlreadyExists) std::exit(0);

  // 9. A server-address file with fewer than three lines ends the process at once.
  if (!LoadServerAddress()) std::_Exit(0);

  // 10.
  RunDispatcher(*this);

  // 11.
  return false;
}

std::string CommandLineFromArguments(const std::vector<std::string>& arguments) {
  std::string commandLine;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) commandLine += ' ';
    commandLine += arguments[i];
  }
  const std::string::size_type start = commandLine.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : commandLine.substr(start);
}
