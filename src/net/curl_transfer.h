// What every transfer the Downloader makes with libcurl shares: the process-wide set-up, owned handles,
// the URL check, and the time-out rule.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include <curl/curl.h>

// libcurl's global state, set up once per process before the first handle, from any thread.
bool EnsureCurlInitialised();

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlTextDeleter {
  void operator()(char* text) const { curl_free(text); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using CurlText = std::unique_ptr<char, CurlTextDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// Parses an http or https URL with a host. Anything else (another scheme, no scheme, no host, text that
// does not parse, a null text) gives nullptr.
UrlHandle ParseHttpUrl(const char* text);

// The time-out rule: the connection (with its TLS handshake) is bounded by libcurl's connect time-out;
// from then on the peer must keep sending, at least one byte every `stallMs` milliseconds, however long
// the whole body takes.
class StallWatch {
 public:
  explicit StallWatch(std::uint32_t stallMs) : m_stallMs(stallMs) {}

  // Installs the connect and progress callbacks on `handle`; false when libcurl refuses them.
  bool Attach(CURL* handle);

  // Every header line and body piece received counts as activity.
  void Touch() { m_lastActivity = Clock::now(); }

  // True when the transfer was aborted because the peer stopped sending.
  bool TimedOut() const { return m_timedOut; }

 private:
  using Clock = std::chrono::steady_clock;

  static int OnConnected(void* user, char*, char*, int, int);
  static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  std::uint32_t m_stallMs;
  bool m_connected = false;
  bool m_timedOut = false;
  Clock::time_point m_lastActivity = Clock::now();
};
