#include "crypto/codec.h"

#include <cctype>
#include <cstring>

#include <mbedtls/sha1.h>

#include "crypto/cipher.h"

namespace {

const char kUpperDigits[] = "0123456789ABCDEF";
const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int NibbleValue(unsigned char c) {
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return static_cast<int>(c) - 48;
}

// Indexed by character - '0' over '0'..'F'.
const unsigned char kSignatureNibble[] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9,         // '0'..'9'
    10, 11, 12, 13, 14, 15,               // ':' ';' '<' '=' '>' '?'
    0,                                    // '@'
    10, 11, 12, 13, 14, 15,               // 'A'..'F'
};

unsigned char SignatureNibble(char c) {
  const int upper = std::toupper(static_cast<unsigned char>(c));
  if (upper < '0' || upper > 'F') return 0;
  return kSignatureNibble[upper - '0'];
}

}  // namespace

int HexEncode(const unsigned char* bytes, std::uint32_t count, char* out, std::uint32_t* capacity) {
  if (capacity == nullptr) return -1;
  const std::uint64_t needed = 2ull * count + 10;
  if (out == nullptr || *capacity < needed || (count > 0 && bytes == nullptr)) {
    *capacity = needed > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(needed);
    return 0;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    out[2 * i] = kUpperDigits[bytes[i] >> 4];
    out[2 * i + 1] = kUpperDigits[bytes[i] & 0x0F];
  }
  out[2 * static_cast<std::uint64_t>(count)] = '\0';
  *capacity = 2 * count;
  return 0;
}

int HexDecode(std::uint32_t length, const char* text, unsigned char* out, std::uint32_t* capacity) {
  if (length % 2 != 0) return -1;
  if (capacity == nullptr) return -1;
  const std::uint32_t bytes = length / 2;
  if (out != nullptr && *capacity >= bytes) {
    if (text == nullptr && bytes > 0) return -1;
    for (std::uint32_t i = 0; i < bytes; ++i) {
      const int high = NibbleValue(static_cast<unsigned char>(text[2 * i]));
      const int low = NibbleValue(static_cast<unsigned char>(text[2 * i + 1]));
      out[i] = static_cast<unsigned char>(static_cast<unsigned>(high * 16 + low) & 0xFFu);
    }
  }
  *capacity = bytes;
  return 0;
}

void DecodeSignatureHex(const char* text, unsigned char* out) {
  for (int i = 0; i < kSignatureBytes; ++i) {
    out[i] = static_cast<unsigned char>(SignatureNibble(text[2 * i]) << 4 | SignatureNibble(text[2 * i + 1]));
  }
}

int Base64Digest(const unsigned char* digest, char* out) {
  char* w = out;
  for (int i = 0; i < 18; i += 3) {
    const unsigned v = static_cast<unsigned>(digest[i]) << 16 | static_cast<unsigned>(digest[i + 1]) << 8 |
                       digest[i + 2];
    *w++ = kBase64Alphabet[(v >> 18) & 0x3F];
    *w++ = kBase64Alphabet[(v >> 12) & 0x3F];
    *w++ = kBase64Alphabet[(v >> 6) & 0x3F];
    *w++ = kBase64Alphabet[v & 0x3F];
  }
  const unsigned v = static_cast<unsigned>(digest[18]) << 16 | static_cast<unsigned>(digest[19]) << 8;
  *w++ = kBase64Alphabet[(v >> 18) & 0x3F];
  *w++ = kBase64Alphabet[(v >> 12) & 0x3F];
  *w++ = kBase64Alphabet[(v >> 6) & 0x3F];
  *w++ = '=';
  *w = '\0';
  return kDigestTextLength;
}

std::string ContentDigest(const unsigned char* data, std::size_t length) {
  unsigned char digest[kDigestSize];
  static const unsigned char kNothing = 0;
  mbedtls_sha1_ret(length > 0 ? data : &kNothing, length, digest);
  char text[kDigestTextLength + 1];
  Base64Digest(digest, text);
  return std::string(text, kDigestTextLength);
}
