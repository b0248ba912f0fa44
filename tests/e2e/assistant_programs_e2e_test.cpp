// The assistant's programs in whole runs of the built downloader: a release whose main and pop-up
// programs are the stand-ins, published with voda-release and served by update-server on 127.0.0.1. A
// first installation ends with both programs running; a silent update tells the running pop-up program,
// stops both before the copy, replaces the running main program's file and starts both again. What the
// programs saw is read from the stand-ins' journal.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "app/run_program.h"
#include "e2e_support.h"
#include "platform/process.h"
#include "standins/journal.h"
#include "support/temp_prefix.h"

namespace {

namespace fs = std::filesystem;
using apptest::ProgramRun;
using standins::JournalEntry;

const std::string kAcceptDefaults = std::string(e2e::kAcceptDefaults) +
                                    "wait text 1020 \"完成安装,准备启动助手\" 60\n"
                                    "sleep 60000\n";

std::string Standin() { return voda_test::ReadHostFile(std::string(VODA_BIN_DIR) + "/standin"); }

// The starts the journal holds from entry `from` on, as "image [parameters] show", in the order the
// processes were started.
std::vector<std::string> Starts(const std::vector<JournalEntry>& journal, size_t from = 0) {
  std::vector<std::string> starts;
  const std::vector<JournalEntry> tail(journal.begin() + static_cast<std::ptrdiff_t>(std::min(from, journal.size())),
                                       journal.end());
  for (const JournalEntry& e : standins::StartsInStartOrder(tail))
    starts.push_back(e.image + " [" + e.parameters + "] " + e.show);
  return starts;
}

class AssistantProgramsRun : public e2e::MachineRun {
 protected:
  // The assistant's programs as stand-ins (the main program's file marked with its edition), and a
  // data file.
  static std::map<std::string, std::string> Release(const std::string& edition) {
    return {{"ZivIV_861.exe", Standin() + edition},
            {"QuillonPop.exe", Standin()},
            {"QuillonPop_861.exe", Standin()},
            {"Data/d.dat", "data"},
            {"bank/Tools/t.dat", "bank tool"}};
  }

  void Publish(const std::string& version, const std::map<std::string, std::string>& files,
               const std::string& update) {
    std::string release;
    ASSERT_NO_FATAL_FAILURE(PublishRelease(version, files, update, &release));
    ASSERT_NO_FATAL_FAILURE(Serve(release));
  }

  std::vector<JournalEntry> Journal() const { return standins::ReadJournal(machine_.root()); }

  // The journal once it holds at least `starts` starts from entry `from` on (bounded): the downloader
  // ends right after it started the last program, which records its own start.
  std::vector<JournalEntry> JournalWithStarts(size_t from, size_t starts) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<JournalEntry> journal = Journal();
    while (Starts(journal, from).size() < starts && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      journal = Journal();
    }
    return journal;
  }

  // The image names of the machine's running programs once they are exactly `expected` (bounded).
  std::vector<std::string> RunningPrograms(const std::vector<std::string>& expected) {
    std::vector<std::string> running;
    std::string error;
    auto machine = machine_.Reopen(&error);
    EXPECT_TRUE(machine) << error;
    if (!machine) return running;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      running.clear();
      std::vector<platform::ProcessEntry> processes;
      if (machine->Procs().Snapshot(&processes).ok())
        for (const auto& p : processes) running.push_back(p.imageName);
      if (running == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return running;
  }
};

TEST_F(AssistantProgramsRun, FirstInstallationEndsWithTheAssistantRunning) {
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.1", Release("v1"), "2"));
  Run({}, kAcceptDefaults);

  // Before the copy the freshly installed programs are asked to quit (nothing runs yet); at the end
  // each is started with "-t" and then without parameters, the pop-up program first.
  EXPECT_EQ(Starts(JournalWithStarts(0, 6)),
            (std::vector<std::string>{"ZivIV_861.exe [ -t] SW_HIDE", "QuillonPop_861.exe [ -t] SW_HIDE",
                                      "QuillonPop.exe [-t] SW_SHOW", "QuillonPop.exe [] SW_SHOW",
                                      "ZivIV_861.exe [-t] SW_SHOW", "ZivIV_861.exe [] SW_SHOW"}));
  EXPECT_EQ(RunningPrograms({"QuillonPop.exe", "ZivIV_861.exe"}),
            (std::vector<std::string>{"QuillonPop.exe", "ZivIV_861.exe"}));
}

TEST_F(AssistantProgramsRun, SilentUpdateTellsThePopupProgramStopsBothAndStartsThemAgain) {
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.1", Release("v1"), "2"));
  Run({}, kAcceptDefaults);
  (void)JournalWithStarts(0, 6);
  ASSERT_EQ(RunningPrograms({"QuillonPop.exe", "ZivIV_861.exe"}),
            (std::vector<std::string>{"QuillonPop.exe", "ZivIV_861.exe"}));
  const size_t before = Journal().size();
  std::vector<int> runningBefore;
  for (const auto& e : Journal())
    if (e.event == "start" && e.parameters.empty()) runningBefore.push_back(e.pid);

  // The server answers "update" 2: the update runs at once and unseen.
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.2", Release("v2"), "2"));
  const ProgramRun update = Run({"-update"}, "sleep 90000\n");
  EXPECT_NE(update.standardError.find("[ui] dialog 135 hidden"), std::string::npos) << update.standardError;

  const std::vector<JournalEntry> journal = JournalWithStarts(before, 7);
  std::vector<std::string> messages;
  for (size_t i = before; i < journal.size(); ++i)
    if (journal[i].event == "message") messages.push_back(journal[i].parameters);
  EXPECT_EQ(messages, std::vector<std::string>{"NOVRA_PopUpdatePopCmd||"});
  EXPECT_EQ(Starts(journal, before),
            (std::vector<std::string>{"ZivIV_861.exe [-t] SW_SHOW", "ZivIV_861.exe [ -t] SW_HIDE",
                                      "QuillonPop_861.exe [ -t] SW_HIDE", "QuillonPop.exe [-t] SW_SHOW",
                                      "QuillonPop.exe [] SW_SHOW", "ZivIV_861.exe [-t] SW_SHOW",
                                      "ZivIV_861.exe [] SW_SHOW"}));
  // The programs that ran before the update quit by themselves, and the main program's file is the
  // new edition, although it was running when the update started.
  for (int pid : runningBefore) {
    bool ended = false;
    for (const auto& e : journal) ended = ended || (e.pid == pid && e.event == "end");
    EXPECT_TRUE(ended) << pid;
  }
  EXPECT_EQ(voda_test::ReadHostFile(InstalledHost("ZivIV_861.exe")), Standin() + "v2");
  EXPECT_EQ(RunningPrograms({"QuillonPop.exe", "ZivIV_861.exe"}),
            (std::vector<std::string>{"QuillonPop.exe", "ZivIV_861.exe"}));
}

}  // namespace
