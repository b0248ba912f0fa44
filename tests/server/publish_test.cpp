// voda-release publish, run as a publisher runs it; its manifests read back with the Downloader's own
// manifest reader and signature check, its digests checked with sha1sum and base64.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "crypto/signed_file.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "support/temp_prefix.h"
#include "test_tools.h"
#include "update/manifest.h"

namespace {

using namespace testing_tools;
namespace fs = std::filesystem;

const std::string kTool = std::string(VODA_BIN_DIR) + "/voda-release";

struct Expected {
  std::string path;  // manifest form, "\" between levels
  std::string name;
};

class Publish : public ::testing::Test {
 protected:
  void Add(const std::string& relative, const std::string& content) {
    const fs::path file = dir_.File("src/" + relative);
    fs::create_directories(file.parent_path());
    WriteFile(file.string(), content);
  }

  CommandResult Tool(const std::string& args) {
    return RunCommand(kTool + " " + args + " </dev/null 2>" + dir_.File("stderr"));
  }
  std::string Stderr() { return ReadFile(dir_.File("stderr")); }

  // The entries of a published manifest as the Downloader's reader sees them.
  std::vector<ManifestEntry> Entries(const std::string& manifestFile) {
    voda_test::TempPrefix machine;
    EXPECT_TRUE(machine.ok()) << machine.error();
    if (!machine.ok()) return {};
    machine.Install();
    platform::FileSystem& files = platform::Current().Files();
    EXPECT_TRUE(files.CreateFolder("C:\\m").ok());
    EXPECT_TRUE(files.WriteFile("C:\\m\\manifest.xml", ReadFile(manifestFile)).ok());
    return ReadManifestEntries("C:\\m\\manifest.xml");
  }

  // Checks one manifest of the release: signed, listing exactly `expected` in order, every digest that
  // of the served file as sha1sum and base64 compute it.
  void CheckManifest(const std::string& name, const std::vector<Expected>& expected) {
    SCOPED_TRACE(name);
    const std::string manifest = dir_.File("rel/files/" + name);
    const std::string text = ReadFile(manifest);
    EXPECT_TRUE(VerifySignedData(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    const std::vector<ManifestEntry> entries = Entries(manifest);
    ASSERT_EQ(expected.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      SCOPED_TRACE(expected[i].name);
      EXPECT_EQ(expected[i].path, entries[i].path);
      EXPECT_EQ(expected[i].name, entries[i].fileName);
      EXPECT_TRUE(IsSafeManifestEntry(entries[i]));
      std::string served = expected[i].path;
      for (char& c : served) c = c == '\\' ? '/' : c;
      const std::string file = dir_.File("rel/files/" + (served.empty() ? "" : served + "/") + expected[i].name);
      const CommandResult digest =
          RunCommand("sha1sum '" + file + "' | cut -c1-40 | xxd -r -p | base64 -w0");
      ASSERT_EQ(0, digest.exitCode);
      EXPECT_EQ(digest.output, entries[i].digest);
      EXPECT_EQ(28u, entries[i].digest.size());
    }
  }

  TempDir dir_;
};

TEST_F(Publish, ReleaseIsWhatTheDownloaderReadsAndTheServerServes) {
  Add("voda.exe", "main program");
  Add("empty.dat", "");
  Add("Plugins/sub/a.dll", std::string("MZ\0\0binary", 10));
  Add("Data/\xE8\xAF\xB4\xE6\x98\x8E.txt", "说明");  // a Chinese name, UTF-8 on disk and in the manifest
  Add("Data/a&b.txt", "markup in a name");
  Add("bank/Script/b.js", "var bank = 1;");
  Add("bank/Data/bank.dat", "bank data");
  const CommandResult run = Tool("publish " + dir_.File("src") + " " + dir_.File("rel") +
                                 " --version 1.2.3.4 --url http://127.0.0.1:8080/voda --update 2 --bank 861 --bank 5");
  ASSERT_EQ(0, run.exitCode) << Stderr();

  CheckManifest("Digest.xml", {{"", "empty.dat"},
                               {"", "voda.exe"},
                               {"Data", "a&b.txt"},
                               {"Data", "\xE8\xAF\xB4\xE6\x98\x8E.txt"},
                               {"Plugins\\sub", "a.dll"}});
  CheckManifest("Digest_861.xml", {{"Data", "bank.dat"}, {"Script", "b.js"}});
  EXPECT_EQ(ReadFile(dir_.File("rel/files/Digest_861.xml")), ReadFile(dir_.File("rel/files/Digest_005.xml")));
  EXPECT_EQ(std::string("MZ\0\0binary", 10), ReadFile(dir_.File("rel/files/Plugins/sub/a.dll")));
  EXPECT_EQ("bank data", ReadFile(dir_.File("rel/files/Data/bank.dat")));

  // The manifest layout: UTF-8 declared, the signature block between FileInfo and the root's end.
  const std::string manifest = ReadFile(dir_.File("rel/files/Digest.xml"));
  EXPECT_EQ(0u, manifest.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"));
  EXPECT_NE(std::string::npos, manifest.find("</FileInfo>\r\n<Sign>"));
  EXPECT_EQ(manifest.size() - 11, manifest.find("</Digest>\r\n"));

  Json::Value answer;
  std::string errors;
  Json::CharReaderBuilder builder;
  std::istringstream in(ReadFile(dir_.File("rel/answer.json")));
  ASSERT_TRUE(Json::parseFromStream(builder, in, &answer, &errors)) << errors;
  EXPECT_EQ("1.2.3.4", answer["v"].asString());
  EXPECT_EQ("http://127.0.0.1:8080/voda", answer["url"].asString());
  EXPECT_EQ("2", answer["update"].asString());
  EXPECT_TRUE(answer["update"].isString());
}

TEST_F(Publish, WithoutBankFilesTheBankManifestIsSignedAndEmpty) {
  Add("voda.exe", "main program");
  ASSERT_EQ(0, Tool("publish " + dir_.File("src") + " " + dir_.File("rel") +
                    " --version 2.0.0.10 --url {base} --update 0")
                   .exitCode)
      << Stderr();
  CheckManifest("Digest_861.xml", {});
  CheckManifest("Digest.xml", {{"", "voda.exe"}});
}

TEST_F(Publish, FailuresSayWhyAndLeaveNothingBehind) {
  const std::string good = " --version 1.2.3.4 --url http://h/v --update 1";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
    std::string args;  // after SRC DEST
    const char* message;
  };
  const Case cases[] = {
      {"three-part version", {{"a.txt", "a"}}, " --version 1.2.3 --url http://h/v --update 1", "four dot-separated"},
      {"version with letters", {{"a.txt", "a"}}, " --version 1.2.3.x --url http://h/v --update 1", "four dot"},
      {"url with a final slash", {{"a.txt", "a"}}, " --version 1.2.3.4 --url http://h/v/ --update 1", "must not end"},
      {"url of another scheme", {{"a.txt", "a"}}, " --version 1.2.3.4 --url ftp://h/v --update 1", "http://"},
      {"update not a number", {{"a.txt", "a"}}, " --version 1.2.3.4 --url http://h/v --update two", "decimal"},
      {"no url", {{"a.txt", "a"}}, " --version 1.2.3.4 --update 1", "needs --version, --url and --update"},
      {"bad bank id", {{"a.txt", "a"}}, good + " --bank 12345", "bank id"},
      {"file named like a manifest", {{"digest.XML", "a"}}, good, "name of a manifest"},
      {"bank manifest name", {{"bank/Digest_861.xml", "a"}}, good, "name of a manifest"},
      {"names differing in case", {{"Data/A.txt", "a"}, {"Data/a.txt", "b"}}, good, "listed twice"},
      {"in bank and outside", {{"Data/x.txt", "a"}, {"bank/Data/x.txt", "b"}}, good, "listed twice"},
      {"name Windows refuses", {{"Data/a|b.txt", "a"}}, good, "does not allow"},
      {"name ending with a dot", {{"Data/x.", "a"}}, good, "ends with a dot"},
      {"name not UTF-8", {{"Data/\xB5.txt", "a"}}, good, "not UTF-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    fs::remove_all(dir_.File("src"), ec);
    fs::create_directories(dir_.File("src"));
    for (const auto& file : c.files) Add(file.first, file.second);
    EXPECT_EQ(1, Tool("publish " + dir_.File("src") + " " + dir_.File("rel") + c.args).exitCode);
    EXPECT_NE(std::string::npos, Stderr().find(c.message)) << Stderr();
    EXPECT_FALSE(fs::exists(dir_.File("rel")));
    for (const auto& entry : fs::directory_iterator(dir_.File(""))) {
      EXPECT_EQ(std::string::npos, entry.path().filename().string().find("publishing")) << entry.path();
    }
  }

  // A release folder that holds something already is never written into.
  fs::remove_all(dir_.File("src"));
  Add("a.txt", "a");
  fs::create_directories(dir_.File("rel"));
  WriteFile(dir_.File("rel/keep.txt"), std::string("keep"));
  EXPECT_EQ(1, Tool("publish " + dir_.File("src") + " " + dir_.File("rel") + good).exitCode);
  EXPECT_NE(std::string::npos, Stderr().find("not an empty folder")) << Stderr();
  EXPECT_EQ("keep", ReadFile(dir_.File("rel/keep.txt")));
  EXPECT_FALSE(fs::exists(dir_.File("rel/answer.json")));
  // An empty one is.
  fs::remove(dir_.File("rel/keep.txt"));
  EXPECT_EQ(0, Tool("publish " + dir_.File("src") + " " + dir_.File("rel") + good).exitCode) << Stderr();
  EXPECT_TRUE(fs::exists(dir_.File("rel/answer.json")));
  EXPECT_EQ(1, Tool("publish " + dir_.File("src") + " " + dir_.File("src/rel") + good).exitCode);
  EXPECT_NE(std::string::npos, Stderr().find("inside the source folder")) << Stderr();
  EXPECT_EQ(1, Tool("publish " + dir_.File("missing") + " " + dir_.File("rel2") + good).exitCode);
  EXPECT_NE(std::string::npos, Stderr().find("no such folder")) << Stderr();
}

}  // namespace
