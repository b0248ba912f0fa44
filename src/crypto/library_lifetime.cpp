#include "crypto/library_lifetime.h"

#include <openssl/crypto.h>

void KeepCryptoLibrariesForProcessLifetime() {
  // Only the first initialisation decides whether OpenSSL registers its exit handler.
  (void)OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}
