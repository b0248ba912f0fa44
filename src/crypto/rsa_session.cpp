#include "crypto/rsa_session.h"

#include <cstring>
#include <string>

#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "crypto/random_bytes.h"

namespace {

constexpr std::size_t kPkcs1Overhead = 11;
constexpr int kDrawsPerPaddingByte = 100;

class Mpi {
 public:
  Mpi() { mbedtls_mpi_init(&v_); }
  ~Mpi() { mbedtls_mpi_free(&v_); }
  Mpi(const Mpi&) = delete;
  Mpi& operator=(const Mpi&) = delete;
  mbedtls_mpi* get() { return &v_; }
  const mbedtls_mpi* get() const { return &v_; }

 private:
  mbedtls_mpi v_;
};

class RsaContext {
 public:
  RsaContext() { mbedtls_rsa_init(&ctx_, MBEDTLS_RSA_PKCS_V15, 0); }
  ~RsaContext() { mbedtls_rsa_free(&ctx_); }
  RsaContext(const RsaContext&) = delete;
  RsaContext& operator=(const RsaContext&) = delete;
  mbedtls_rsa_context* get() { return &ctx_; }

 private:
  mbedtls_rsa_context ctx_;
};

// A block of key-sized scratch memory, wiped when it goes.
struct Block {
  unsigned char bytes[kRsaKeyBytes] = {};
  Block() = default;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { mbedtls_platform_zeroize(bytes, sizeof bytes); }
};

bool IsHexText(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit) return false;
  }
  return true;
}

bool LoadHex(Mpi& value, const std::string& text) {
  return IsHexText(text) && mbedtls_mpi_read_string(value.get(), 16, text.c_str()) == 0;
}

bool IsOdd(const Mpi& value) { return mbedtls_mpi_get_bit(value.get(), 0) == 1; }

// The public key as loaded and checked: N must fill exactly key length / 4 32-bit words as written
// (249 to 256 digits), N and E odd, N of 128..4096 bits and E of 2..64 bits.
struct PublicKey {
  Mpi n;
  Mpi e;
  bool Load(const MessageKeyPair& key) {
    const std::size_t words = (key.n.size() + 7) / 8;
    if (words != kRsaKeyBytes / 4) return false;
    if (!LoadHex(n, key.n) || !LoadHex(e, key.e)) return false;
    if (!IsOdd(n) || !IsOdd(e)) return false;
    const std::size_t nBits = mbedtls_mpi_bitlen(n.get());
    const std::size_t eBits = mbedtls_mpi_bitlen(e.get());
    return nBits >= 128 && nBits <= 4096 && eBits >= 2 && eBits <= 64;
  }
};

// The private key as loaded and checked: the public checks, then P * Q = N,
// D * E = 1 mod lcm(P - 1, Q - 1) and gcd(E, (P - 1)(Q - 1)) = 1.
struct PrivateKey : PublicKey {
  Mpi d, p, q, dp, dq, qp;
  bool Load(const MessageKeyPair& key) {
    if (!PublicKey::Load(key)) return false;
    if (!LoadHex(d, key.d) || !LoadHex(p, key.p) || !LoadHex(q, key.q) || !LoadHex(dp, key.dp) ||
        !LoadHex(dq, key.dq) || !LoadHex(qp, key.qp)) {
      return false;
    }
    for (const Mpi* part : {&d, &p, &q, &dp, &dq, &qp}) {
      if (mbedtls_mpi_cmp_int(part->get(), 0) <= 0) return false;
    }
    Mpi product, p1, q1, phi, g, lcm, rest, de, one;
    if (mbedtls_mpi_mul_mpi(product.get(), p.get(), q.get()) != 0) return false;
    if (mbedtls_mpi_cmp_mpi(product.get(), n.get()) != 0) return false;
    if (mbedtls_mpi_sub_int(p1.get(), p.get(), 1) != 0 || mbedtls_mpi_sub_int(q1.get(), q.get(), 1) != 0)
      return false;
    if (mbedtls_mpi_cmp_int(p1.get(), 0) <= 0 || mbedtls_mpi_cmp_int(q1.get(), 0) <= 0) return false;
    if (mbedtls_mpi_mul_mpi(phi.get(), p1.get(), q1.get()) != 0) return false;
    if (mbedtls_mpi_gcd(g.get(), e.get(), phi.get()) != 0 || mbedtls_mpi_cmp_int(g.get(), 1) != 0)
      return false;
    if (mbedtls_mpi_gcd(g.get(), p1.get(), q1.get()) != 0) return false;
    if (mbedtls_mpi_div_mpi(lcm.get(), rest.get(), phi.get(), g.get()) != 0) return false;
    if (mbedtls_mpi_mul_mpi(de.get(), d.get(), e.get()) != 0) return false;
    if (mbedtls_mpi_mod_mpi(rest.get(), de.get(), lcm.get()) != 0) return false;
    return mbedtls_mpi_cmp_int(rest.get(), 1) == 0;
  }
};

}  // namespace

int RsaEncryptSessionKey(const MessageKeyPair& key, RandomSource random, void* randomContext,
                         const unsigned char* input, std::size_t inputLength, unsigned char* out,
                         std::size_t* outLength) {
  if (input == nullptr || inputLength == 0 || out == nullptr) return -1;
  if (outLength == nullptr || *outLength < kRsaKeyBytes || random == nullptr) return -1;

  PublicKey pub;
  if (!pub.Load(key)) return -1;
  if (inputLength + kPkcs1Overhead > kRsaKeyBytes) return -1;

  // 0x00 0x02, non-zero random bytes, 0x00, the input.
  Block block;
  block.bytes[0] = 0x00;
  block.bytes[1] = 0x02;
  const std::size_t padEnd = kRsaKeyBytes - inputLength - 1;
  for (std::size_t i = 2; i < padEnd; ++i) {
    unsigned char b = 0;
    for (int draw = 0; draw < kDrawsPerPaddingByte && b == 0; ++draw) {
      if (random(randomContext, &b, 1) != 0) return -1;
    }
    if (b == 0) return -1;
    block.bytes[i] = b;
  }
  block.bytes[padEnd] = 0x00;
  std::memcpy(block.bytes + padEnd + 1, input, inputLength);

  RsaContext rsa;
  if (mbedtls_rsa_import(rsa.get(), pub.n.get(), nullptr, nullptr, nullptr, pub.e.get()) != 0) return -1;
  if (mbedtls_rsa_get_len(rsa.get()) != kRsaKeyBytes) return -1;
  if (mbedtls_rsa_public(rsa.get(), block.bytes, out) != 0) return -1;
  *outLength = (mbedtls_mpi_bitlen(pub.n.get()) + 7) / 8;
  return 0;
}

int RsaEncryptSessionKey(const MessageKeyPair& key, const unsigned char* input,
                         std::size_t inputLength, unsigned char* out, std::size_t* outLength) {
  RandomBytes random;
  if (!random.ok()) return -1;
  return RsaEncryptSessionKey(key, &RandomBytes::Callback, random.context(), input, inputLength, out,
                              outLength);
}

int RsaEncryptSessionKey(const unsigned char* input, std::size_t inputLength, unsigned char* out,
                         std::size_t* outLength) {
  return RsaEncryptSessionKey(BuildMessageKeyPair(), input, inputLength, out, outLength);
}

int RsaDecryptSessionKey(const MessageKeyPair& key, const unsigned char* input,
                         std::size_t inputLength, unsigned char* out, std::size_t capacity) {
  if (input == nullptr || inputLength == 0 || out == nullptr) return -1;

  PrivateKey priv;
  if (!priv.Load(key)) return -1;
  if (inputLength < kRsaKeyBytes) return -1;

  RsaContext rsa;
  mbedtls_rsa_context* ctx = rsa.get();
  if (mbedtls_rsa_import(ctx, priv.n.get(), priv.p.get(), priv.q.get(), priv.d.get(), priv.e.get()) != 0)
    return -1;
  if (mbedtls_mpi_copy(&ctx->DP, priv.dp.get()) != 0 || mbedtls_mpi_copy(&ctx->DQ, priv.dq.get()) != 0 ||
      mbedtls_mpi_copy(&ctx->QP, priv.qp.get()) != 0) {
    return -1;
  }
  if (mbedtls_rsa_get_len(ctx) != kRsaKeyBytes) return -1;

  // The private operation blinds its input; the blinding values come from a sound generator.
  RandomBytes random;
  if (!random.ok()) return -1;
  Block block;
  if (mbedtls_rsa_private(ctx, &RandomBytes::Callback, random.context(), input, block.bytes) != 0)
    return -1;

  // 0x00, block type 1 or 2, padding up to the first zero byte (none required), the message.
  if (block.bytes[0] != 0x00 || (block.bytes[1] != 0x01 && block.bytes[1] != 0x02)) return -1;
  std::size_t zero = 2;
  while (zero < kRsaKeyBytes && block.bytes[zero] != 0x00) ++zero;
  if (zero == kRsaKeyBytes) return -1;
  const std::size_t messageLength = kRsaKeyBytes - zero - 1;
  if (messageLength > capacity) return -1;

  std::memset(out, 0, capacity);
  if (messageLength > 0) std::memcpy(out, block.bytes + zero + 1, messageLength);
  return 0;
}

int RsaDecryptSessionKey(const unsigned char* input, std::size_t inputLength, unsigned char* out,
                         std::size_t capacity) {
  return RsaDecryptSessionKey(BuildMessageKeyPair(), input, inputLength, out, capacity);
}
