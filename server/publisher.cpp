#include "server/publisher.h"

#include <cctype>
#include <cstring>
#include <memory>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include "crypto/codec.h"
#include "crypto/signed_file.h"

namespace {

constexpr int kKeyBits = 1024;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct DecoderCtxFree {
  void operator()(OSSL_DECODER_CTX* ctx) const { OSSL_DECODER_CTX_free(ctx); }
};
struct BnFree {
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
struct OpensslFree {
  void operator()(char* text) const { OPENSSL_free(text); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey ReadPrivateKey(const std::string& pem, std::string& error) {
  EVP_PKEY* raw = nullptr;
  std::unique_ptr<OSSL_DECODER_CTX, DecoderCtxFree> decoder(
      OSSL_DECODER_CTX_new_for_pkey(&raw, "PEM", nullptr, "RSA", EVP_PKEY_KEYPAIR, nullptr, nullptr));
  const auto* data = reinterpret_cast<const unsigned char*>(pem.data());
  std::size_t length = pem.size();
  if (!decoder || OSSL_DECODER_from_data(decoder.get(), &data, &length) != 1 || raw == nullptr) {
    EVP_PKEY_free(raw);
    error = "not an RSA private key in PEM form";
    return nullptr;
  }
  Pkey key(raw);
  if (EVP_PKEY_get_bits(key.get()) != kKeyBits) {
    error = "the key must have a 1024-bit modulus";
    return nullptr;
  }
  return key;
}

// One key component as lower-case hexadecimal of exactly `digits` digits.
bool ComponentHex(EVP_PKEY* key, const char* name, std::size_t digits, std::string& out) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return false;
  std::unique_ptr<BIGNUM, BnFree> bn(raw);
  std::unique_ptr<char, OpensslFree> hex(BN_bn2hex(bn.get()));
  if (!hex) return false;
  std::string text(hex.get());
  if (text.size() > digits) return false;
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  out = std::string(digits - text.size(), '0') + text;
  return true;
}

}  // namespace

bool MessageKeyPairFromPem(const std::string& pem, MessageKeyPair& pair, std::string& error) {
  Pkey key = ReadPrivateKey(pem, error);
  if (!key) return false;
  MessageKeyPair read;
  const bool ok = ComponentHex(key.get(), OSSL_PKEY_PARAM_RSA_N, 256, read.n) &&
                  ComponentHex(key.get(), OSSL_PKEY_PARAM_RSA_E, 6, read.e) &&
                  ComponentHex(key.get(), OSSL_PKEY_PARAM_RSA_D, 256, read.d) &&
                  ComponentHex(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, 128, read.p) &&
                  ComponentHex(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, 128, read.q) &&
                  ComponentHex(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, 128, read.dp) &&
                  ComponentHex(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, 128, read.dq) &&
                  ComponentHex(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 128, read.qp);
  if (!ok || read.e != "010001") {
    error = "the key is not a two-prime 1024-bit RSA key with public exponent 65537";
    return false;
  }
  pair = read;
  return true;
}

bool SignManifest(const std::string& privateKeyPem, const std::string& manifest, std::string& signedText,
                  std::string& error) {
  Pkey key = ReadPrivateKey(privateKeyPem, error);
  if (!key) return false;

  // A manifest signed before is signed again over its content without the old block.
  std::string content;
  std::string oldSignature;
  const auto* bytes = reinterpret_cast<const unsigned char*>(manifest.data());
  if (!SplitSignedFile(bytes, manifest.size(), content, oldSignature)) content = manifest;

  const std::size_t anchor = content.rfind('<');
  if (anchor == std::string::npos) {
    error = "the manifest has no closing tag to place the signature before";
    return false;
  }

  unsigned char digest[SHA_DIGEST_LENGTH];
  unsigned int digestLength = 0;
  if (EVP_Digest(content.data(), content.size(), digest, &digestLength, EVP_sha1(), nullptr) != 1) {
    error = "SHA-1 failed";
    return false;
  }

  // A PKCS #1 type 1 block over the raw digest: no digest algorithm is named to the signer.
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  unsigned char signature[kSignatureBytes];
  std::size_t signatureLength = sizeof signature;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), signature, &signatureLength, digest, digestLength) != 1 ||
      signatureLength != kSignatureBytes) {
    error = "RSA signing failed";
    return false;
  }

  char hex[kSignatureHexLength + 10 + 1] = {};
  std::uint32_t capacity = sizeof hex - 1;
  if (HexEncode(signature, kSignatureBytes, hex, &capacity) != 0 || capacity != kSignatureHexLength) {
    error = "hexadecimal encoding failed";
    return false;
  }

  std::string out = content.substr(0, anchor);
  out += kSignTag;
  out.append(hex, kSignatureHexLength);
  out += kSignEndTag;
  out.append(content, anchor, std::string::npos);
  signedText = out;
  return true;
}
