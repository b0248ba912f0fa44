// The stand-ins' journal: one line per thing that happened to a stand-in program, appended to
// <prefix>/journal.log with one write each (O_APPEND), so lines of concurrent stand-ins never mix.
//
// Line: event, process id, image name, show mode, parameters, start time, separated by tabs and ended
// by "\n".
//   event       "start" when it began, "end" when it ended by itself or on SIGTERM/SIGINT (a process
//               killed outright leaves no "end"), "message" for each message the pop-up program read
//               from its pipe
//   show mode   VODA_SHOW as its starter set it ("SW_SHOW", "SW_HIDE"), "-" when none was given
//   parameters  VODA_PARAMETERS (the parameters text exactly as the starter gave it) when set, else the
//               arguments joined by blanks
//   start time  when the process was created, in clock ticks since boot (/proc/<pid>/stat), 0 when
//               unknown; a line without it reads as 0. Processes started one after another by the same
//               starter have rising start times (ties broken by pid, as the process snapshot orders
//               them), whatever order they wrote their lines in.
// Inside a field a backslash, tab, line feed and carriage return are written \\, \t, \n and \r.
// Any other control byte (below 0x20, and 0x7F) is written \xHH, so every byte survives the round trip;
// the pop-up program's "message" lines carry the bytes it received in their parameters field.
#pragma once

#include <string>
#include <vector>

namespace standins {

struct JournalEntry {
  std::string event;
  int pid = 0;
  std::string image;
  std::string show;
  std::string parameters;
  unsigned long long started = 0;
};

std::string JournalPath(const std::string& prefixRoot);

std::string FormatJournalLine(const JournalEntry& entry);  // with its "\n"
bool ParseJournalLine(const std::string& line, JournalEntry* entry);  // line without its "\n"

// Appends one line in one write. False when the journal cannot be written.
bool AppendJournal(const std::string& prefixRoot, const JournalEntry& entry);

// Every well-formed line of the journal, oldest first; empty when there is none.
std::vector<JournalEntry> ReadJournal(const std::string& prefixRoot);

// The calling process's start time as the journal records it; 0 when it cannot be read.
unsigned long long OwnStartTime();

// The "start" entries of a journal in the order the processes were started (start time, then pid).
std::vector<JournalEntry> StartsInStartOrder(const std::vector<JournalEntry>& journal);

}  // namespace standins
