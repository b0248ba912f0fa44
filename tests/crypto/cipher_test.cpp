// Triple DES, SHA-1 and the session-key generator, checked against openssl and sha1sum.
#include "crypto/cipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "test_tools.h"

namespace {

using namespace testing_tools;

const Bytes kKey = FromHex("0123456789abcdeffedcba987654321089abcdef01234567");
const char kIvHex[] = "3830363034303230";  // "80604020"

Bytes Encrypt(const Bytes& plain) {
  const int pad = 8 - static_cast<int>(plain.size() % 8);
  Bytes out(plain.size() + static_cast<std::size_t>(pad));
  EXPECT_EQ(0, TdesCbcEncrypt(out.data(), plain.data(), static_cast<int>(plain.size()), kKey.data(), 24, pad));
  return out;
}

struct Decrypted {
  int status;
  int length;
  Bytes buffer;
};

Decrypted Decrypt(const Bytes& cipher) {
  Decrypted d{0, -1, Bytes(cipher.size() + 1, 0)};
  d.status = TdesCbcDecrypt(cipher.data(), static_cast<int>(cipher.size()), kKey.data(), d.buffer.data(), &d.length);
  return d;
}

// openssl enc with the same key and vector; `nopad` leaves the padding to the caller.
Bytes OpensslTdes(const TempDir& dir, const Bytes& in, bool decrypt, bool nopad) {
  WriteFile(dir.File("in"), in);
  const std::string cmd = std::string("openssl enc -des-ede3-cbc ") + (decrypt ? "-d " : "-e ") +
                          (nopad ? "-nopad " : "") + "-K " + Hex(kKey) + " -iv " + kIvHex +
                          " -in " + dir.File("in") + " -out " + dir.File("out") + " 2>&1";
  const CommandResult r = RunCommand(cmd);
  EXPECT_EQ(0, r.exitCode) << r.output;
  return ToBytes(ReadFile(dir.File("out")));
}

TEST(TdesCbc, OpensslAgreesBothWaysAndPaddingIsPkcs5) {
  TempDir dir;
  for (std::size_t length : {1, 7, 8, 9, 16, 30, 255}) {
    SCOPED_TRACE(length);
    const Bytes plain = RandomBytesOf(length, static_cast<unsigned>(length), true);
    const Bytes ours = Encrypt(plain);
    const std::size_t pad = 8 - length % 8;
    ASSERT_EQ(length + pad, ours.size());
    EXPECT_EQ(plain, OpensslTdes(dir, ours, true, false));
    const Bytes raw = OpensslTdes(dir, ours, true, true);
    for (std::size_t i = length; i < raw.size(); ++i) EXPECT_EQ(pad, raw[i]);
    EXPECT_EQ(ours, OpensslTdes(dir, plain, false, false));

    const Decrypted back = Decrypt(ours);
    EXPECT_EQ(0, back.status);
    EXPECT_EQ(static_cast<int>(length), back.length);
    EXPECT_EQ(0, std::memcmp(plain.data(), back.buffer.data(), length));
    for (std::size_t i = length; i < back.buffer.size(); ++i) EXPECT_EQ(0, back.buffer[i]);
  }
}

TEST(TdesCbc, EncryptionRefusals) {
  const Bytes plain = ToBytes("abc");
  Bytes out(16);
  EXPECT_EQ(-1, TdesCbcEncrypt(out.data(), plain.data(), 0, kKey.data(), 24, 8));
  EXPECT_EQ(-1, TdesCbcEncrypt(out.data(), nullptr, 3, kKey.data(), 24, 5));
  EXPECT_EQ(-1, TdesCbcEncrypt(out.data(), plain.data(), 3, kKey.data(), 0, 5));
  EXPECT_EQ(-1, TdesCbcEncrypt(out.data(), plain.data(), 3, kKey.data(), 24, 4));  // 7 bytes: not whole blocks
  EXPECT_EQ(-1, TdesCbcEncrypt(out.data(), plain.data(), 3, kKey.data(), 24, 13));  // pad count above 8
}

// Decrypted outputs shaped by hand: openssl encrypts the raw blocks, we decrypt them.
TEST(TdesCbc, DecryptionLengthRule) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string plain;  // a whole number of blocks
    int length;         // reported text length
    std::string text;   // the bytes left before the reported length
  };
  const Case cases[] = {
      {"pad of 3", std::string("hello") + "\x03\x03\x03", 5, "hello"},
      {"last byte above 8 stays", "abcdefgh", 8, "abcdefgh"},
      {"pad bytes not compared", std::string("abcde") + "\x09\x01\x03", 5, "abcde"},
      {"cut at zero, then unpadded", std::string("ab\x02", 3) + std::string("\0zzzz", 5), 1, "a"},
      {"cut at zero, no pad", std::string("abc\0\x01\x01\x01\x01", 8), 3, "abc"},
      {"empty text", std::string("\0\x08\x08\x08\x08\x08\x08\x08", 8), 0, ""},
      {"pad count beyond the text stays", std::string("\x05\0\0\0\0\0\0\0", 8), 1, "\x05"},
      {"whole text is padding", std::string("\x08\x08\x08\x08\x08\x08\x08\x08"), 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decrypted d = Decrypt(OpensslTdes(dir, ToBytes(c.plain), false, true));
    ASSERT_EQ(0, d.status);
    EXPECT_EQ(c.length, d.length);
    EXPECT_EQ(c.text, std::string(d.buffer.begin(), d.buffer.begin() + d.length));
    // Removed pad bytes are zeroed.
    if (d.length < static_cast<int>(c.plain.size())) {
      EXPECT_EQ(0, d.buffer[static_cast<std::size_t>(d.length)]);
    }
  }
}

TEST(TdesCbc, CiphertextNotWholeBlocksIsRefused) {
  Bytes cipher(12, 0x41), out(13, 0);
  int length = 77;
  EXPECT_EQ(-1, TdesCbcDecrypt(cipher.data(), 12, kKey.data(), out.data(), &length));
  EXPECT_EQ(Bytes(13, 0), out);
  EXPECT_EQ(0, TdesCbcDecrypt(cipher.data(), 0, kKey.data(), out.data(), &length));
  EXPECT_EQ(0, length);
}

TEST(Sha1, AgreesWithSha1sum) {
  TempDir dir;
  for (std::size_t length : {0, 3, 55, 56, 64, 1000}) {
    SCOPED_TRACE(length);
    const Bytes data = RandomBytesOf(length, 7);
    WriteFile(dir.File("data"), data);
    Bytes digest(20, 0xEE);
    EXPECT_EQ(0, Sha1Digest(data.data(), static_cast<std::int32_t>(length), digest.data()));
    EXPECT_EQ(RunCommand("sha1sum " + dir.File("data")).output.substr(0, 40), Hex(digest));
  }
  Bytes digest(20);
  Sha1Digest(nullptr, -5, digest.data());  // a length below zero hashes the empty message
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Hex(digest));
  EXPECT_EQ(0, Sha1Digest(digest.data(), 20, nullptr));
}

TEST(SessionKey, ReseededFromWholeSecondsWithBytesBelow100) {
  Bytes a(24, 0xFF), b(24, 0xFF), c(24, 0xFF);
  GenerateSessionKeyAt(a.data(), 24, 1700000000);
  GenerateSessionKeyAt(b.data(), 24, 1700000000);
  GenerateSessionKeyAt(c.data(), 24, 1700000001);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  for (const Bytes* key : {&a, &c}) {
    for (unsigned char byte : *key) EXPECT_LT(byte, 100);
  }

  // Two keys drawn within the same second are the same; retried when the second turns over.
  bool sameSecond = false;
  for (int attempt = 0; attempt < 5 && !sameSecond; ++attempt) {
    const std::time_t before = std::time(nullptr);
    GenerateSessionKey(a.data(), 24);
    GenerateSessionKey(b.data(), 24);
    if (std::time(nullptr) != before) continue;
    sameSecond = true;
    EXPECT_EQ(a, b);
    GenerateSessionKeyAt(c.data(), 24, before);
    EXPECT_EQ(a, c);
  }
  EXPECT_TRUE(sameSecond);
}

}  // namespace
