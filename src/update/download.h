// The one routine that fetches a URL into a file: manifests, component files and runtime packages.
//
// Each attempt is a single HTTP or HTTPS GET. Nothing is taken from or written to a cache, certificate
// problems (self-signed, expired, another name) never stop a download, and the system's proxy settings
// apply. The target changes only when a complete body of the announced length arrived with status
// 200: the body is written beside the target as it arrives (memory use does not grow with its size)
// and renamed into place at the end, so a failed attempt or an interrupted process never leaves a
// partial file under the target's name.
#pragma once

#include <cstdint>
#include <string>

class IBindStatusCallback;

// Result of one attempt.
enum FetchResult : int {
  kFetchCompleted = 0,  // status 200 and the body written, or another status and nothing written
  kFetchFailed = 1,     // bad URL scheme, wrong body length, target not writable, a network error
  kFetchTimedOut = 2,   // no connection within the connect time-out, or the server stopped sending
};

// Bounds of one attempt, so that no download hangs without end.
struct DownloadLimits {
  long connectTimeoutMs = 30000;  // to set up the connection (and its TLS handshake)
  long stallTimeoutMs = 30000;    // longest time without a byte from the server once connected
  // A body announced or received larger than this fails the attempt. The body goes to disk as it
  // arrives, so memory sets no bound; progress reports carry 32-bit counts, so 4 GiB - 1 is the most.
  std::uint64_t maxBodyBytes = 0xFFFFFFFFull;
};

// Up to five attempts of FetchUrlToFile, no pause between them. True as soon as an attempt completed
// and something exists at the target path (a status other than 200 therefore succeeds only when the
// target existed already); false after five attempts without that.
bool DownloadFile(const std::string& url, const std::string& targetPath, IBindStatusCallback* callback,
                  const DownloadLimits& limits = DownloadLimits());

// DownloadFile for a component whose manifest entry gives its file digest: an attempt succeeds only
// when the file at the target path afterwards has exactly `digest`. A body with another digest is
// never written (the attempt fails and is repeated); a target left from earlier counts only when it
// has that digest. An empty `digest` therefore never succeeds.
bool DownloadFileWithDigest(const std::string& url, const std::string& targetPath, const std::string& digest,
                            IBindStatusCallback* callback, const DownloadLimits& limits = DownloadLimits());

// One GET of `url` (http or https; anything else fails at once; a "\" in its path is sent as "/"). The body is read in blocks of 4096
// bytes (the last may be shorter); after each, `callback` (if any) gets OnProgress(bytes received so
// far, the Content-Length value, 0, nullptr). A missing Content-Length counts as 0. With status 200 the
// body is written to `targetPath` only when its length equals the Content-Length value.
int FetchUrlToFile(const std::string& url, const std::string& targetPath, IBindStatusCallback* callback,
                   const DownloadLimits& limits = DownloadLimits());
