// The crypto libraries' state lives as long as the process.
#pragma once

// Called first thing in main, before anything uses OpenSSL: OpenSSL then keeps its global and
// per-thread state until the process is gone instead of freeing it from an exit handler. The
// Downloader's workers (downloads, digests, TLS exchanges) run detached and may still be inside OpenSSL,
// or just ending, while the main thread returns from main; a clean-up at exit would free state under
// them, and the per-thread state of a worker that ends after it would never be freed.
void KeepCryptoLibrariesForProcessLifetime();
