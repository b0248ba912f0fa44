// The key material compiled into this build (from the build's key folder, see cmake/Keys.cmake).
#pragma once

#include <string>

// `MessageKeyPair`: one RSA pair with a 1024-bit modulus, as hexadecimal texts (most significant digit
// first, no separators). The public half (n, e) seals requests; the private half opens replies. The
// server holds the same pair.
struct MessageKeyPair {
  std::string n;   // modulus: 256 digits
  std::string e;   // public exponent: "010001"
  std::string d;   // private exponent: 256 digits
  std::string p;   // primes: 128 digits each
  std::string q;
  std::string dp;  // d mod (p - 1)
  std::string dq;  // d mod (q - 1)
  std::string qp;  // q^-1 mod p
};

// The pair compiled into this build.
const MessageKeyPair& BuildMessageKeyPair();

// `FileSignatureKey`: the PEM text (PKCS #1 RSAPublicKey, 1024-bit modulus) that checks signed manifests.
const char* FileSignatureKey();
