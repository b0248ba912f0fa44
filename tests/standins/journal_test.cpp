#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "standins/journal.h"

namespace {

using standins::JournalEntry;

class TempFolder {
 public:
  TempFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "journal-XXXXXX").string();
    if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(Journal, FieldsWithSeparatorsSurviveTheRoundTrip) {
  JournalEntry entry{"start", 4242, "Quillon Pop.exe", "SW_HIDE",
                     std::string(" -t\t\"C:\\a\\\\b\"\r\nnext \\n \x01\x1f\x7f\xff\\x41 ") + '\0' + "end"};
  const std::string line = standins::FormatJournalLine(entry);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);  // one line whatever the fields hold
  EXPECT_EQ(line.find('\0'), std::string::npos);  // and no raw control byte
  JournalEntry parsed;
  ASSERT_TRUE(standins::ParseJournalLine(line.substr(0, line.size() - 1), &parsed));
  EXPECT_EQ(parsed.event, entry.event);
  EXPECT_EQ(parsed.pid, entry.pid);
  EXPECT_EQ(parsed.image, entry.image);
  EXPECT_EQ(parsed.show, entry.show);
  EXPECT_EQ(parsed.parameters, entry.parameters);
  EXPECT_EQ(parsed.started, 0u);
}

TEST(Journal, StartTimeRoundTripsAndOrdersTheStarts) {
  JournalEntry late{"start", 30, "b.exe", "SW_SHOW", "", 200};
  JournalEntry early{"start", 40, "a.exe", "SW_SHOW", "-t", 100};
  JournalEntry sameTickLowerPid{"start", 20, "c.exe", "SW_SHOW", "", 200};
  JournalEntry end{"end", 40, "a.exe", "SW_SHOW", "-t", 100};
  JournalEntry parsed;
  const std::string line = standins::FormatJournalLine(late);
  ASSERT_TRUE(standins::ParseJournalLine(line.substr(0, line.size() - 1), &parsed));
  EXPECT_EQ(parsed.started, 200u);
  // A line of five fields has no start time.
  ASSERT_TRUE(standins::ParseJournalLine("start\t7\tx.exe\t-\t", &parsed));
  EXPECT_EQ(parsed.started, 0u);

  std::vector<int> pids;
  for (const auto& e : standins::StartsInStartOrder({late, end, early, sameTickLowerPid})) pids.push_back(e.pid);
  EXPECT_EQ(pids, (std::vector<int>{40, 20, 30}));
  EXPECT_GT(standins::OwnStartTime(), 0u);
}

TEST(Journal, MalformedLinesAreRejected) {
  const char* lines[] = {"", "start\t1\ta\tSW_SHOW", "start\tx\ta\tSW_SHOW\t", "start\t0\ta\t-\t",
                         "start\t1\ta\t-\tbad\\escape", "start\t1\ta\t-\tcut\\x4", "start\t1\ta\t-\tnot\\xg0hex",
                         "start\t1\ta\t-\tp\textra"};
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    JournalEntry entry;
    EXPECT_FALSE(standins::ParseJournalLine(line, &entry));
  }
}

TEST(Journal, ConcurrentWritersNeverMixLinesAndAnUnfinishedLastLineIsSkipped) {
  TempFolder folder;
  constexpr int kWriters = 4;
  constexpr int kLines = 200;
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    if (pid == 0) {
      for (int i = 0; i < kLines; ++i) {
        JournalEntry e{"start", static_cast<int>(::getpid()), "w" + std::to_string(w) + ".exe", "SW_SHOW",
                       std::string(static_cast<size_t>(100 + i * 20), static_cast<char>('a' + w))};
        if (!standins::AppendJournal(folder.path(), e)) ::_exit(1);
      }
      ::_exit(0);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::ofstream(standins::JournalPath(folder.path()), std::ios::app) << "start\t99\thalf";

  auto entries = standins::ReadJournal(folder.path());
  ASSERT_EQ(entries.size(), static_cast<size_t>(kWriters * kLines));
  for (const auto& e : entries) {
    const char fill = static_cast<char>('a' + (e.image[1] - '0'));
    EXPECT_EQ(e.parameters.find_first_not_of(fill), std::string::npos) << e.image;
  }
}

}  // namespace
