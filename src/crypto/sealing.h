// Sealed messages: everything exchanged with the update server, in both directions.
//
// A `SealedMessage` is a fixed-form ASN.1 SEQUENCE of three OCTET STRINGs (L plaintext bytes, padded
// length P = L - L % 8 + 8, all lengths big-endian):
//   30 82 <B = P + 158: 2 bytes>
//   04 81 80 <the 24-byte session key, RSA-encrypted with the public half of the pair: 128 bytes>
//   04 82 <P: 2 bytes> <the plaintext under triple DES in CBC mode: P bytes>
//   04 81 14 <SHA-1 of the plaintext: 20 bytes>
// P + 162 bytes in all, travelling as upper-case hexadecimal text of 2 * (P + 162) characters.
// Readers work by position: they never look at the tag bytes or the outer length.
//
// Status values: 0 for success (also for a size query), -1 for failure. A size query is a call without
// an output buffer or with too small a stated capacity: it sets the needed capacity and writes nothing.
#pragma once

#include <cstdint>
#include <string>

#include "crypto/key_material.h"

// The largest plaintext whose lengths still fit their two-byte fields (P = 65376, B = 0xFFFE).
constexpr std::uint32_t kMaxSealedPlaintext = 65375;

// Seals `length` plaintext bytes into `out` as text. The needed capacity is the text length plus ten,
// 2 * (P + 162) + 10; allocate one byte more, zero-filled. On success `*capacity` is the text length.
// -1 when a step fails (an empty plaintext fails after the size query has answered) and when the
// plaintext is longer than kMaxSealedPlaintext (also for a size query); no text is written then.
int SealMessage(char* out, std::uint32_t* capacity, const unsigned char* plaintext, std::uint32_t length);
int SealMessage(const MessageKeyPair& key, char* out, std::uint32_t* capacity,
                const unsigned char* plaintext, std::uint32_t length);

// Opens `length` characters of sealed text into `out`: its stated `*capacity` must be at least `length`
// (else it is set to `length` and 0 returned), and the plaintext is followed by a zero byte. On success
// `*capacity` is the plaintext length. -1 for an odd length, fields outside the text, an encrypted key
// shorter than 128 bytes or failing to decrypt, a ciphertext length not a multiple of 8, a digest
// length other than 20, or a digest that does not match; the output is cleared then.
int UnsealMessage(std::uint32_t length, const char* text, unsigned char* out, std::uint32_t* capacity);
int UnsealMessage(const MessageKeyPair& key, std::uint32_t length, const char* text, unsigned char* out,
                  std::uint32_t* capacity);

// Opens `length` characters of sealed text into `destination` (the plaintext up to its first zero
// byte). False on any failure, leaving `destination` unchanged.
bool UnsealToString(const char* text, std::uint32_t length, std::string& destination);
bool UnsealToString(const MessageKeyPair& key, const char* text, std::uint32_t length,
                    std::string& destination);

// Seals a whole string into `sealed` (the text only). False on failure, leaving `sealed` unchanged.
bool SealToString(const std::string& plaintext, std::string& sealed);
bool SealToString(const MessageKeyPair& key, const std::string& plaintext, std::string& sealed);
