// RSA session-key operations with the build's message key pair, checked against openssl.
#include "crypto/rsa_session.h"

#include <gtest/gtest.h>

#include "test_tools.h"

namespace {

using namespace testing_tools;

class RsaSession : public ::testing::Test {
 protected:
  // openssl pkeyutl over the server's copy of the pair; `options` picks the operation.
  Bytes Openssl(const Bytes& in, const std::string& options) {
    WriteFile(dir_.File("in"), in);
    const CommandResult r = RunCommand("openssl pkeyutl " + options + " -inkey " + KeyFile("message-key.pem") +
                                " -in " + dir_.File("in") + " -out " + dir_.File("out") + " 2>&1");
    EXPECT_EQ(0, r.exitCode) << r.output;
    return ToBytes(ReadFile(dir_.File("out")));
  }

  // A ciphertext whose decryption is exactly `block` (128 bytes, below N).
  Bytes CiphertextOfBlock(const Bytes& block) {
    return Openssl(block, "-encrypt -pkeyopt rsa_padding_mode:none");
  }

  static Bytes Block(unsigned char type, std::size_t padding, const Bytes& message) {
    Bytes block = {0x00, type};
    block.insert(block.end(), padding, 0xA5);
    block.push_back(0x00);
    block.insert(block.end(), message.begin(), message.end());
    block.resize(128, 0x5A);
    return block;
  }

  TempDir dir_;
};

TEST_F(RsaSession, EncryptionOpensWithOpensslAndOurs) {
  for (std::size_t length : {1, 24, 117}) {
    SCOPED_TRACE(length);
    const Bytes key = RandomBytesOf(length, static_cast<unsigned>(length));
    Bytes cipher(128);
    std::size_t cipherLength = 128;
    ASSERT_EQ(0, RsaEncryptSessionKey(key.data(), length, cipher.data(), &cipherLength));
    EXPECT_EQ(128u, cipherLength);
    EXPECT_EQ(key, Openssl(cipher, "-decrypt"));

    Bytes back(117, 0xEE);
    ASSERT_EQ(0, RsaDecryptSessionKey(cipher.data(), cipher.size(), back.data(), back.size()));
    EXPECT_EQ(key, Bytes(back.begin(), back.begin() + static_cast<long>(length)));
  }
  // Two encryptions of the same key differ in their random padding.
  const Bytes key(24, 7);
  Bytes a(128), b(128);
  std::size_t la = 128, lb = 128;
  ASSERT_EQ(0, RsaEncryptSessionKey(key.data(), 24, a.data(), &la));
  ASSERT_EQ(0, RsaEncryptSessionKey(key.data(), 24, b.data(), &lb));
  EXPECT_NE(a, b);
}

TEST_F(RsaSession, EncryptionRefusals) {
  const Bytes input(118, 1);
  Bytes out(128);
  std::size_t length = 128;
  EXPECT_EQ(-1, RsaEncryptSessionKey(input.data(), 118, out.data(), &length));  // 118 + 11 > 128
  EXPECT_EQ(-1, RsaEncryptSessionKey(input.data(), 0, out.data(), &length));
  EXPECT_EQ(-1, RsaEncryptSessionKey(nullptr, 24, out.data(), &length));
  EXPECT_EQ(-1, RsaEncryptSessionKey(input.data(), 24, nullptr, &length));
  length = 127;  // room for less than the key size
  EXPECT_EQ(-1, RsaEncryptSessionKey(input.data(), 24, out.data(), &length));
}

// Padding bytes: a zero draw is drawn again, at most 100 times per position.
TEST_F(RsaSession, ZeroPaddingDrawsAreRedrawn) {
  struct Source {
    int zerosBeforeEachByte;
    int sinceLast = 0;
    static int Draw(void* self, unsigned char* out, std::size_t length) {
      auto* s = static_cast<Source*>(self);
      for (std::size_t i = 0; i < length; ++i) {
        const bool zero = s->sinceLast < s->zerosBeforeEachByte;
        out[i] = zero ? 0 : 0x42;
        s->sinceLast = zero ? s->sinceLast + 1 : 0;
      }
      return 0;
    }
  };
  const Bytes key = RandomBytesOf(24, 9);
  Bytes cipher(128);
  std::size_t length = 128;
  Source ninetyNine{99};
  ASSERT_EQ(0, RsaEncryptSessionKey(BuildMessageKeyPair(), &Source::Draw, &ninetyNine, key.data(), 24,
                                    cipher.data(), &length));
  const Bytes block = Openssl(cipher, "-decrypt -pkeyopt rsa_padding_mode:none");
  EXPECT_EQ(Block(0x02, 101, key).size(), block.size());
  EXPECT_EQ(Bytes(101, 0x42), Bytes(block.begin() + 2, block.begin() + 103));

  Source hundred{100};
  EXPECT_EQ(-1, RsaEncryptSessionKey(BuildMessageKeyPair(), &Source::Draw, &hundred, key.data(), 24,
                                     cipher.data(), &length));
  auto failing = [](void*, unsigned char*, std::size_t) { return -1; };
  EXPECT_EQ(-1, RsaEncryptSessionKey(BuildMessageKeyPair(), failing, nullptr, key.data(), 24, cipher.data(),
                                     &length));
}

TEST_F(RsaSession, DecryptionOfOpensslCiphertext) {
  const Bytes key = RandomBytesOf(24, 11);
  const Bytes cipher = Openssl(key, "-encrypt");
  Bytes back(24, 0xEE);
  ASSERT_EQ(0, RsaDecryptSessionKey(cipher.data(), cipher.size(), back.data(), 24));
  EXPECT_EQ(key, back);
}

TEST_F(RsaSession, UnpaddingRules) {
  struct Case {
    const char* name;
    Bytes block;
    std::size_t capacity;
    int status;
    Bytes out;  // the whole output buffer afterwards, when the status is 0
  };
  const Bytes message24 = RandomBytesOf(24, 5);
  const Bytes message20 = RandomBytesOf(20, 6);
  Bytes twentyPadded = message20;
  twentyPadded.resize(24, 0);
  Bytes noZero = {0x00, 0x02};
  noZero.resize(128, 0x77);
  Bytes lastZero = noZero;
  lastZero[127] = 0x00;
  const Case cases[] = {
      {"type 2", Block(0x02, 101, message24), 24, 0, message24},
      {"type 1", Block(0x01, 101, message24), 24, 0, message24},
      {"empty padding string", Block(0x02, 0, Bytes(125, 0x33)), 125, 0, Bytes(125, 0x33)},
      {"short message leaves zeros", Block(0x02, 105, message20), 24, 0, twentyPadded},
      {"empty message", lastZero, 24, 0, Bytes(24, 0)},
      {"message longer than capacity", Block(0x02, 100, RandomBytesOf(25, 7)), 24, -1, {}},
      {"block type 0", Block(0x00, 101, message24), 24, -1, {}},
      {"block type 3", Block(0x03, 101, message24), 24, -1, {}},
      {"first byte not zero", [&] { Bytes b = Block(0x02, 101, message24); b[0] = 0x01; return b; }(), 24, -1, {}},
      {"no zero after the padding", noZero, 24, -1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(128u, c.block.size());
    const Bytes cipher = CiphertextOfBlock(c.block);
    Bytes out(c.capacity, 0xEE);
    EXPECT_EQ(c.status, RsaDecryptSessionKey(cipher.data(), cipher.size(), out.data(), c.capacity));
    if (c.status == 0) {
      EXPECT_EQ(c.out, out);
    }
  }
}

TEST_F(RsaSession, DecryptionRefusesShortInputAndValuesNotBelowN) {
  const Bytes key = RandomBytesOf(24, 12);
  Bytes cipher(128);
  std::size_t length = 128;
  ASSERT_EQ(0, RsaEncryptSessionKey(key.data(), 24, cipher.data(), &length));
  Bytes out(24);
  EXPECT_EQ(-1, RsaDecryptSessionKey(cipher.data(), 127, out.data(), 24));
  EXPECT_EQ(-1, RsaDecryptSessionKey(cipher.data(), 0, out.data(), 24));
  EXPECT_EQ(-1, RsaDecryptSessionKey(nullptr, 128, out.data(), 24));
  EXPECT_EQ(-1, RsaDecryptSessionKey(cipher.data(), 128, nullptr, 24));
  // Only the first 128 bytes are read.
  Bytes longer = cipher;
  longer.resize(300, 0xAB);
  EXPECT_EQ(0, RsaDecryptSessionKey(longer.data(), longer.size(), out.data(), 24));
  EXPECT_EQ(key, out);

  const Bytes n = FromHex(BuildMessageKeyPair().n);
  ASSERT_EQ(128u, n.size());
  EXPECT_EQ(-1, RsaDecryptSessionKey(n.data(), n.size(), out.data(), 24));
  const Bytes allOnes(128, 0xFF);
  EXPECT_EQ(-1, RsaDecryptSessionKey(allOnes.data(), allOnes.size(), out.data(), 24));
}

// A damaged or substituted key text fails its check before any message data is used.
TEST_F(RsaSession, KeyChecks) {
  const MessageKeyPair good = BuildMessageKeyPair();
  auto with = [&](auto change) {
    MessageKeyPair k = good;
    change(k);
    return k;
  };
  auto flipLastDigit = [](std::string& s) { s.back() = s.back() == '0' ? '2' : '0'; };
  struct Case {
    const char* name;
    MessageKeyPair key;
    bool publicFails;  // encryption refuses it too
  };
  const Case cases[] = {
      {"N with leading zero digits beyond 256", with([](MessageKeyPair& k) { k.n = "00" + k.n; }), true},
      {"N of 248 digits (31 words)", with([](MessageKeyPair& k) { k.n = k.n.substr(8); }), true},
      {"N even", with([&](MessageKeyPair& k) { flipLastDigit(k.n); }), true},
      {"N not hexadecimal", with([](MessageKeyPair& k) { k.n[10] = 'x'; }), true},
      {"E even", with([](MessageKeyPair& k) { k.e = "010000"; }), true},
      {"E of one bit", with([](MessageKeyPair& k) { k.e = "01"; }), true},
      {"E of 65 bits", with([](MessageKeyPair& k) { k.e = "10000000000000001"; }), true},
      {"P times Q is not N", with([](MessageKeyPair& k) { std::swap(k.p, k.dp); }), false},
      {"D wrong", with([&](MessageKeyPair& k) { flipLastDigit(k.d); }), false},
      {"D missing", with([](MessageKeyPair& k) { k.d.clear(); }), false},
      {"Q zero", with([](MessageKeyPair& k) { k.q = "0"; }), false},
      {"QP wrong", with([&](MessageKeyPair& k) { flipLastDigit(k.qp); }), false},
      {"DP wrong", with([&](MessageKeyPair& k) { flipLastDigit(k.dp); }), false},
  };
  const Bytes key = RandomBytesOf(24, 13);
  Bytes cipher(128);
  std::size_t length = 128;
  ASSERT_EQ(0, RsaEncryptSessionKey(good, key.data(), 24, cipher.data(), &length));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out(24, 0);
    EXPECT_EQ(-1, RsaDecryptSessionKey(c.key, cipher.data(), cipher.size(), out.data(), 24));
    Bytes other(128);
    std::size_t otherLength = 128;
    EXPECT_EQ(c.publicFails ? -1 : 0, RsaEncryptSessionKey(c.key, key.data(), 24, other.data(), &otherLength));
  }
  // Upper-case digits are read like lower-case ones.
  MessageKeyPair upper = good;
  for (std::string* s : {&upper.n, &upper.d, &upper.p, &upper.q, &upper.dp, &upper.dq, &upper.qp}) {
    for (char& ch : *s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  Bytes out(24);
  EXPECT_EQ(0, RsaDecryptSessionKey(upper, cipher.data(), cipher.size(), out.data(), 24));
  EXPECT_EQ(key, out);
}

}  // namespace
