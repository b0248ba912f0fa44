// Faults the update server injects for tests, chosen per request path.
//
// One rule a line:   PATH [first=N] ACTION [ARGUMENT]
//
//   PATH      the request path as the server compares it: percent-decoded, "\" read as "/", empty and
//             "." segments dropped, so /files/Plugins\a.dll and /files//Plugins/a.dll are both
//             /files/Plugins/a.dll; the query string is not part of it. A final "*" matches any rest
//             ("*" alone matches every request).
//   first=N   the rule applies to the first N matching requests only (every request without it).
//   ACTION    delay MS     wait MS milliseconds before sending anything
//             stall MS     send the headers and the first half of the body, then wait MS milliseconds
//             status CODE  answer with status CODE (200 to 599) instead; the body stays
//             cut N        send only the first N bytes of the body, then close the connection
//                          (Content-Length still gives the whole length)
//             length N     Content-Length says N whatever the body's length; the whole body follows,
//                          then the connection closes
//             body TEXT    the body is TEXT (the rest of the line), as it stands
//             sealed TEXT  the body is TEXT sealed as a version-query reply (give a JSON text, for
//                          example one whose "v" is a number)
//             append TEXT  TEXT is added after the body ("append 0" makes an odd-length reply)
// Blank lines and lines starting with "#" are ignored. Every rule that matches a request applies, in
// file order; a later rule of the same action replaces an earlier one.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What the faults of one request change.
struct FaultPlan {
  long delayMs = 0;
  long stallMs = 0;
  std::optional<int> status;
  std::optional<std::size_t> cutAt;
  std::optional<std::size_t> declaredLength;
  std::optional<std::string> body;
  std::optional<std::string> sealedBody;
  std::string appended;
  std::string notes;  // the rules applied, for the request log

  bool Any() const { return !notes.empty(); }
};

class FaultRules {
 public:
  // Adds the rules of a text (a rules file or one rule). False with a message naming the line (counted
  // from `firstLine`) when a line is not a rule; no rule of the text is added then.
  bool Add(const std::string& text, std::string& error, int firstLine = 1);

  // The faults for a request of this path (in the compared form); counts the request against the
  // rules' first=N limits. Safe to call from several threads.
  FaultPlan Take(const std::string& path);

  bool Empty() const { return m_rules.empty(); }

 private:
  enum class Action { Delay, Stall, Status, Cut, Length, Body, Sealed, Append };
  struct Rule {
    std::string pattern;
    long limit = -1;  // -1: every request
    long used = 0;
    Action action = Action::Delay;
    long number = 0;
    std::string text;
    std::string line;
  };
  static bool ParseLine(const std::string& line, Rule& rule, std::string& error);
  static bool Matches(const std::string& pattern, const std::string& path);

  std::mutex m_mutex;
  std::vector<Rule> m_rules;
};
