// The server's request paths and fault rules, in process.
#include "server/fault_rules.h"

#include <gtest/gtest.h>

#include "server/release.h"

namespace {

TEST(RequestPath, SegmentsNeverLeaveTheFolder) {
  struct Case {
    const char* path;
    bool ok;
    const char* joined;
  };
  const Case cases[] = {
      {"/files/Plugins\\sub\\a.dll", true, "/files/Plugins/sub/a.dll"},
      {"//files/./Data//x.txt", true, "/files/Data/x.txt"},
      {"/", true, "/"},
      {"/files/..", false, ""},
      {"/files\\..\\x", false, ""},
      {"/files/C:/x", false, ""},
      {"/files/...", true, "/files/..."},  // no parent folder, only an odd name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::vector<std::string> segments;
    EXPECT_EQ(c.ok, SplitRequestPath(c.path, segments));
    if (c.ok) {
      EXPECT_EQ(c.joined, JoinedPath(segments));
    }
  }
  std::vector<std::string> segments;  // a zero byte, as a percent-decoded %00 gives it
  EXPECT_FALSE(SplitRequestPath(std::string("/files/a\0b", 10), segments));
}

TEST(RequestPath, BankManifestNamesAndUrlPaths) {
  EXPECT_EQ("Digest_861.xml", BankManifestName(0x861));
  EXPECT_EQ("Digest_005.xml", BankManifestName(0x5));
  EXPECT_EQ("Digest_1a2b.xml", BankManifestName(0x1A2B));
  EXPECT_EQ("/a/b", UrlPath("https://cdn.example:8443/a/b"));
  EXPECT_EQ("", UrlPath("http://127.0.0.1:80"));
  EXPECT_EQ("/v", UrlPath("http://h/v?x=1"));
  std::uint32_t id = 0;
  EXPECT_TRUE(ParseBankId("861", id));
  EXPECT_EQ(0x861u, id);
  for (const char* bad : {"", "86 1", "0x861", "123456789", "-1"}) EXPECT_FALSE(ParseBankId(bad, id)) << bad;
}

TEST(FaultRules, BadLinesAreRefusedWithTheirLineAndAddNothing) {
  const char* const bad[] = {
      "/x",                       // no action
      "/x first=0 status 500",    // a count of none
      "/x status 99",             // not a status
      "/x delay",                 // no time
      "/x delay -5",
      "/x cut 12abc",
      "/x body",                  // no text
      "/x jump 3",                // no such action
      "/files/../x status 500",   // not a request path
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    FaultRules rules;
    std::string error;
    EXPECT_FALSE(rules.Add(std::string("# comment\n/ok status 500\n\n") + line + "\n", error));
    EXPECT_EQ(0u, error.find("line 4: ")) << error;
    EXPECT_TRUE(rules.Empty());
  }
}

TEST(FaultRules, RulesMatchTheComparedPathAndCombine) {
  FaultRules rules;
  std::string error;
  ASSERT_TRUE(rules.Add("/files/Plugins\\a.dll status 500\n"
                        "/files/* delay 10\n"
                        "/files/Data/r* cut 3\n"
                        "/files/Data/r* cut 4\n"
                        "* append 0\n"
                        "/assist/server sealed {\"v\": 1234, \"url\": \"x\"}\n",
                        error))
      << error;

  const FaultPlan plugin = rules.Take("/files/Plugins/a.dll");
  EXPECT_EQ(500, plugin.status.value_or(0));
  EXPECT_EQ(10, plugin.delayMs);
  EXPECT_FALSE(plugin.cutAt.has_value());
  EXPECT_EQ("0", plugin.appended);

  const FaultPlan data = rules.Take("/files/Data/readme.txt");
  EXPECT_EQ(4u, data.cutAt.value_or(0));  // the later rule of the same action
  EXPECT_FALSE(data.status.has_value());

  EXPECT_EQ(0, rules.Take("/filesx").delayMs);
  EXPECT_EQ(0, rules.Take("/files").delayMs);
  EXPECT_EQ("{\"v\": 1234, \"url\": \"x\"}", rules.Take("/assist/server").sealedBody.value_or(""));
  EXPECT_FALSE(rules.Take("/files/Data/other").cutAt.has_value());
}

TEST(FaultRules, FirstNAppliesToTheFirstRequestsOnly) {
  FaultRules rules;
  std::string error;
  ASSERT_TRUE(rules.Add("/x first=2 status 503\n/x length 7", error)) << error;
  for (int i = 0; i < 2; ++i) {
    const FaultPlan plan = rules.Take("/x");
    EXPECT_EQ(503, plan.status.value_or(0));
    EXPECT_EQ(7u, plan.declaredLength.value_or(0));
  }
  const FaultPlan later = rules.Take("/x");
  EXPECT_FALSE(later.status.has_value());
  EXPECT_EQ(7u, later.declaredLength.value_or(0));
  EXPECT_FALSE(rules.Take("/y").Any());
}

}  // namespace
