// Signed manifests: files signed by openssl with the manifest-signing key, checked by VerifySignedFile.
#include "crypto/signed_file.h"
#include "crypto/key_material.h"

#include <gtest/gtest.h>

#include "test_tools.h"

namespace {

using namespace testing_tools;

const std::string kManifestStart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n"
    "<File Path=\"Plugins\" FileName=\"a.dll\" Digest=\"AAAAAAAAAAAAAAAAAAAAAAAAAAA=\"/>\r\n"
    "</FileInfo>";
const std::string kRootEnd = "</Digest>\r\n";

class SignedFile : public ::testing::Test {
 protected:
  // The signature of `content` by openssl: PKCS #1 type 1 over its raw SHA-1, as 256 digits.
  std::string SignatureHex(const std::string& content, const std::string& key = "manifest-signing.pem") {
    WriteFile(dir_.File("content"), content);
    const CommandResult r =
        RunCommand("openssl dgst -sha1 -binary " + dir_.File("content") + " | openssl pkeyutl -sign -inkey " +
            KeyFile(key) + " -pkeyopt rsa_padding_mode:pkcs1 | xxd -p -c 200 -u");
    EXPECT_EQ(0, r.exitCode);
    return r.output.substr(0, 256);
  }

  // The signed form: the block placed before the root's closing tag.
  std::string Signed(const std::string& before, const std::string& after, const std::string& hex) {
    return before + "\r\n<Sign>" + hex + "</Sign>\r\n" + after;
  }

  bool Verify(const std::string& file) {
    WriteFile(dir_.File("manifest.xml"), file);
    return VerifySignedFile(dir_.File("manifest.xml").c_str());
  }

  TempDir dir_;
};

TEST_F(SignedFile, OpensslSignatureVerifiesInBothCases) {
  const std::string hex = SignatureHex(kManifestStart + kRootEnd);
  ASSERT_EQ(256u, hex.size());
  EXPECT_TRUE(Verify(Signed(kManifestStart, kRootEnd, hex)));
  std::string lower = hex;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_TRUE(Verify(Signed(kManifestStart, kRootEnd, lower)));
  // White space after the root's closing tag belongs to the signed content.
  const std::string spaced = kRootEnd + "  \r\n";
  EXPECT_TRUE(Verify(Signed(kManifestStart, spaced, SignatureHex(kManifestStart + spaced))));
}

TEST_F(SignedFile, Rejections) {
  const std::string content = kManifestStart + kRootEnd;
  const std::string hex = SignatureHex(content);
  const std::string good = Signed(kManifestStart, kRootEnd, hex);
  std::string flippedDigit = good;
  flippedDigit[kManifestStart.size() + 8 + 100] ^= 0x01;  // '0'..'9' and 'A'..'F' stay digits or not
  std::string changedContent = good;
  changedContent[40] = changedContent[40] == 'a' ? 'b' : 'a';
  std::string nonHex = good;
  nonHex[kManifestStart.size() + 8 + 7] = 'G';
  struct Case {
    const char* name;
    std::string file;
  };
  const Case cases[] = {
      {"tag one byte earlier", kManifestStart + "\r\n<Sign>" + hex + "</Sign>\r\n " + kRootEnd},
      {"tag one byte later", kManifestStart + "\r\n<Sign>" + hex + "</Sign>\n" + kRootEnd},
      {"byte added after the root's closing tag", good + " "},
      {"markup added after the root's closing tag", good + "<!-- -->"},
      {"content changed", changedContent},
      {"signature digit changed", flippedDigit},
      {"signature not hexadecimal", nonHex},
      {"signed by another key", Signed(kManifestStart, kRootEnd, SignatureHex(content, "message-key.pem"))},
      {"no signature block", content},
      {"no '<' at all", std::string(400, 'x')},
      {"last '<' within 273 bytes of the start", std::string(272, 'x') + "</a>"},
      {"empty file", ""},
      {"tag text wrong", [&] { std::string s = good; s[kManifestStart.size() + 3] = 's'; return s; }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Verify(c.file));
  }
  EXPECT_FALSE(VerifySignedFile(dir_.File("missing.xml").c_str()));
  EXPECT_FALSE(VerifySignedFile(nullptr));
}

TEST_F(SignedFile, TheSignatureBlockMayFollowShortContentExactly) {
  // The last '<' exactly 273 bytes from the start: an empty first part.
  const std::string after = "</a>";
  const std::string hex = SignatureHex(after);
  const std::string file = Signed("", after, hex);
  EXPECT_TRUE(Verify(file));
  std::string content, digits;
  ASSERT_TRUE(SplitSignedFile(reinterpret_cast<const unsigned char*>(file.data()), file.size(), content, digits));
  EXPECT_EQ(after, content);
  EXPECT_EQ(hex, digits);
}

TEST_F(SignedFile, KeyTextsOtherThanTheBuildsKey) {
  const std::string content = kManifestStart + kRootEnd;
  const std::string file = Signed(kManifestStart, kRootEnd, SignatureHex(content));
  const unsigned char* data = reinterpret_cast<const unsigned char*>(file.data());
  const std::string pkcs1 = ReadFile(KeyFile("manifest-signing.pub.pem"));
  EXPECT_EQ(pkcs1, FileSignatureKey());
  EXPECT_TRUE(VerifySignedData(pkcs1.c_str(), data, file.size()));
  // The SubjectPublicKeyInfo form of the same key reads as well.
  const CommandResult spki = RunCommand("openssl pkey -pubout -in " + KeyFile("manifest-signing.pem"));
  EXPECT_TRUE(VerifySignedData(spki.output.c_str(), data, file.size()));
  EXPECT_FALSE(VerifySignedData("-----BEGIN RSA PUBLIC KEY-----\nAAAA\n-----END RSA PUBLIC KEY-----\n", data,
                                file.size()));
  EXPECT_FALSE(VerifySignedData(nullptr, data, file.size()));
}

}  // namespace
