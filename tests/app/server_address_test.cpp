#include <gtest/gtest.h>

#include <string>

#include "app/downloader_app.h"
#include "app/server_address.h"

namespace {

TEST(ServerAddress, ThreeLinesReplaceTheEndpoint) {
  struct Case {
    const char* name;
    std::string text;
    bool accepted;
    const char* baseUrl;
    const char* pathPrefix;
    const char* queryPath;
  };
  const Case cases[] = {
      {"three lines", "https://a.example\n/p\n/q?data=\n", true, "https://a.example", "/p", "/q?data="},
      {"CRLF line ends", "https://a.example\r\n/p\r\n/q\r\n", true, "https://a.example", "/p", "/q"},
      {"last line without line feed", "u\np\nq", true, "u", "p", "q"},
      {"empty third line", "u\np\n\n", true, "u", "p", ""},
      {"empty second line", "u\n\nq\n", true, "u", "", "q"},
      {"more than three lines", "u\np\nq\nextra\nmore\n", true, "u", "p", "q"},
      {"nothing trimmed", " u \np\t\nq \n", true, " u ", "p\t", "q "},
      {"lone carriage return stays", "u\rx\np\nq\n", true, "u\rx", "p", "q"},
      {"two lines", "u\np\n", false, "old", "oldp", "oldq"},
      {"two lines without line feed", "u\np", false, "old", "oldp", "oldq"},
      {"one line", "u\n", false, "old", "oldp", "oldq"},
      {"empty file", "", false, "old", "oldp", "oldq"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerEndpoint server;
    server.baseUrl = "old";
    server.pathPrefix = "oldp";
    server.queryPath = "oldq";
    server.alternateBaseUrls = {"alt"};
    EXPECT_EQ(ApplyServerAddress(c.text, server), c.accepted);
    EXPECT_EQ(server.baseUrl, c.baseUrl);
    EXPECT_EQ(server.pathPrefix, c.pathPrefix);
    EXPECT_EQ(server.queryPath, c.queryPath);
    EXPECT_EQ(server.alternateBaseUrls, std::vector<std::string>{"alt"});
  }
}

TEST(CommandLine, BuiltFromTheArguments) {
  struct Case {
    std::vector<std::string> arguments;
    const char* commandLine;
  };
  const Case cases[] = {
      {{}, ""},
      {{"-t"}, "-t"},
      {{"-t", "now"}, "-t now"},
      {{"-t "}, "-t "},
      {{"  -update"}, "-update"},
      {{"", "-losefile"}, "-losefile"},
      {{"a b", "c"}, "a b c"},
      {{" "}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    EXPECT_EQ(CommandLineFromArguments(c.arguments), c.commandLine);
  }
}

}  // namespace
