#include "crypto/random_bytes.h"

namespace {
const unsigned char kPersonalisation[] = "message session key padding";
}

RandomBytes::RandomBytes() {
  mbedtls_entropy_init(&entropy_);
  mbedtls_ctr_drbg_init(&drbg_);
  ok_ = mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, kPersonalisation,
                              sizeof kPersonalisation - 1) == 0;
}

RandomBytes::~RandomBytes() {
  mbedtls_ctr_drbg_free(&drbg_);
  mbedtls_entropy_free(&entropy_);
}

int RandomBytes::Fill(unsigned char* out, std::size_t length) {
  if (!ok_) return MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
  return mbedtls_ctr_drbg_random(&drbg_, out, length);
}

int RandomBytes::Callback(void* self, unsigned char* out, std::size_t length) {
  return static_cast<RandomBytes*>(self)->Fill(out, length);
}
