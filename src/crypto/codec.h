// Text codecs: binary values as hexadecimal text (messages, signatures) and as Base64 (file digests).
// Lengths are unsigned 32-bit byte counts; text outputs end with a zero byte. Nothing is URL-encoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int kSignatureHexLength = 256;  // 128 signature bytes as text
constexpr int kSignatureBytes = 128;
constexpr int kDigestTextLength = 28;     // Base64 of a 20-byte SHA-1, "=" last

// Writes the `count` bytes as 2 * count upper-case digits and a zero byte. The stated `*capacity` must
// be at least 2 * count + 10; a smaller one (or no buffer) is set to that and nothing is written.
// On success `*capacity` is the text length, 2 * count. Returns 0 (-1 only when `capacity` is missing).
int HexEncode(const unsigned char* bytes, std::uint32_t count, char* out, std::uint32_t* capacity);

// Decodes `length` characters of hexadecimal text (either case) into length / 2 bytes when `out` is
// given and `*capacity` is at least length / 2. Characters outside the digits are not rejected: each is
// worth its code minus 48, and a pair combines as high * 16 + low modulo 256. `*capacity` is always set
// to length / 2 (this is also the size query). -1 when the length is odd.
int HexDecode(std::uint32_t length, const char* text, unsigned char* out, std::uint32_t* capacity);

// Converts the 256 characters of a signature into 128 bytes, upper-casing first; a character outside
// '0'..'F' is worth 0, and ':' to '?' are worth 10 to 15, so a damaged signature decodes to some other
// value and fails its check.
void DecodeSignatureHex(const char* text, unsigned char* out);

// Writes the Base64 text (standard alphabet, "=" padding) of a 20-byte digest: 28 characters and a
// zero byte, so `out` holds at least 29. Returns 28.
int Base64Digest(const unsigned char* digest, char* out);

// The file digest of some bytes: Base64Digest of their SHA-1.
std::string ContentDigest(const unsigned char* data, std::size_t length);
