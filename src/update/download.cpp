#include "update/download.h"

#include <curl/curl.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

#include "net/curl_transfer.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "update/bind_callback.h"
#include "update/manifest.h"

namespace {


constexpr int kAttempts = 5;
constexpr std::size_t kReadBlock = 4096;
constexpr long kMaxRedirects = 10;
constexpr long kReceiveBuffer = 256 * 1024;

// Every request asks for a fresh copy and keeps none: no cache between us and the server serves a
// stale manifest.
constexpr const char* kRequestHeaders[] = {
    "Cache-Control: no-cache",
    "Pragma: no-cache",
};

// A "\" before the query is a "/", as browsers read it: the entries of an update run keep the
// separator between folder and file name.
std::string WithForwardSlashes(std::string url) {
  const std::size_t end = url.find_first_of("?#");
  for (std::size_t i = 0; i < url.size() && i < end; ++i) {
    if (url[i] == '\\') url[i] = '/';
  }
  return url;
}

// An http or https URL with a host; nullptr for anything else.
UrlHandle ParseDownloadUrl(const std::string& text) { return ParseHttpUrl(WithForwardSlashes(text).c_str()); }

HeaderList MakeHeaders() {
  curl_slist* list = nullptr;
  for (const char* header : kRequestHeaders) {
    curl_slist* grown = curl_slist_append(list, header);
    if (grown == nullptr) {
      curl_slist_free_all(list);
      return nullptr;
    }
    list = grown;
  }
  return HeaderList(list);
}

bool StartsWithNoCase(const char* text, std::size_t size, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (size < length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// What one attempt tracks while libcurl runs it. The body goes straight into a staged file beside the
// target (hashed on the way when a digest is expected), so memory use does not grow with the body.
struct Transfer {
  IBindStatusCallback* callback = nullptr;
  std::uint64_t maxBody = 0;
  const DownloadLimits* limits = nullptr;
  CURL* easy = nullptr;
  const std::string* targetPath = nullptr;
  DigestBuilder* digest = nullptr;  // null when the body's digest is not checked

  std::uint64_t contentLength = 0;  // of the response being received; 0 when not announced
  std::unique_ptr<platform::StagedFile> staged;  // discarded unless committed
  std::uint64_t received = 0;       // body bytes written to `staged`
  std::uint64_t reported = 0;       // body bytes already reported in whole blocks
  bool bodyStarted = false;

  bool notOk = false;        // the final status is not 200: the body is not wanted
  bool tooLarge = false;     // more than announced, or more than the limit
  bool writeFailed = false;  // the target cannot be written
  StallWatch watch{0};  // armed with the attempt's stall time-out

  bool StartFile() {
    return platform::Current().Files().CreateStagedFile(*targetPath, &staged).ok();
  }

  void Report(std::uint64_t bytes) {
    if (callback != nullptr) {
      callback->OnProgress(static_cast<std::uint32_t>(bytes), static_cast<std::uint32_t>(contentLength), 0,
                           nullptr);
    }
    reported = bytes;
  }
};

// Header lines of every response (redirects included): each status line starts a new response, so
// the Content-Length that counts is the final response's.
size_t OnHeaderLine(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  t->watch.Touch();
  if (StartsWithNoCase(data, bytes, "http/")) {
    t->contentLength = 0;
  } else if (StartsWithNoCase(data, bytes, "content-length:")) {
    std::uint64_t value = 0;
    bool digits = false;
    bool overflow = false;
    for (std::size_t i = std::strlen("content-length:"); i < bytes; ++i) {
      const char c = data[i];
      if (c >= '0' && c <= '9') {
        if (value > (UINT64_MAX - 9) / 10) overflow = true;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        digits = true;
      } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        if (digits) break;
      } else {
        digits = false;
        break;
      }
    }
    t->contentLength = overflow ? UINT64_MAX : (digits ? value : 0);
  }
  return bytes;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  t->watch.Touch();
  if (!t->bodyStarted) {
    t->bodyStarted = true;
    long status = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
      t->notOk = true;
      return 0;  // ends the transfer: nothing of this body is kept
    }
    if (t->contentLength > t->maxBody) {
      t->tooLarge = true;
      return 0;
    }
    if (!t->StartFile()) {
      t->writeFailed = true;
      return 0;
    }
  }
  // A body that already exceeds its announced length (or the limit) can only fail: stop reading it.
  const std::uint64_t bound = t->contentLength < t->maxBody ? t->contentLength : t->maxBody;
  if (bytes > bound - t->received) {
    t->tooLarge = true;
    return 0;
  }
  if (!t->staged->Append(data, bytes).ok()) {
    t->writeFailed = true;
    return 0;
  }
  if (t->digest != nullptr) t->digest->Add(data, bytes);
  t->received += bytes;
  while (t->received - t->reported >= kReadBlock) t->Report(t->reported + kReadBlock);
  return bytes;
}

// One attempt. With `digest`, a complete body is written only when it has that file digest.
// *written tells whether this attempt put a body in place.
int Fetch(const std::string& url, const std::string& targetPath, IBindStatusCallback* callback,
          const std::string* digest, const DownloadLimits& limits, bool* written) {
  *written = false;
  UrlHandle target = ParseDownloadUrl(url);
  if (!target) return kFetchFailed;
  if (!EnsureCurlInitialised()) return kFetchFailed;
  HeaderList headers = MakeHeaders();
  EasyHandle easy(curl_easy_init());
  if (!headers || !easy) return kFetchFailed;
  CURL* h = easy.get();

  Transfer transfer;
  transfer.callback = callback;
  transfer.limits = &limits;
  transfer.watch = StallWatch(limits.stallTimeoutMs);
  // Progress reports carry 32-bit counts, so no body grows beyond them.
  transfer.maxBody = limits.maxBodyBytes < UINT32_MAX ? limits.maxBodyBytes : UINT32_MAX;
  transfer.easy = h;
  transfer.targetPath = &targetPath;
  DigestBuilder bodyDigest;
  if (digest != nullptr) transfer.digest = &bodyDigest;

  bool set = true;
  auto opt = [&set](CURLcode rc) { set = set && rc == CURLE_OK; };
  opt(curl_easy_setopt(h, CURLOPT_CURLU, target.get()));
  opt(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"));
  opt(curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L));
  opt(curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects));
  opt(curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  opt(curl_easy_setopt(h, CURLOPT_HTTPGET, 1L));
  opt(curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()));
  // The body exactly as sent: no content decoding (chunked framing is still undone).
  opt(curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, 0L));
  // Certificate problems never stop a download.
  opt(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L));
  opt(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L));
  // A new connection for every attempt; proxy settings come from the system's environment.
  opt(curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L));
  opt(curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L));
  opt(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
  opt(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs));
  // Large reads from the socket: fewer calls per byte for big files (progress still goes by 4096).
  opt(curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBuffer));
  set = set && transfer.watch.Attach(h);
  opt(curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeaderLine));
  opt(curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer));
  opt(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody));
  opt(curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer));
  if (!set) return kFetchFailed;

  const CURLcode rc = curl_easy_perform(h);
  if (transfer.notOk) return kFetchCompleted;
  if (transfer.tooLarge || transfer.writeFailed) return kFetchFailed;
  if (transfer.watch.TimedOut() || rc == CURLE_OPERATION_TIMEDOUT) return kFetchTimedOut;
  if (rc != CURLE_OK) return kFetchFailed;
  long status = 0;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return kFetchFailed;
  if (status != 200) return kFetchCompleted;

  if (transfer.received > transfer.reported) transfer.Report(transfer.received);
  if (transfer.received != transfer.contentLength) return kFetchFailed;
  if (!transfer.staged && !transfer.StartFile()) return kFetchFailed;  // an empty body
  if (digest != nullptr && bodyDigest.Finish() != *digest) return kFetchFailed;
  if (!transfer.staged->Commit().ok()) return kFetchFailed;
  *written = true;
  return kFetchCompleted;
}

bool Download(const std::string& url, const std::string& targetPath, IBindStatusCallback* callback,
              const std::string* digest, const DownloadLimits& limits) {
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    // Nothing is cached between attempts, so there is no cache entry to remove first.
    bool written = false;
    if (Fetch(url, targetPath, callback, digest, limits, &written) != kFetchCompleted) continue;
    if (digest == nullptr || written) {
      // A body this attempt wrote was checked against the digest before it was put in place.
      if (platform::Current().Files().Exists(targetPath)) return true;
    } else {
      // Also a target that stayed from earlier (the server answered another status) must be the file
      // the manifest describes.
      std::string found;
      if (ComputeFileDigest(targetPath, found) && found == *digest) return true;
    }
  }
  return false;
}

}  // namespace

int FetchUrlToFile(const std::string& url, const std::string& targetPath, IBindStatusCallback* callback,
                   const DownloadLimits& limits) {
  bool written = false;
  return Fetch(url, targetPath, callback, nullptr, limits, &written);
}

bool DownloadFile(const std::string& url, const std::string& targetPath, IBindStatusCallback* callback,
                  const DownloadLimits& limits) {
  return Download(url, targetPath, callback, nullptr, limits);
}

bool DownloadFileWithDigest(const std::string& url, const std::string& targetPath, const std::string& digest,
                            IBindStatusCallback* callback, const DownloadLimits& limits) {
  return Download(url, targetPath, callback, &digest, limits);
}
