#include "standins/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace standins {
namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          static const char kHex[] = "0123456789abcdef";
          out += "\\x";
          out += kHex[static_cast<unsigned char>(c) >> 4];
          out += kHex[static_cast<unsigned char>(c) & 15];
        } else {
          out += c;
        }
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': *out += '\\'; break;
      case 't': *out += '\t'; break;
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        *out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

}  // namespace

std::string JournalPath(const std::string& prefixRoot) { return prefixRoot + "/journal.log"; }

std::string FormatJournalLine(const JournalEntry& entry) {
  return Escape(entry.event) + "\t" + std::to_string(entry.pid) + "\t" + Escape(entry.image) + "\t" +
         Escape(entry.show) + "\t" + Escape(entry.parameters) + "\t" + std::to_string(entry.started) + "\n";
}

bool ParseJournalLine(const std::string& line, JournalEntry* entry) {
  std::vector<std::string> fields;
  size_t pos = 0;
  for (;;) {
    size_t tab = line.find('\t', pos);
    fields.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
    if (tab == std::string::npos) break;
    pos = tab + 1;
  }
  if (fields.size() != 5 && fields.size() != 6) return false;
  char* end = nullptr;
  long pid = std::strtol(fields[1].c_str(), &end, 10);
  if (fields[1].empty() || *end != '\0' || pid <= 0) return false;
  JournalEntry parsed;
  parsed.pid = static_cast<int>(pid);
  if (fields.size() == 6) {
    const std::string& started = fields[5];
    if (started.empty() || started.find_first_not_of("0123456789") != std::string::npos) return false;
    parsed.started = std::strtoull(started.c_str(), nullptr, 10);
  }
  if (!Unescape(fields[0], &parsed.event) || !Unescape(fields[2], &parsed.image) ||
      !Unescape(fields[3], &parsed.show) || !Unescape(fields[4], &parsed.parameters))
    return false;
  *entry = std::move(parsed);
  return true;
}

bool AppendJournal(const std::string& prefixRoot, const JournalEntry& entry) {
  const std::string line = FormatJournalLine(entry);
  int fd = ::open(JournalPath(prefixRoot).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = ::write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == static_cast<ssize_t>(line.size());
}

std::vector<JournalEntry> ReadJournal(const std::string& prefixRoot) {
  std::vector<JournalEntry> entries;
  std::ifstream in(JournalPath(prefixRoot), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // a last line without its line end is still being written
    JournalEntry entry;
    if (ParseJournalLine(line, &entry)) entries.push_back(std::move(entry));
  }
  return entries;
}

unsigned long long OwnStartTime() {
  std::ifstream in("/proc/self/stat", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold blanks and parentheses: the fields after it start behind its last ")".
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int index = 3; fields >> field; ++index) {  // field 3 is the state, field 22 the start time
    if (index == 22) return std::strtoull(field.c_str(), nullptr, 10);
  }
  return 0;
}

std::vector<JournalEntry> StartsInStartOrder(const std::vector<JournalEntry>& journal) {
  std::vector<JournalEntry> starts;
  for (const JournalEntry& entry : journal)
    if (entry.event == "start") starts.push_back(entry);
  std::stable_sort(starts.begin(), starts.end(), [](const JournalEntry& a, const JournalEntry& b) {
    return a.started != b.started ? a.started < b.started : a.pid < b.pid;
  });
  return starts;
}

}  // namespace standins
