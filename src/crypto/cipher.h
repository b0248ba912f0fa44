// The message cipher and digest wrappers: SHA-1, triple DES in CBC mode with the program's fixed
// initialisation vector and padding rule, and the generator of per-message session keys.
// Status values: 0 for success, -1 for failure. Nothing here keeps state between calls except the
// session-key generator, which is process-wide.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kDigestSize = 20;      // SHA-1, standard byte order
constexpr int kSessionKeySize = 24;  // `SessionKey`: K1 | K2 | K3, three independent DES keys
constexpr int kTdesBlockSize = 8;

// The initialisation vector of every message in both directions: the 8 characters "80604020".
extern const unsigned char kMessageIv[kTdesBlockSize];

// SHA-1 of `length` bytes into the 20-byte `digest`. A length of 0 or less hashes the empty message;
// with no output buffer nothing is computed. Always 0.
int Sha1Digest(const unsigned char* data, std::int32_t length, unsigned char* digest);

// Fills `length` bytes (24 in every call) of a session key: the process's generator is reseeded from the
// calendar time in whole seconds, then each byte is its next value modulo 100. Always 0.
int GenerateSessionKey(unsigned char* key, int length);

// The same generator reseeded from a given time, so that its rule can be checked. Always 0.
int GenerateSessionKeyAt(unsigned char* key, int length, std::int64_t seconds);

// Pads `length` plaintext bytes with `padCount` bytes of value padCount (PKCS #5; the caller passes
// 8 - length % 8) and encrypts them under the 24-byte `key` with E_K3(D_K2(E_K1(x))) in CBC mode from the
// fixed vector, writing length + padCount bytes to `out`.
// -1 when the key length is 0, the plaintext is missing, length is 0 or less, the pad count lies outside
// 1..8, or the padded length is not a multiple of 8.
int TdesCbcEncrypt(unsigned char* out, const unsigned char* plaintext, int length,
                   const unsigned char* key, int keyLength, int padCount);

// Decrypts `length` ciphertext bytes under the 24-byte `key` into `out` (room for length + 1 bytes,
// zero-filled by the caller). The text ends at its first zero byte (or after `length` bytes); when its
// last byte v lies in 1..8 and within the text, the last v bytes are zeroed and not counted.
// `*textLength` receives the text length. -1 when length is not a multiple of 8 (nothing is decrypted)
// or a pointer is missing.
int TdesCbcDecrypt(const unsigned char* ciphertext, int length, const unsigned char* key,
                   unsigned char* out, int* textLength);
