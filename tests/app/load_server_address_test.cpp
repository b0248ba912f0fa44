#include <gtest/gtest.h>

#include <string>

#include "app/globals.h"
#include "app/server_address.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "support/temp_prefix.h"

namespace {

// The file is looked up by its bare name in the current directory.
TEST(LoadServerAddress, ReadsTheFileOfTheCurrentDirectory) {
  voda_test::TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  machine.Install();
  platform::FileSystem& files = platform::Current().Files();
  ASSERT_TRUE(files.CreateFolder("C:\\run").ok());
  ASSERT_TRUE(files.CreateFolder("C:\\elsewhere").ok());
  ASSERT_TRUE(files.WriteFile("C:\\elsewhere\\serverip.dat", "https://wrong\n\n/wrong\n").ok());
  ASSERT_TRUE(files.SetCurrentDirectory("C:\\run").ok());

  struct Case {
    const char* name;
    const char* file;  // nullptr: absent
    bool result;
    const char* baseUrl;
    const char* pathPrefix;
    const char* queryPath;
  };
  const Case cases[] = {
      {"absent", nullptr, true, "https://profile", "", "/assist/server?reqtype=1&data="},
      {"three lines", "https://127.0.0.1:8443\n/v2\n/q?data=\n", true, "https://127.0.0.1:8443", "/v2", "/q?data="},
      {"empty third line", "https://h\n/v2\n\n", true, "https://h", "/v2", ""},
      {"more than three lines", "https://h\n\n/q\n/ignored\n", true, "https://h", "", "/q"},
      {"two lines", "https://h\n/v2\n", false, "https://profile", "stale", "stale"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    (void)files.DeleteFile("C:\\run\\serverip.dat");
    if (c.file != nullptr) {
      ASSERT_TRUE(files.WriteFile("C:\\run\\serverip.dat", c.file).ok());
    }
    g_server = ServerEndpoint();
    g_server.baseUrl = "https://profile";
    g_server.pathPrefix = "stale";
    g_server.queryPath = "stale";

    EXPECT_EQ(LoadServerAddress(), c.result);
    EXPECT_EQ(g_server.baseUrl, c.baseUrl);
    EXPECT_EQ(g_server.pathPrefix, c.pathPrefix);
    EXPECT_EQ(g_server.queryPath, c.queryPath);
  }
}

}  // namespace
