#include "crypto/signed_file.h"

#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include <mbedtls/sha1.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "crypto/cipher.h"
#include "crypto/codec.h"
#include "crypto/key_material.h"

const char kSignTag[] = "\r\n<Sign>";
const char kSignEndTag[] = "</Sign>\r\n";

namespace {

constexpr std::size_t kSignTagBytes = 8;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct DecoderCtxFree {
  void operator()(OSSL_DECODER_CTX* ctx) const { OSSL_DECODER_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Reads an RSA public key from PEM text: the PKCS #1 "RSA PUBLIC KEY" form, or the
// SubjectPublicKeyInfo "PUBLIC KEY" form.
Pkey ReadPublicKey(const char* pem) {
  if (pem == nullptr) return nullptr;
  EVP_PKEY* raw = nullptr;
  std::unique_ptr<OSSL_DECODER_CTX, DecoderCtxFree> decoder(OSSL_DECODER_CTX_new_for_pkey(
      &raw, "PEM", nullptr, "RSA", OSSL_KEYMGMT_SELECT_PUBLIC_KEY, nullptr, nullptr));
  if (!decoder) return nullptr;
  const auto* data = reinterpret_cast<const unsigned char*>(pem);
  std::size_t length = std::strlen(pem);
  if (OSSL_DECODER_from_data(decoder.get(), &data, &length) != 1) {
    EVP_PKEY_free(raw);
    return nullptr;
  }
  return Pkey(raw);
}

// Recovers the signed bytes of a PKCS #1 type 1 signature; true when they are exactly `digest`.
bool SignatureRecoversDigest(EVP_PKEY* key, const unsigned char* signature,
                             const unsigned char* digest) {
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx) return false;
  if (EVP_PKEY_verify_recover_init(ctx.get()) != 1) return false;
  if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) return false;
  unsigned char recovered[kSignatureBytes * 4];
  std::size_t recoveredLength = sizeof recovered;
  if (EVP_PKEY_verify_recover(ctx.get(), recovered, &recoveredLength, signature, kSignatureBytes) != 1)
    return false;
  return recoveredLength == kDigestSize && CRYPTO_memcmp(recovered, digest, kDigestSize) == 0;
}

}  // namespace

bool SplitSignedFile(const unsigned char* data, std::size_t size, std::string& content,
                     std::string& signatureHex) {
  if (data == nullptr) return false;
  std::size_t t = size;
  while (t > 0 && data[t - 1] != '<') --t;
  if (t == 0) return false;
  t -= 1;
  if (t < kSignBlockBytes) return false;
  const unsigned char* block = data + t - kSignBlockBytes;
  if (std::memcmp(block, kSignTag, kSignTagBytes) != 0) return false;
  signatureHex.assign(reinterpret_cast<const char*>(block + kSignTagBytes), kSignatureHexLength);
  content.assign(reinterpret_cast<const char*>(data), t - kSignBlockBytes);
  content.append(reinterpret_cast<const char*>(data + t), size - t);
  return true;
}

namespace {

bool VerifySignedBytes(const char* publicKeyPem, const unsigned char* data, std::size_t size) {
  Pkey key = ReadPublicKey(publicKeyPem);
  if (!key) return false;
  std::string content;
  std::string signatureHex;
  if (!SplitSignedFile(data, size, content, signatureHex)) return false;
  unsigned char signature[kSignatureBytes];
  DecodeSignatureHex(signatureHex.c_str(), signature);
  unsigned char digest[kDigestSize];
  mbedtls_sha1_ret(reinterpret_cast<const unsigned char*>(content.data()), content.size(), digest);
  return SignatureRecoversDigest(key.get(), signature, digest);
}

}  // namespace

// Allocation failures end in false: nothing is thrown to the caller.
bool VerifySignedData(const char* publicKeyPem, const unsigned char* data, std::size_t size) {
  try {
    return VerifySignedBytes(publicKeyPem, data, size);
  } catch (const std::exception&) {
    return false;
  }
}

bool VerifySignedData(const unsigned char* data, std::size_t size) {
  return VerifySignedData(FileSignatureKey(), data, size);
}

bool VerifySignedFile(const char* publicKeyPem, const char* path) {
  if (path == nullptr) return false;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    return VerifySignedBytes(publicKeyPem, data.data(), data.size());
  } catch (const std::exception&) {
    return false;
  }
}

bool VerifySignedFile(const char* path) { return VerifySignedFile(FileSignatureKey(), path); }
