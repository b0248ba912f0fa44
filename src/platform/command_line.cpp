#include <string>
#include <vector>

#include "platform/process.h"

namespace platform {

std::vector<std::string> SplitCommandLine(const std::string& parameters) {
  std::vector<std::string> args;
  const size_t n = parameters.size();
  size_t i = 0;
  for (;;) {
    while (i < n && (parameters[i] == ' ' || parameters[i] == '\t')) ++i;
    if (i == n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      const char c = parameters[i];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        size_t end = i;
        while (end < n && parameters[end] == '\\') ++end;
        const size_t count = end - i;
        if (end < n && parameters[end] == '"') {
          arg.append(count / 2, '\\');
          if (count % 2 == 1) {
            arg += '"';
            i = end + 1;
          } else {
            i = end;  // the quote opens or closes a quoted part
          }
        } else {
          arg.append(count, '\\');
          i = end;
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && parameters[i + 1] == '"') {
          arg += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
        continue;
      }
      arg += c;
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace platform
