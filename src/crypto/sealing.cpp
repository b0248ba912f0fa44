#include "crypto/sealing.h"

#include <cstddef>
#include <cstring>
#include <exception>
#include <vector>

#include <mbedtls/platform_util.h>

#include "crypto/cipher.h"
#include "crypto/codec.h"
#include "crypto/rsa_session.h"

namespace {

constexpr std::size_t kEnvelopeBytes = 162;  // everything but the ciphertext
constexpr std::size_t kKeyFieldOffset = 7;
constexpr std::size_t kKeyFieldBytes = kRsaKeyBytes;

// A session key that is wiped when it goes.
struct SessionKeyBuffer {
  unsigned char bytes[kSessionKeySize] = {};
  SessionKeyBuffer() = default;
  SessionKeyBuffer(const SessionKeyBuffer&) = delete;
  SessionKeyBuffer& operator=(const SessionKeyBuffer&) = delete;
  ~SessionKeyBuffer() { mbedtls_platform_zeroize(bytes, sizeof bytes); }
};

void PutLength16(unsigned char* at, std::size_t value) {
  at[0] = static_cast<unsigned char>(value >> 8);
  at[1] = static_cast<unsigned char>(value & 0xFF);
}

int SealMessageBytes(const MessageKeyPair& key, char* out, std::uint32_t* capacity,
                     const unsigned char* plaintext, std::uint32_t length) {
  if (capacity == nullptr) return -1;
  // Lengths beyond the two-byte fields cannot be written truthfully.
  if (length > kMaxSealedPlaintext) return -1;
  const std::size_t padded = length - length % 8 + 8;
  const std::size_t body = padded + 158;
  const std::size_t total = padded + kEnvelopeBytes;
  const std::uint32_t needed = static_cast<std::uint32_t>(2 * total + 10);
  if (out == nullptr || *capacity < needed) {
    *capacity = needed;
    return 0;
  }

  SessionKeyBuffer session;
  GenerateSessionKey(session.bytes, kSessionKeySize);

  std::vector<unsigned char> message(total, 0);
  unsigned char* m = message.data();
  m[0] = 0x30;
  m[1] = 0x82;
  PutLength16(m + 2, body);
  m[4] = 0x04;
  m[5] = 0x81;
  m[6] = static_cast<unsigned char>(kKeyFieldBytes);

  std::size_t keyLength = kKeyFieldBytes;
  if (RsaEncryptSessionKey(key, session.bytes, kSessionKeySize, m + kKeyFieldOffset, &keyLength) != 0 ||
      keyLength != kKeyFieldBytes) {
    return -1;
  }
  std::size_t at = kKeyFieldOffset + kKeyFieldBytes;
  m[at++] = 0x04;
  m[at++] = 0x82;
  PutLength16(m + at, padded);
  at += 2;

  const int pad = static_cast<int>(8 - length % 8);
  if (TdesCbcEncrypt(m + at, plaintext, static_cast<int>(length), session.bytes, kSessionKeySize, pad) != 0)
    return -1;
  at += padded;

  m[at++] = 0x04;
  m[at++] = 0x81;
  m[at++] = static_cast<unsigned char>(kDigestSize);
  Sha1Digest(plaintext, static_cast<std::int32_t>(length), m + at);

  return HexEncode(m, static_cast<std::uint32_t>(total), out, capacity);
}

int UnsealMessageText(const MessageKeyPair& key, std::uint32_t length, const char* text, unsigned char* out,
                      std::uint32_t* capacity) {
  if (capacity == nullptr) return -1;
  if (*capacity < length) {
    *capacity = length;
    return 0;
  }
  if (length % 2 != 0 || text == nullptr || out == nullptr) return -1;

  std::uint32_t n32 = length / 2;
  std::vector<unsigned char> message(n32);
  if (HexDecode(length, text, message.data(), &n32) != 0) return -1;
  const unsigned char* m = message.data();
  const std::size_t n = n32;

  // Every position is checked against the message before it is read.
  if (n < 7) return -1;
  const std::size_t k = m[6];
  if (n < k + 11) return -1;
  const std::size_t c = static_cast<std::size_t>(m[k + 9]) * 256 + m[k + 10];
  if (n < k + c + 14) return -1;
  const std::size_t d = m[k + c + 13];
  if (n < k + c + 14 + d) return -1;

  SessionKeyBuffer session;
  if (RsaDecryptSessionKey(key, m + kKeyFieldOffset, k, session.bytes, kSessionKeySize) != 0) return -1;

  // c < n <= *capacity / 2, so the text and its terminator fit the caller's buffer.
  int textLength = 0;
  if (TdesCbcDecrypt(m + k + 11, static_cast<int>(c), session.bytes, out, &textLength) != 0) return -1;
  out[c] = 0;

  unsigned char digest[kDigestSize];
  Sha1Digest(out, textLength, digest);
  if (d != kDigestSize || std::memcmp(digest, m + k + c + 14, kDigestSize) != 0) {
    mbedtls_platform_zeroize(out, c);
    return -1;
  }
  *capacity = static_cast<std::uint32_t>(textLength);
  return 0;
}

}  // namespace

// Allocation failures end in the failure status: nothing is thrown to the caller.
int SealMessage(const MessageKeyPair& key, char* out, std::uint32_t* capacity,
                const unsigned char* plaintext, std::uint32_t length) {
  try {
    return SealMessageBytes(key, out, capacity, plaintext, length);
  } catch (const std::exception&) {
    return -1;
  }
}

int UnsealMessage(const MessageKeyPair& key, std::uint32_t length, const char* text, unsigned char* out,
                  std::uint32_t* capacity) {
  try {
    return UnsealMessageText(key, length, text, out, capacity);
  } catch (const std::exception&) {
    return -1;
  }
}

int SealMessage(char* out, std::uint32_t* capacity, const unsigned char* plaintext, std::uint32_t length) {
  return SealMessage(BuildMessageKeyPair(), out, capacity, plaintext, length);
}

int UnsealMessage(std::uint32_t length, const char* text, unsigned char* out, std::uint32_t* capacity) {
  return UnsealMessage(BuildMessageKeyPair(), length, text, out, capacity);
}

bool UnsealToString(const MessageKeyPair& key, const char* text, std::uint32_t length,
                    std::string& destination) {
  try {
    std::vector<unsigned char> buffer(static_cast<std::size_t>(length) + 1, 0);
    std::uint32_t capacity = length;
    if (UnsealMessageText(key, length, text, buffer.data(), &capacity) != 0) return false;
    destination.assign(reinterpret_cast<const char*>(buffer.data()));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool UnsealToString(const char* text, std::uint32_t length, std::string& destination) {
  return UnsealToString(BuildMessageKeyPair(), text, length, destination);
}

bool SealToString(const MessageKeyPair& key, const std::string& plaintext, std::string& sealed) {
  if (plaintext.size() > kMaxSealedPlaintext) return false;
  const auto length = static_cast<std::uint32_t>(plaintext.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(plaintext.data());
  try {
    std::uint32_t capacity = 0;
    if (SealMessageBytes(key, nullptr, &capacity, bytes, length) != 0) return false;
    std::vector<char> text(static_cast<std::size_t>(capacity) + 1, 0);
    if (SealMessageBytes(key, text.data(), &capacity, bytes, length) != 0) return false;
    sealed.assign(text.data(), capacity);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool SealToString(const std::string& plaintext, std::string& sealed) {
  return SealToString(BuildMessageKeyPair(), plaintext, sealed);
}
