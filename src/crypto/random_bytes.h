// A cryptographically sound source of random bytes (CTR-DRBG over the system's entropy source),
// seeded afresh for each user. Internal to the crypto module.
#pragma once

#include <cstddef>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>

class RandomBytes {
 public:
  RandomBytes();
  ~RandomBytes();
  RandomBytes(const RandomBytes&) = delete;
  RandomBytes& operator=(const RandomBytes&) = delete;

  // False when the generator could not be seeded; then Fill fails too.
  bool ok() const { return ok_; }

  // 0 on success, non-zero on failure (an mbed TLS error).
  int Fill(unsigned char* out, std::size_t length);

  // The generator in the form mbed TLS calls (f_rng, p_rng).
  static int Callback(void* self, unsigned char* out, std::size_t length);
  void* context() { return this; }

 private:
  mbedtls_entropy_context entropy_;
  mbedtls_ctr_drbg_context drbg_;
  bool ok_ = false;
};
