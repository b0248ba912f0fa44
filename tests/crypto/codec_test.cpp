// Hexadecimal and Base64 codecs.
#include "crypto/codec.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_tools.h"

namespace {

using namespace testing_tools;

TEST(HexEncode, WritesUpperCaseAndAnswersSizeQueries) {
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
  char out[32];
  std::memset(out, '#', sizeof out);
  std::uint32_t capacity = 15;  // below 3 * 2 + 10
  EXPECT_EQ(0, HexEncode(bytes, 3, out, &capacity));
  EXPECT_EQ(16u, capacity);
  EXPECT_EQ('#', out[0]);

  capacity = 0;
  EXPECT_EQ(0, HexEncode(bytes, 3, nullptr, &capacity));
  EXPECT_EQ(16u, capacity);

  EXPECT_EQ(0, HexEncode(bytes, 3, out, &capacity));
  EXPECT_EQ(6u, capacity);
  EXPECT_STREQ("00ABFF", out);
}

TEST(HexDecode, Cases) {
  struct Case {
    std::string text;
    int status;
    std::uint32_t capacity;  // after the call
    Bytes bytes;             // written when the capacity sufficed
  };
  const Case cases[] = {
      {"00abFF", 0, 3, {0x00, 0xAB, 0xFF}},
      {"0aA0", 0, 2, {0x0A, 0xA0}},
      {"ZZ", 0, 1, {0xCA}},       // not rejected: 42 * 16 + 42 modulo 256
      {"  ", 0, 1, {0xF0}},       // (-16) * 16 - 16 modulo 256
      {"g0", 0, 1, {0x70}},       // 'g' is 55: 55 * 16 modulo 256
      {"", 0, 0, {}},
      {"abc", -1, 99, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Bytes out(8, 0xEE);
    std::uint32_t capacity = 99;
    EXPECT_EQ(c.status, HexDecode(static_cast<std::uint32_t>(c.text.size()), c.text.data(), out.data(), &capacity));
    EXPECT_EQ(c.capacity, capacity);
    EXPECT_EQ(c.bytes, Bytes(out.begin(), out.begin() + static_cast<long>(c.bytes.size())));
    EXPECT_EQ(0xEE, out[c.bytes.size()]);
  }
}

TEST(HexDecode, SizeQueryWritesNothing) {
  std::uint32_t capacity = 0;
  EXPECT_EQ(0, HexDecode(6, "00abFF", nullptr, &capacity));
  EXPECT_EQ(3u, capacity);
  Bytes out(3, 0xEE);
  capacity = 2;
  EXPECT_EQ(0, HexDecode(6, "00abFF", out.data(), &capacity));
  EXPECT_EQ(3u, capacity);
  EXPECT_EQ(Bytes(3, 0xEE), out);
}

TEST(DecodeSignatureHex, CaseInsensitiveAndDamagedDigitsDecodeToOtherValues) {
  const Bytes expected = RandomBytesOf(128, 3);
  std::string upper = Hex(expected);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  Bytes fromLower(128), fromUpper(128);
  DecodeSignatureHex(Hex(expected).c_str(), fromLower.data());
  DecodeSignatureHex(upper.c_str(), fromUpper.data());
  EXPECT_EQ(expected, fromLower);
  EXPECT_EQ(expected, fromUpper);

  std::string odd(256, '0');
  odd.replace(0, 10, ":?@G/zFf9a");  // ':' 10, '?' 15, '@' 0, 'G' 0, '/' 0, 'z' 0, "Ff", "9a"
  Bytes out(128);
  DecodeSignatureHex(odd.c_str(), out.data());
  EXPECT_EQ((Bytes{0xAF, 0x00, 0x00, 0xFF, 0x9A}), Bytes(out.begin(), out.begin() + 5));
}

TEST(Base64Digest, AgreesWithBase64Tool) {
  char text[29];
  const Bytes zeros(20, 0);
  EXPECT_EQ(28, Base64Digest(zeros.data(), text));
  EXPECT_STREQ("AAAAAAAAAAAAAAAAAAAAAAAAAAA=", text);

  TempDir dir;
  for (unsigned seed : {1u, 2u, 3u}) {
    const Bytes digest = RandomBytesOf(20, seed);
    WriteFile(dir.File("d"), digest);
    Base64Digest(digest.data(), text);
    EXPECT_EQ(RunCommand("base64 -w0 " + dir.File("d")).output, text);
  }
  const std::string content = "file contents\n";
  WriteFile(dir.File("f"), content);
  EXPECT_EQ(RunCommand("sha1sum " + dir.File("f") + " | cut -c1-40 | xxd -r -p | base64 -w0").output,
            ContentDigest(reinterpret_cast<const unsigned char*>(content.data()), content.size()));
}

}  // namespace
