// libFuzzer target over the scripted-user format: any text parses into commands or is refused with the
// number of its first bad line; every line of a parsed script splits into the words of its command, and
// its commands come in line order, none empty.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "gui/script.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_script: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<gui::ScriptCommand> commands;
  std::string error;
  if (!gui::ParseScript(text, &commands, &error)) {
    if (error.rfind("line ", 0) != 0) Fail("a refusal without its line number");
    return 0;
  }
  if (!error.empty()) Fail("a parsed script with an error");
  int previous = 0;
  for (const gui::ScriptCommand& command : commands) {
    if (command.words.empty()) Fail("an empty command");
    if (command.line <= previous) Fail("commands out of line order");
    previous = command.line;
  }
  // Line by line, the same words.
  std::istringstream in(text);
  std::string line;
  int number = 0;
  std::size_t next = 0;
  while (std::getline(in, line)) {
    ++number;
    std::vector<std::string> words;
    std::string why;
    if (!gui::SplitScriptLine(line, &words, &why)) Fail("a line of a parsed script does not split");
    if (words.empty()) continue;
    if (next >= commands.size() || commands[next].line != number || commands[next].words != words) {
      Fail("a command differs from its line's words");
    }
    ++next;
  }
  if (next != commands.size()) Fail("more commands than lines");
  return 0;
}
