#include "server/fault_rules.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "server/release.h"

namespace {

std::string Trimmed(const std::string& text) {
  const char* space = " \t\r\n";
  const std::size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// The next blank-separated word of `text` from `at`, moving `at` past it.
std::string NextWord(const std::string& text, std::size_t& at) {
  const std::size_t start = text.find_first_not_of(" \t", at);
  if (start == std::string::npos) {
    at = text.size();
    return std::string();
  }
  const std::size_t end = text.find_first_of(" \t", start);
  at = end == std::string::npos ? text.size() : end;
  return text.substr(start, at - start);
}

bool ParseCount(const std::string& word, long max, long& value) {
  if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const long long parsed = std::strtoll(word.c_str(), nullptr, 10);
  if (errno != 0 || parsed > max) return false;
  value = static_cast<long>(parsed);
  return true;
}

}  // namespace

bool FaultRules::ParseLine(const std::string& line, Rule& rule, std::string& error) {
  std::size_t at = 0;
  std::string pattern = NextWord(line, at);
  std::string word = NextWord(line, at);
  if (word.compare(0, 6, "first=") == 0) {
    if (!ParseCount(word.substr(6), 1000000000L, rule.limit) || rule.limit == 0) {
      error = "first= needs a count of at least 1";
      return false;
    }
    word = NextWord(line, at);
  }
  if (word.empty()) {
    error = "a rule is PATH [first=N] ACTION [ARGUMENT]";
    return false;
  }
  // The path is compared in its normalised form; a final "*" stays a wildcard.
  const bool wildcard = !pattern.empty() && pattern.back() == '*';
  if (wildcard) pattern.pop_back();
  std::vector<std::string> segments;
  if (!SplitRequestPath(pattern, segments)) {
    error = "the path " + pattern + " is not a request path";
    return false;
  }
  if (!wildcard) {
    rule.pattern = JoinedPath(segments);
  } else if (pattern.empty()) {
    rule.pattern = "*";
  } else {
    // "/files/*" matches everything below /files; "/files/a*" the names that begin with "a".
    const bool endsWithSeparator = pattern.back() == '/' || pattern.back() == '\\';
    rule.pattern = (segments.empty() ? std::string() : JoinedPath(segments)) + (endsWithSeparator ? "/" : "") + "*";
  }

  const std::string rest = Trimmed(line.substr(at));
  struct Named {
    const char* name;
    Action action;
    bool number;
  };
  static const Named kActions[] = {
      {"delay", Action::Delay, true},   {"stall", Action::Stall, true},   {"status", Action::Status, true},
      {"cut", Action::Cut, true},       {"length", Action::Length, true}, {"body", Action::Body, false},
      {"sealed", Action::Sealed, false}, {"append", Action::Append, false},
  };
  for (const Named& named : kActions) {
    if (word != named.name) continue;
    rule.action = named.action;
    if (named.number) {
      if (!ParseCount(rest, 1000000000L, rule.number)) {
        error = word + " needs a whole number";
        return false;
      }
      if (rule.action == Action::Status && (rule.number < 200 || rule.number > 599)) {
        error = "status needs a code from 200 to 599";
        return false;
      }
    } else {
      if (rest.empty()) {
        error = word + " needs a text";
        return false;
      }
      rule.text = rest;
    }
    rule.line = Trimmed(line);
    return true;
  }
  error = "unknown action " + word;
  return false;
}

bool FaultRules::Add(const std::string& text, std::string& error, int firstLine) {
  std::vector<Rule> added;
  std::istringstream lines(text);
  std::string line;
  int number = firstLine - 1;
  while (std::getline(lines, line)) {
    ++number;
    const std::string trimmed = Trimmed(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    Rule rule;
    std::string why;
    if (!ParseLine(trimmed, rule, why)) {
      error = "line " + std::to_string(number) + ": " + why + ": " + trimmed;
      return false;
    }
    added.push_back(rule);
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rules.insert(m_rules.end(), added.begin(), added.end());
  return true;
}

bool FaultRules::Matches(const std::string& pattern, const std::string& path) {
  if (!pattern.empty() && pattern.back() == '*') {
    return path.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  }
  return pattern == path;
}

FaultPlan FaultRules::Take(const std::string& path) {
  FaultPlan plan;
  std::lock_guard<std::mutex> lock(m_mutex);
  for (Rule& rule : m_rules) {
    if (!Matches(rule.pattern, path)) continue;
    if (rule.limit >= 0 && rule.used >= rule.limit) continue;
    ++rule.used;
    switch (rule.action) {
      case Action::Delay: plan.delayMs = rule.number; break;
      case Action::Stall: plan.stallMs = rule.number; break;
      case Action::Status: plan.status = static_cast<int>(rule.number); break;
      case Action::Cut: plan.cutAt = static_cast<std::size_t>(rule.number); break;
      case Action::Length: plan.declaredLength = static_cast<std::size_t>(rule.number); break;
      case Action::Body:
        plan.body = rule.text;
        plan.sealedBody.reset();
        break;
      case Action::Sealed:
        plan.sealedBody = rule.text;
        plan.body.reset();
        break;
      case Action::Append: plan.appended += rule.text; break;
    }
    plan.notes += (plan.notes.empty() ? "" : "; ") + rule.line;
  }
  return plan;
}
