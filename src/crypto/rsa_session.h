// The RSA operations on session keys: PKCS #1 v1.5 block type 2 encryption with the public half of
// `MessageKeyPair`, and decryption by the Chinese remainder theorem with its private half. Each call
// loads and checks the key texts afresh and keeps nothing. Status: 0 for success, -1 for any failure.
#pragma once

#include <cstddef>

#include "crypto/key_material.h"

constexpr std::size_t kRsaKeyBytes = 128;  // the key length of every operation (1024-bit modulus)

// A source of random bytes in the form mbed TLS calls: fills `length` bytes, 0 on success.
using RandomSource = int (*)(void* context, unsigned char* out, std::size_t length);

// Encrypts `inputLength` bytes (at most 117) into `out`. `*outLength` states the room in `out` (at
// least 128) and receives the byte size of N, 128. The padding bytes come from a CTR-DRBG seeded from
// the system's entropy source.
int RsaEncryptSessionKey(const unsigned char* input, std::size_t inputLength, unsigned char* out,
                         std::size_t* outLength);
int RsaEncryptSessionKey(const MessageKeyPair& key, const unsigned char* input,
                         std::size_t inputLength, unsigned char* out, std::size_t* outLength);
// The same with the padding bytes taken from `random`: each position takes the next non-zero byte,
// with at most 100 draws per position.
int RsaEncryptSessionKey(const MessageKeyPair& key, RandomSource random, void* randomContext,
                         const unsigned char* input, std::size_t inputLength, unsigned char* out,
                         std::size_t* outLength);

// Decrypts the first 128 bytes of `input` and writes the message (block type 1 or 2, any amount of
// padding) into `out`, which is zero-filled over `capacity` bytes first; the message length is not
// passed back. -1 when the input is shorter than 128 bytes, not below N, badly padded, or its message
// is longer than `capacity`.
int RsaDecryptSessionKey(const unsigned char* input, std::size_t inputLength, unsigned char* out,
                         std::size_t capacity);
int RsaDecryptSessionKey(const MessageKeyPair& key, const unsigned char* input,
                         std::size_t inputLength, unsigned char* out, std::size_t capacity);
