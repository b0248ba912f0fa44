#include "crypto/cipher.h"

#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <vector>

#include <mbedtls/des.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/sha1.h>

const unsigned char kMessageIv[kTdesBlockSize] = {'8', '0', '6', '0', '4', '0', '2', '0'};

namespace {

// The process's generator of session-key bytes, shared by every thread.
std::mutex g_sessionKeyMutex;
std::minstd_rand g_sessionKeyGenerator;

// Key schedules wiped when the call ends.
class TripleDes {
 public:
  TripleDes() { mbedtls_des3_init(&ctx_); }
  ~TripleDes() { mbedtls_des3_free(&ctx_); }
  TripleDes(const TripleDes&) = delete;
  TripleDes& operator=(const TripleDes&) = delete;
  mbedtls_des3_context* get() { return &ctx_; }

 private:
  mbedtls_des3_context ctx_;
};

}  // namespace

int Sha1Digest(const unsigned char* data, std::int32_t length, unsigned char* digest) {
  if (digest == nullptr) return 0;
  static const unsigned char kNothing = 0;
  if (length <= 0 || data == nullptr) {
    data = &kNothing;
    length = 0;
  }
  mbedtls_sha1_ret(data, static_cast<std::size_t>(length), digest);
  return 0;
}

int GenerateSessionKeyAt(unsigned char* key, int length, std::int64_t seconds) {
  if (key == nullptr) return 0;
  std::lock_guard<std::mutex> lock(g_sessionKeyMutex);
  g_sessionKeyGenerator.seed(static_cast<std::minstd_rand::result_type>(seconds));
  for (int i = 0; i < length; ++i) {
    key[i] = static_cast<unsigned char>(g_sessionKeyGenerator() % 100);
  }
  return 0;
}

int GenerateSessionKey(unsigned char* key, int length) {
  return GenerateSessionKeyAt(key, length, static_cast<std::int64_t>(std::time(nullptr)));
}

int TdesCbcEncrypt(unsigned char* out, const unsigned char* plaintext, int length,
                   const unsigned char* key, int keyLength, int padCount) {
  if (keyLength == 0 || plaintext == nullptr || length <= 0) return -1;
  if (out == nullptr || key == nullptr || keyLength < kSessionKeySize) return -1;
  if (padCount < 1 || padCount > kTdesBlockSize) return -1;
  const std::size_t total = static_cast<std::size_t>(length) + static_cast<std::size_t>(padCount);
  if (total % kTdesBlockSize != 0) return -1;

  std::vector<unsigned char> work(total, static_cast<unsigned char>(padCount));
  std::memcpy(work.data(), plaintext, static_cast<std::size_t>(length));

  TripleDes des;
  unsigned char iv[kTdesBlockSize];
  std::memcpy(iv, kMessageIv, sizeof iv);
  int rc = mbedtls_des3_set3key_enc(des.get(), key);
  if (rc == 0) rc = mbedtls_des3_crypt_cbc(des.get(), MBEDTLS_DES_ENCRYPT, total, iv, work.data(), out);
  mbedtls_platform_zeroize(work.data(), work.size());
  return rc == 0 ? 0 : -1;
}

int TdesCbcDecrypt(const unsigned char* ciphertext, int length, const unsigned char* key,
                   unsigned char* out, int* textLength) {
  if (length < 0 || length % kTdesBlockSize != 0) return -1;
  if (key == nullptr || out == nullptr || textLength == nullptr) return -1;
  if (length > 0 && ciphertext == nullptr) return -1;

  TripleDes des;
  unsigned char iv[kTdesBlockSize];
  std::memcpy(iv, kMessageIv, sizeof iv);
  int rc = mbedtls_des3_set3key_dec(des.get(), key);
  if (rc == 0 && length > 0) {
    rc = mbedtls_des3_crypt_cbc(des.get(), MBEDTLS_DES_DECRYPT, static_cast<std::size_t>(length), iv,
                                ciphertext, out);
  }
  if (rc != 0) return -1;

  // The output is text: it ends at its first zero byte, never beyond the decrypted bytes.
  int text = 0;
  while (text < length && out[text] != 0) ++text;
  // A last byte in 1..8 is the pad count; one larger than the text itself cannot be, and stays.
  if (text >= 1) {
    const int pad = out[text - 1];
    if (pad >= 1 && pad <= kTdesBlockSize && pad <= text) {
      std::memset(out + text - pad, 0, static_cast<std::size_t>(pad));
      text -= pad;
    }
  }
  *textLength = text;
  return 0;
}
