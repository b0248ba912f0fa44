// The stand-in program: plays whichever program of the machine it was started as. Its role follows the
// file name it runs under (copies are made under the names needed); every stand-in holds the lock on its
// own image while it runs and records its start and end in the prefix's journal.
//
// Roles (image names compared ignoring case; settings.h maps further names onto them):
//   the assistant's main program   "ZivIV_*.exe"                  runs until told to quit
//   the pop-up program             "QuillonPop.exe", "QuillonPop_*.exe"
//                                  runs until told to quit, serves the pop-up pipe, journals every
//                                  message and answers on the command's events as the settings say
//   brief programs                 "uninst_*.exe", "msiexec.exe", "vcredist_x86.exe", "vcredist_x64.exe"
//                                  and the earlier products' uninstallers: work a moment, then end
//   everything else                runs until it is terminated
// The main and the pop-up program follow the assistant's convention: started with the single argument
// "-t" (the parameters "-t" or " -t"), an instance makes every earlier running instance of its program
// quit (SIGTERM, after which they record their end), waits for them and ends. The pop-up program is one
// program under either of its names, as its pipe is one. A "-t" the settings make hang does neither.
#include <fnmatch.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel_objects.h"
#include "platform/posix/image_lock.h"
#include "platform/posix/posix_platform.h"
#include "platform/process.h"
#include "standins/journal.h"
#include "standins/roles.h"
#include "standins/settings.h"

namespace standins {
namespace {

volatile sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int) { g_stopRequested = 1; }

// How long a "-t" waits for the instances it told to quit before it kills them.
constexpr auto kQuitWait = std::chrono::seconds(5);

void Record(const Context& context, const char* event, const std::string& parameters) {
  if (context.prefixRoot.empty()) return;
  JournalEntry entry;
  entry.event = event;
  entry.pid = static_cast<int>(::getpid());
  entry.image = context.image;
  entry.show = context.show;
  entry.parameters = parameters;
  static const unsigned long long started = OwnStartTime();
  entry.started = started;
  AppendJournal(context.prefixRoot, entry);
}

bool MatchesIgnoringCase(const char* pattern, const std::string& name) {
  return ::fnmatch(pattern, name.c_str(), FNM_CASEFOLD) == 0;
}

struct Role {
  const char* name;         // as settings.h names it
  const char* patterns[3];  // image names (fnmatch patterns), nullptr-ended
  int (*run)(const Context&);
};

int RunAssistantProgram(const Context& context);
int RunPopupProgram(const Context& context);

const Role kRoles[] = {
    {"main", {"ZivIV_*.exe", nullptr, nullptr}, RunAssistantProgram},
    {"popup", {"QuillonPop.exe", "QuillonPop_*.exe", nullptr}, RunPopupProgram},
    {"brief", {"uninst_*.exe", "msiexec.exe", nullptr}, RunBriefly},
    {"brief", {"vcredist_x86.exe", "vcredist_x64.exe", nullptr}, RunBriefly},
    {"until-terminated", {"iexplore.exe", nullptr, nullptr}, RunUntilTerminated},
};
const Role kGenericRole = {"until-terminated", {nullptr, nullptr, nullptr}, RunUntilTerminated};

bool RoleHasImage(const Role& role, const std::string& image) {
  for (const char* pattern : role.patterns)
    if (pattern != nullptr && MatchesIgnoringCase(pattern, image)) return true;
  return false;
}

const Role* RoleByName(const std::string& name) {
  for (const Role& role : kRoles)
    if (name == role.name) return &role;
  return name == kGenericRole.name ? &kGenericRole : nullptr;
}

// The role an image name plays on this prefix: a setting first, then the extra rows, then the table.
// hostPath, when known, is what the extra rows with a "/" in their pattern are matched against.
const Role& RoleFor(const Context& context, const std::string& image, const std::string& hostPath = "") {
  if (!context.prefixRoot.empty()) {
    std::string lower = image;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& key : {kSettingRolePrefix + image, kSettingRolePrefix + lower}) {
      if (const Role* role = RoleByName(ReadSetting(context.prefixRoot, key, ""))) return *role;
    }
  }
  for (const ExtraRole& extra : ExtraRoles()) {
    const bool byPath = std::strchr(extra.imagePattern, '/') != nullptr;
    if (byPath ? MatchesIgnoringCase(extra.imagePattern, hostPath) : MatchesIgnoringCase(extra.imagePattern, image)) {
      if (const Role* role = RoleByName(extra.roleName)) return *role;
    }
  }
  for (const Role& role : kRoles)
    if (RoleHasImage(role, image)) return role;
  return kGenericRole;
}

// Waits until SIGTERM or SIGINT came or the time (no limit when negative) has passed. True when stopped.
bool WaitForStop(std::chrono::milliseconds time) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &stop, &previous);
  if (time.count() < 0) {
    while (!g_stopRequested) sigsuspend(&previous);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + time;
    while (!g_stopRequested) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) break;
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      int sig = sigtimedwait(&stop, nullptr, &wait);
      if (sig == SIGTERM || sig == SIGINT) g_stopRequested = 1;
    }
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return g_stopRequested != 0;
}

bool IsQuitRequest(const Context& context) { return context.args.size() == 1 && context.args[0] == "-t"; }

bool QuitHangs(const Context& context) {
  if (context.prefixRoot.empty()) return false;
  const std::string names = ReadSetting(context.prefixRoot, kSettingHangQuit, "");
  size_t pos = 0;
  while (pos <= names.size()) {
    size_t comma = names.find(',', pos);
    if (comma == std::string::npos) comma = names.size();
    const std::string name = names.substr(pos, comma - pos);
    if (name == "*" || (!name.empty() && ::strcasecmp(name.c_str(), context.image.c_str()) == 0)) return true;
    pos = comma + 1;
  }
  return false;
}

std::unique_ptr<platform::posix::PosixPlatform> OpenMachine(const Context& context) {
  if (context.prefixRoot.empty()) return nullptr;
  std::string error;
  return platform::posix::CreatePosixPlatform(context.prefixRoot, &error);
}

// "-t": every instance of the same program that started before this one is told to quit and waited for
// (killed when it does not end in time); then this one ends.
int QuitRunningInstances(const Context& context) {
  if (QuitHangs(context)) return RunUntilTerminated(context);
  auto machine = OpenMachine(context);
  if (machine == nullptr) {
    Record(context, "end", context.parameters);
    return 1;
  }
  const Role& mine = RoleFor(context, context.image);
  std::vector<platform::ProcessEntry> processes;
  (void)machine->Procs().Snapshot(&processes);
  std::vector<platform::ProcessId> told;
  const auto self = static_cast<platform::ProcessId>(::getpid());
  for (const auto& process : processes) {
    if (process.id == self) break;  // the snapshot lists the earliest first
    if (&RoleFor(context, process.imageName) != &mine) continue;
    if (::kill(static_cast<pid_t>(process.id), SIGTERM) == 0) told.push_back(process.id);
  }
  const auto deadline = std::chrono::steady_clock::now() + kQuitWait;
  for (platform::ProcessId id : told) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const uint32_t ms = left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
    if (machine->Procs().WaitForExit(id, ms) == platform::Error::kTimeout) (void)machine->Procs().Terminate(id, 0);
  }
  Record(context, "end", context.parameters);
  return 0;
}

int RunAssistantProgram(const Context& context) {
  if (IsQuitRequest(context)) return QuitRunningInstances(context);
  return RunUntilTerminated(context);
}

// The pop-up program's command messages: "NOVRA_Pop" + command + "||" + parameter.
constexpr const char* kPopupPipe = "\\\\.\\pipe\\NOVRA_PopNOVRA861";
constexpr const char* kMessageHead = "NOVRA_Pop";
constexpr const char* kAllianceCode = "NOVRA";

void Answer(platform::KernelObjects& objects, const std::string& message, const std::string& answer,
            std::vector<std::unique_ptr<platform::EventHandle>>* held) {
  const std::string head = kMessageHead;
  if (answer != "yes" && answer != "no") return;
  if (message.compare(0, head.size(), head) != 0) return;
  const size_t bars = message.find("||", head.size());
  if (bars == std::string::npos) return;
  const std::string command = message.substr(head.size(), bars - head.size());
  const std::string name =
      "Global\\" + head + command + kAllianceCode + (answer == "yes" ? "_Yes" : "_No");
  // The handle is kept, so the signal outlives this program's side of the event until the asker has
  // opened it too.
  std::unique_ptr<platform::EventHandle> event;
  platform::Status created = objects.CreateEvent(name, false, false, &event);
  if ((created.ok() || created == platform::Error::kAlreadyExists) && event != nullptr) {
    (void)event->Set();
    held->push_back(std::move(event));
  }
}

int RunPopupProgram(const Context& context) {
  if (IsQuitRequest(context)) return QuitRunningInstances(context);
  auto machine = OpenMachine(context);
  std::unique_ptr<platform::PipeServer> server;
  if (machine != nullptr) (void)machine->Objects().CreatePipeServer(kPopupPipe, &server);
  if (server == nullptr) return RunUntilTerminated(context);  // another instance serves the pipe

  const std::string answer = ReadSetting(context.prefixRoot, kSettingPopupAnswer, "none");
  std::vector<std::unique_ptr<platform::EventHandle>> held;
  constexpr uint32_t kPollMs = 50;  // how often the loops look at the stop flag
  while (!g_stopRequested) {
    std::unique_ptr<platform::PipeConnection> connection;
    if (!server->Accept(&connection, kPollMs).ok() || connection == nullptr) continue;
    while (!g_stopRequested) {
      std::string message;
      platform::Status read = connection->Read(&message, kPollMs);
      if (read == platform::Error::kTimeout) continue;
      if (!read.ok()) break;  // the client closed its end
      Record(context, "message", message);
      Answer(machine->Objects(), message, answer, &held);
    }
  }
  Record(context, "end", context.parameters);
  return 0;
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string(fallback);
}

}  // namespace

int RunUntilTerminated(const Context& context) {
  WaitForStop(std::chrono::milliseconds(-1));
  Record(context, "end", context.parameters);
  return 0;
}

int RunBriefly(const Context& context) {
  long ms = std::strtol(ReadSetting(context.prefixRoot, kSettingMomentMs, "500").c_str(), nullptr, 10);
  if (ms < 0) ms = 0;
  WaitForStop(std::chrono::milliseconds(ms));
  Record(context, "end", context.parameters);
  return 0;
}

int RunStandin(int argc, char** argv) {
  platform::posix::HoldOwnImageLock();
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  Context context;
  context.prefixRoot = EnvOr("VODA_PREFIX", "");
  std::string self = argc > 0 ? argv[0] : "standin";
  size_t slash = self.rfind('/');
  context.image = slash == std::string::npos ? self : self.substr(slash + 1);
  context.show = EnvOr("VODA_SHOW", "-");
  for (int i = 1; i < argc; ++i) context.args.emplace_back(argv[i]);
  if (const char* given = std::getenv("VODA_PARAMETERS")) {
    context.parameters = given;
  } else {
    for (int i = 1; i < argc; ++i) context.parameters += (i > 1 ? " " : "") + std::string(argv[i]);
  }
  Record(context, "start", context.parameters);
  return RoleFor(context, context.image, self).run(context);
}

}  // namespace standins

int main(int argc, char** argv) { return standins::RunStandin(argc, argv); }
