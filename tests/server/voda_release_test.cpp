// The release tool, run as publishers run it, checked against the library and openssl.
#include <gtest/gtest.h>

#include <filesystem>

#include "crypto/codec.h"
#include "crypto/key_material.h"
#include "crypto/sealing.h"
#include "crypto/signed_file.h"
#include "server/publisher.h"
#include "test_tools.h"

namespace {

using namespace testing_tools;

const std::string kTool = std::string(VODA_BIN_DIR) + "/voda-release";

const std::string kManifest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n"
    "<File Path=\"\" FileName=\"voda.exe\" Digest=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\"/>\r\n"
    "</FileInfo>\r\n</Digest>\r\n";

class VodaRelease : public ::testing::Test {
 protected:
  CommandResult Tool(const std::string& args, const std::string& stdinFile = "") {
    return RunCommand(kTool + " " + args + (stdinFile.empty() ? " </dev/null" : " <" + stdinFile) + " 2>" +
                      dir_.File("stderr"));
  }
  std::string Stderr() { return ReadFile(dir_.File("stderr")); }

  // A fresh 1024-bit key pair in the temporary folder: private PEM and PKCS #1 public PEM.
  void MakeOtherKey(const std::string& name) {
    ASSERT_EQ(0, RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " +
                            dir_.File(name + ".pem") + " 2>/dev/null && openssl rsa -in " + dir_.File(name + ".pem") +
                            " -RSAPublicKey_out -out " + dir_.File(name + ".pub.pem") + " 2>/dev/null")
                     .exitCode);
  }

  TempDir dir_;
};

TEST_F(VodaRelease, SealAndUnsealAgreeWithTheLibrary) {
  const std::string plain = "{\"v\":\"1.2.3.4\",\"url\":\"http://127.0.0.1:8080/files\",\"update\":\"2\"}";
  WriteFile(dir_.File("plain"), plain);
  const CommandResult sealed = Tool("seal", dir_.File("plain"));
  ASSERT_EQ(0, sealed.exitCode) << Stderr();
  ASSERT_EQ('\n', sealed.output.back());
  const std::string text = sealed.output.substr(0, sealed.output.size() - 1);
  EXPECT_EQ(2 * (plain.size() - plain.size() % 8) + 340, text.size());
  std::string opened;
  ASSERT_TRUE(UnsealToString(text.data(), static_cast<std::uint32_t>(text.size()), opened));
  EXPECT_EQ(plain, opened);

  std::string ours;
  ASSERT_TRUE(SealToString("861", ours));
  WriteFile(dir_.File("sealed"), ours);
  const CommandResult unsealed = Tool("unseal", dir_.File("sealed"));
  EXPECT_EQ(0, unsealed.exitCode) << Stderr();
  EXPECT_EQ("861", unsealed.output);

  // The server's PEM copy of the pair is the same pair as the build's.
  const CommandResult withPem = Tool("--message-key " + KeyFile("message-key.pem") + " unseal", dir_.File("sealed"));
  EXPECT_EQ(0, withPem.exitCode) << Stderr();
  EXPECT_EQ("861", withPem.output);
}

TEST_F(VodaRelease, OtherMessageKeys) {
  MakeOtherKey("other");
  WriteFile(dir_.File("plain"), std::string("861"));
  const CommandResult sealed = Tool("--message-key " + dir_.File("other.pem") + " seal", dir_.File("plain"));
  ASSERT_EQ(0, sealed.exitCode) << Stderr();
  WriteFile(dir_.File("sealed"), sealed.output);
  EXPECT_EQ(1, Tool("unseal", dir_.File("sealed")).exitCode);
  EXPECT_NE(std::string::npos, Stderr().find("does not open"));
  const CommandResult opened = Tool("--message-key " + dir_.File("other.pem") + " unseal", dir_.File("sealed"));
  EXPECT_EQ(0, opened.exitCode) << Stderr();
  EXPECT_EQ("861", opened.output);

  WriteFile(dir_.File("not-a-key.pem"), std::string("hello"));
  EXPECT_EQ(1, Tool("--message-key " + dir_.File("not-a-key.pem") + " seal", dir_.File("plain")).exitCode);
  EXPECT_NE(std::string::npos, Stderr().find("not an RSA private key"));
  EXPECT_EQ(1, Tool("--message-key " + dir_.File("missing.pem") + " seal", dir_.File("plain")).exitCode);
  EXPECT_NE(std::string::npos, Stderr().find("cannot read"));
}

TEST_F(VodaRelease, FailuresExitWithOneAndAMessage) {
  WriteFile(dir_.File("garbage"), std::string("3082ABCD\n"));
  WriteFile(dir_.File("empty"), std::string());
  WriteFile(dir_.File("manifest.xml"), kManifest);
  struct Case {
    const char* name;
    std::string args;
    std::string stdinFile;
    const char* message;
  };
  const Case cases[] = {
      {"unseal of garbage", "unseal", dir_.File("garbage"), "does not open"},
      {"seal of nothing", "seal", dir_.File("empty"), "empty"},
      {"no command", "", "", "usage"},
      {"unknown command", "publish-everything", "", "unknown command"},
      {"unknown option", "--colour seal", "", "unknown option"},
      {"option without its file", "seal --message-key", "", "needs a file"},
      {"sign without OUT", "sign " + dir_.File("manifest.xml"), "", "takes 2"},
      {"digest of a missing file", "digest " + dir_.File("missing"), "", "cannot read"},
      {"verify of an unsigned manifest", "verify " + dir_.File("manifest.xml"), "", "not valid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(1, Tool(c.args, c.stdinFile).exitCode);
    EXPECT_NE(std::string::npos, Stderr().find(c.message)) << Stderr();
  }
}

TEST_F(VodaRelease, SignedManifestVerifiesWithOpensslAndTheLibrary) {
  WriteFile(dir_.File("manifest.xml"), kManifest);
  ASSERT_EQ(0, Tool("sign " + dir_.File("manifest.xml") + " " + dir_.File("signed.xml")).exitCode) << Stderr();
  const std::string signedText = ReadFile(dir_.File("signed.xml"));
  EXPECT_EQ(kManifest.size() + kSignBlockBytes, signedText.size());
  EXPECT_EQ(0, Tool("verify " + dir_.File("signed.xml")).exitCode) << Stderr();
  EXPECT_TRUE(VerifySignedFile(dir_.File("signed.xml").c_str()));

  // The block sits before the root's closing tag; what is signed is the manifest as given.
  const std::size_t block = signedText.find("\r\n<Sign>");
  EXPECT_EQ(kManifest.rfind('<'), block);
  EXPECT_EQ("</Sign>\r\n</Digest>\r\n", signedText.substr(block + 8 + 256));
  WriteFile(dir_.File("sig.bin"), FromHex(signedText.substr(block + 8, 256)));
  const CommandResult recovered =
      RunCommand("openssl pkeyutl -verifyrecover -pubin -inkey " + KeyFile("manifest-signing.pub.pem") +
                 " -pkeyopt rsa_padding_mode:pkcs1 -in " + dir_.File("sig.bin") + " | xxd -p -c 64");
  const CommandResult digest = RunCommand("sha1sum " + dir_.File("manifest.xml"));
  ASSERT_EQ(0, recovered.exitCode);
  EXPECT_EQ(digest.output.substr(0, 40) + "\n", recovered.output);

  // Signing a signed manifest again gives the same file, not a second block.
  ASSERT_EQ(0, Tool("sign " + dir_.File("signed.xml") + " " + dir_.File("again.xml")).exitCode) << Stderr();
  EXPECT_EQ(signedText, ReadFile(dir_.File("again.xml")));

  // Any change after signing fails the check.
  WriteFile(dir_.File("tampered.xml"), signedText + " ");
  EXPECT_EQ(1, Tool("verify " + dir_.File("tampered.xml")).exitCode);
}

TEST_F(VodaRelease, OtherSigningKeys) {
  MakeOtherKey("signer");
  WriteFile(dir_.File("manifest.xml"), kManifest);
  ASSERT_EQ(0, Tool("--signing-key " + dir_.File("signer.pem") + " sign " + dir_.File("manifest.xml") + " " +
                    dir_.File("signed.xml"))
                   .exitCode)
      << Stderr();
  EXPECT_EQ(1, Tool("verify " + dir_.File("signed.xml")).exitCode);
  EXPECT_EQ(0, Tool("--verify-key " + dir_.File("signer.pub.pem") + " verify " + dir_.File("signed.xml")).exitCode);

  ASSERT_EQ(0, RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " +
                          dir_.File("big.pem") + " 2>/dev/null")
                   .exitCode);
  EXPECT_EQ(1, Tool("--signing-key " + dir_.File("big.pem") + " sign " + dir_.File("manifest.xml") + " " +
                    dir_.File("big.xml"))
                   .exitCode);
  EXPECT_NE(std::string::npos, Stderr().find("1024-bit"));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("big.xml")));
}

TEST_F(VodaRelease, FailedSigningLeavesNoOutput) {
  WriteFile(dir_.File("no-tags.txt"), std::string("plain text without markup"));
  EXPECT_EQ(1, Tool("sign " + dir_.File("no-tags.txt") + " " + dir_.File("out.xml")).exitCode);
  EXPECT_NE(std::string::npos, Stderr().find("no closing tag"));
  EXPECT_EQ(1, Tool("sign " + dir_.File("missing.xml") + " " + dir_.File("out.xml")).exitCode);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out.xml")));
  WriteFile(dir_.File("manifest.xml"), kManifest);
  EXPECT_EQ(1, Tool("sign " + dir_.File("manifest.xml") + " " + dir_.File("no-such-folder/out.xml")).exitCode);
  EXPECT_NE(std::string::npos, Stderr().find("cannot write"));
}

TEST_F(VodaRelease, DigestAgreesWithSha1sumAndBase64) {
  for (const std::string& content : {std::string(), kManifest, std::string(10000, '\xA7')}) {
    WriteFile(dir_.File("file"), content);
    const CommandResult ours = Tool("digest " + dir_.File("file"));
    ASSERT_EQ(0, ours.exitCode);
    const CommandResult theirs =
        RunCommand("sha1sum " + dir_.File("file") + " | cut -c1-40 | xxd -r -p | base64 -w0");
    EXPECT_EQ(theirs.output + "\n", ours.output);
    EXPECT_EQ(29u, ours.output.size());
  }
}

TEST(Publisher, ServerCopyOfTheMessageKeyIsTheBuildsPair) {
  const std::string pem = ReadFile(KeyFile("message-key.pem"));
  MessageKeyPair pair;
  std::string error;
  ASSERT_TRUE(MessageKeyPairFromPem(pem, pair, error)) << error;
  const MessageKeyPair& build = BuildMessageKeyPair();
  EXPECT_EQ(build.n, pair.n);
  EXPECT_EQ(build.e, pair.e);
  EXPECT_EQ(build.d, pair.d);
  EXPECT_EQ(build.p, pair.p);
  EXPECT_EQ(build.q, pair.q);
  EXPECT_EQ(build.dp, pair.dp);
  EXPECT_EQ(build.dq, pair.dq);
  EXPECT_EQ(build.qp, pair.qp);
}

}  // namespace
