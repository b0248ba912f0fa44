// Sealed messages: layout, round trips, tampering, and an independent opening with openssl.
#include "crypto/sealing.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crypto/cipher.h"
#include "test_tools.h"

namespace {

using namespace testing_tools;

std::string Seal(const std::string& plain) {
  std::string sealed;
  EXPECT_TRUE(SealToString(plain, sealed));
  return sealed;
}

// Opens a sealed text as UnsealToString's callers do.
struct Opened {
  int status;
  std::uint32_t length;
  std::string text;
};

Opened Open(const std::string& sealed) {
  Bytes out(sealed.size() + 1, 0);
  std::uint32_t capacity = static_cast<std::uint32_t>(sealed.size());
  Opened o{UnsealMessage(capacity, sealed.data(), out.data(), &capacity), capacity, {}};
  o.text.assign(reinterpret_cast<const char*>(out.data()), o.status == 0 ? capacity : 0);
  return o;
}

std::string Plaintext(std::size_t length, unsigned seed) {
  const Bytes b = RandomBytesOf(length, seed, true);
  return std::string(b.begin(), b.end());
}

// Byte i of the sealed message, as its two hexadecimal digits.
std::size_t DigitOf(std::size_t byte) { return 2 * byte; }

std::string ChangeDigit(std::string sealed, std::size_t digit) {
  sealed[digit] = sealed[digit] == '0' ? '1' : '0';
  return sealed;
}

TEST(SealMessage, LayoutOfThirtyAndSixteenBytePlaintexts) {
  struct Case {
    std::size_t length;
    std::uint32_t query;   // needed capacity
    std::size_t padded;    // P
    const char* outer;     // bytes 2..3
    const char* cipherLength;  // bytes 137..138
  };
  const Case cases[] = {
      {30, 398, 32, "00BE", "0020"},
      {16, 382, 24, "00B6", "0018"},
      {3, 350, 8, "00A6", "0008"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    const std::string plain = Plaintext(c.length, 1);
    std::uint32_t capacity = 0;
    ASSERT_EQ(0, SealMessage(nullptr, &capacity, reinterpret_cast<const unsigned char*>(plain.data()),
                             static_cast<std::uint32_t>(c.length)));
    EXPECT_EQ(c.query, capacity);
    std::vector<char> text(capacity + 1, 0);
    ASSERT_EQ(0, SealMessage(text.data(), &capacity, reinterpret_cast<const unsigned char*>(plain.data()),
                             static_cast<std::uint32_t>(c.length)));
    const std::size_t total = c.padded + 162;
    ASSERT_EQ(2 * total, capacity);
    const std::string sealed(text.data());
    ASSERT_EQ(2 * total, sealed.size());
    EXPECT_EQ(std::string::npos, sealed.find_first_not_of("0123456789ABCDEF"));

    const Bytes m = FromHex(sealed);
    EXPECT_EQ("3082" + std::string(c.outer) + "048180", sealed.substr(0, 14));
    EXPECT_EQ("0482" + std::string(c.cipherLength), sealed.substr(DigitOf(135), 8));
    EXPECT_EQ("048114", sealed.substr(DigitOf(139 + c.padded), 6));
    unsigned char digest[20];
    Sha1Digest(reinterpret_cast<const unsigned char*>(plain.data()), static_cast<std::int32_t>(c.length), digest);
    EXPECT_EQ(Bytes(digest, digest + 20), Bytes(m.begin() + static_cast<long>(142 + c.padded), m.end()));
  }
}

TEST(SealMessage, EmptyPlaintextFailsAfterTheSizeQuery) {
  const unsigned char nothing = 0;
  std::uint32_t capacity = 0;
  EXPECT_EQ(0, SealMessage(nullptr, &capacity, &nothing, 0));
  EXPECT_EQ(350u, capacity);
  std::vector<char> text(capacity + 1, 0);
  EXPECT_EQ(-1, SealMessage(text.data(), &capacity, &nothing, 0));
  EXPECT_EQ('\0', text[0]);
}

TEST(SealMessage, LengthsBeyondTheTwoByteFieldsAreRefused) {
  const std::string largest(kMaxSealedPlaintext, 'x');
  const std::string sealed = Seal(largest);
  EXPECT_EQ("3082FFFE", sealed.substr(0, 8));
  const Opened o = Open(sealed);
  EXPECT_EQ(0, o.status);
  EXPECT_EQ(largest, o.text);

  const std::string tooLong(kMaxSealedPlaintext + 1, 'x');
  std::uint32_t capacity = 0;
  EXPECT_EQ(-1, SealMessage(nullptr, &capacity, reinterpret_cast<const unsigned char*>(tooLong.data()),
                            static_cast<std::uint32_t>(tooLong.size())));
  std::string out = "unchanged";
  EXPECT_FALSE(SealToString(tooLong, out));
  EXPECT_EQ("unchanged", out);
}

TEST(SealMessage, SealAndUnsealAreInverseForEveryLength) {
  for (std::size_t length = 1; length <= 2100; ++length) {
    const std::string plain = Plaintext(length, static_cast<unsigned>(length));
    const std::string sealed = Seal(plain);
    ASSERT_EQ(2 * (length - length % 8) + 340, sealed.size()) << length;
    const Opened o = Open(sealed);
    ASSERT_EQ(0, o.status) << length;
    ASSERT_EQ(length, o.length) << length;
    ASSERT_EQ(plain, o.text) << length;
  }
}

TEST(UnsealMessage, SizeQueryAndOutputTerminator) {
  const std::string sealed = Seal("{\"v\":\"1.0.0.1\"}");
  Bytes out(sealed.size() + 1, 0xEE);
  std::uint32_t capacity = static_cast<std::uint32_t>(sealed.size() - 1);
  EXPECT_EQ(0, UnsealMessage(static_cast<std::uint32_t>(sealed.size()), sealed.data(), out.data(), &capacity));
  EXPECT_EQ(sealed.size(), capacity);
  EXPECT_EQ(Bytes(out.size(), 0xEE), out);
  // A buffer that is not zero-filled still gets a terminated text.
  ASSERT_EQ(0, UnsealMessage(static_cast<std::uint32_t>(sealed.size()), sealed.data(), out.data(), &capacity));
  EXPECT_EQ(15u, capacity);
  EXPECT_STREQ("{\"v\":\"1.0.0.1\"}", reinterpret_cast<const char*>(out.data()));
}

// Every position the reader uses is guarded; the tag bytes and the outer length are not read.
TEST(UnsealMessage, ChangedDigits) {
  const std::string plain = Plaintext(30, 4);  // P = 32, 194 bytes
  const std::string sealed = Seal(plain);
  struct Case {
    const char* name;
    std::size_t byte;
    bool opens;
  };
  const Case cases[] = {
      {"sequence tag", 0, true},        {"sequence length form", 1, true},
      {"outer length, high", 2, true},  {"outer length, low", 3, true},
      {"key tag", 4, true},             {"key length form", 5, true},
      {"key length", 6, false},         {"encrypted key, first", 7, false},
      {"encrypted key, last", 134, false}, {"ciphertext tag", 135, true},
      {"ciphertext length form", 136, true}, {"ciphertext length, high", 137, false},
      {"ciphertext length, low", 138, false}, {"ciphertext, first", 139, false},
      {"ciphertext, last", 170, false}, {"digest tag", 171, true},
      {"digest length form", 172, true}, {"digest length", 173, false},
      {"digest, first", 174, false},    {"digest, last", 193, false},
  };
  for (const Case& c : cases) {
    for (std::size_t half : {0, 1}) {
      SCOPED_TRACE(std::string(c.name) + (half ? " (low digit)" : " (high digit)"));
      const Opened o = Open(ChangeDigit(sealed, DigitOf(c.byte) + half));
      EXPECT_EQ(c.opens ? 0 : -1, o.status);
      if (c.opens) {
        EXPECT_EQ(plain, o.text);
      }
    }
  }
  // Lower-case digits open like upper-case ones.
  std::string lower = sealed;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(plain, Open(lower).text);
}

TEST(UnsealMessage, MalformedTexts) {
  const std::string sealed = Seal("861");  // 170 bytes
  auto withByte = [&](std::size_t byte, const char* hex) {
    std::string s = sealed;
    s.replace(DigitOf(byte), 2, hex);
    return s;
  };
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"12 characters", sealed.substr(0, 12)},
      {"odd length", sealed.substr(0, sealed.size() - 1)},
      {"cut before the ciphertext length", sealed.substr(0, DigitOf(138))},
      {"cut inside the ciphertext", sealed.substr(0, DigitOf(140))},
      {"cut before the digest length", sealed.substr(0, DigitOf(149))},
      {"cut inside the digest", sealed.substr(0, sealed.size() - 2)},
      {"digest length 0x13", withByte(149, "13")},
      {"digest length 0x15", withByte(149, "15")},
      {"key length 127", withByte(6, "7F")},
      {"key length 0", withByte(6, "00")},
      {"ciphertext length not whole blocks", withByte(138, "04")},
      {"ciphertext length beyond the text", withByte(137, "FF")},
      {"not hexadecimal", std::string(sealed.size(), 'Z')},
      {"an error page", "<html><body>404 Not Found</body></html>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(-1, Open(c.text).status);
    std::string destination = "unchanged";
    EXPECT_FALSE(UnsealToString(c.text.data(), static_cast<std::uint32_t>(c.text.size()), destination));
    EXPECT_EQ("unchanged", destination);
  }
}

// Every prefix and random damage of a sealed text fails cleanly (the sanitizer build reads this).
TEST(UnsealMessage, TruncationsAndGarbageNeverOpen) {
  const std::string sealed = Seal("{\"v\":\"2.0.0.7\",\"url\":\"http://127.0.0.1\"}");
  for (std::size_t length = 0; length < sealed.size(); length += 2) {
    std::string prefix = sealed.substr(0, length);
    ASSERT_EQ(-1, Open(prefix).status) << length;
  }
  std::mt19937 gen(5);
  for (int round = 0; round < 300; ++round) {
    const std::size_t length = 2 * (gen() % 200);
    std::string text(length, '0');
    for (char& ch : text) ch = "0123456789ABCDEF"[gen() % 16];
    if (length > 14) text.replace(12, 2, gen() % 2 ? "80" : "10");
    ASSERT_EQ(-1, Open(text).status) << text;
  }
}

TEST(UnsealToString, TakesTheTextUpToItsFirstZeroByte) {
  const std::string plain = std::string("abc\0def", 7);
  std::string destination;
  const std::string sealed = Seal(plain);
  // The decrypted text ends at its zero byte, so the digest (over all seven bytes) does not match.
  EXPECT_FALSE(UnsealToString(sealed.data(), static_cast<std::uint32_t>(sealed.size()), destination));
  const std::string good = Seal("{\"v\":\"1\"}");
  ASSERT_TRUE(UnsealToString(good.data(), static_cast<std::uint32_t>(good.size()), destination));
  EXPECT_EQ("{\"v\":\"1\"}", destination);
}

// openssl opens our sealed message field by field, with the server's copy of the key pair.
TEST(SealMessage, OpensslOpensTheFields) {
  TempDir dir;
  const std::string plain = "{\"v\":\"3.1.4.1\",\"url\":\"https://updates.example\",\"update\":\"1\"}";
  const Bytes m = FromHex(Seal(plain));
  const std::size_t padded = plain.size() - plain.size() % 8 + 8;
  WriteFile(dir.File("key.bin"), Bytes(m.begin() + 7, m.begin() + 135));
  const CommandResult key = RunCommand("openssl pkeyutl -decrypt -inkey " + KeyFile("message-key.pem") + " -in " +
                                dir.File("key.bin") + " | xxd -p -c 64");
  ASSERT_EQ(0, key.exitCode);
  const std::string sessionKey = key.output.substr(0, 48);
  for (char ch : FromHex(sessionKey)) EXPECT_LT(static_cast<unsigned char>(ch), 100);

  WriteFile(dir.File("cipher.bin"), Bytes(m.begin() + 139, m.begin() + 139 + static_cast<long>(padded)));
  const CommandResult text = RunCommand("openssl enc -d -des-ede3-cbc -K " + sessionKey + " -iv 3830363034303230 -in " +
                                 dir.File("cipher.bin"));
  ASSERT_EQ(0, text.exitCode);
  EXPECT_EQ(plain, text.output);

  WriteFile(dir.File("plain"), plain);
  EXPECT_EQ(RunCommand("sha1sum " + dir.File("plain")).output.substr(0, 40),
            Hex(Bytes(m.begin() + 142 + static_cast<long>(padded), m.end())));
}

}  // namespace
