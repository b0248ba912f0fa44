// The stand-in program: plays whichever program of the machine it was started as. Its role follows the
// file name it runs under (copies are made under the names needed); every stand-in holds the lock on its
// own image while it runs and records its start and end in the prefix's journal.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/image_lock.h"
#include "standins/journal.h"

namespace {

volatile sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int) { g_stopRequested = 1; }

struct Context {
  std::string prefixRoot;  // empty: not on a prefix, nothing is recorded
  std::string image;
  std::string show;
  std::string parameters;
};

void Record(const Context& context, const char* event) {
  if (context.prefixRoot.empty()) return;
  standins::JournalEntry entry;
  entry.event = event;
  entry.pid = static_cast<int>(::getpid());
  entry.image = context.image;
  entry.show = context.show;
  entry.parameters = context.parameters;
  standins::AppendJournal(context.prefixRoot, entry);
}

// Runs until it is terminated (a kill, or SIGTERM/SIGINT, after which it records its end).
int RunUntilTerminated(const Context& context) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &stop, &previous);
  while (!g_stopRequested) sigsuspend(&previous);
  Record(context, "end");
  return 0;
}

struct Role {
  const char* imageName;  // compared ignoring case
  int (*run)(const Context&);
};

// The roles by image name; any other name plays the generic program.
const Role kRoles[] = {
    {"iexplore.exe", RunUntilTerminated},
};
const Role kGenericRole = {"", RunUntilTerminated};

const Role& RoleFor(const std::string& image) {
  for (const Role& role : kRoles)
    if (::strcasecmp(role.imageName, image.c_str()) == 0) return role;
  return kGenericRole;
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string(fallback);
}

}  // namespace

int main(int argc, char** argv) {
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
  if (const char* given = std::getenv("VODA_PARAMETERS")) {
    context.parameters = given;
  } else {
    for (int i = 1; i < argc; ++i) context.parameters += (i > 1 ? " " : "") + std::string(argv[i]);
  }
  Record(context, "start");
  return RoleFor(context.image).run(context);
}
