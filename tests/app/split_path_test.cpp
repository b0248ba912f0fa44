#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/utilities.h"

namespace {

TEST(SplitPath, PiecesInOrder) {
  struct Case {
    const char* text;
    const char* delimiters;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"C:\\A\\\\B\\", "\\", {"C:", "A", "B"}},          // runs count as one, no empty last piece
      {"\\A\\B", "\\", {"", "A", "B"}},                  // a leading delimiter gives an empty first piece
      {"\\\\\\A", "\\", {"", "A"}},
      {"C:\\Program Files (x86)\\X", "\\", {"C:", "Program Files (x86)", "X"}},
      {"a;b,,c", ";,", {"a", "b", "c"}},                 // any of the delimiter characters
      {"plain", "\\", {"plain"}},
      {"", "\\", {""}},
      {"\\", "\\", {""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> pieces;
    SplitPath(c.text, c.delimiters, pieces);
    EXPECT_EQ(pieces, c.pieces);
  }
}

TEST(SplitPath, AppendsToTheList) {
  std::vector<std::string> pieces{"kept"};
  SplitPath("x\\y", "\\", pieces);
  EXPECT_EQ(pieces, (std::vector<std::string>{"kept", "x", "y"}));
}

}  // namespace
