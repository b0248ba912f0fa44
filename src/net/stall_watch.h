// The time-out rule of every transfer the Downloader makes with libcurl: the connection (with its TLS
// handshake) is bounded by libcurl's connect time-out; from then on the peer must keep sending, at least
// one byte every `stallMs` milliseconds, however long the whole body takes.
#pragma once

#include <chrono>
#include <cstdint>

#include <curl/curl.h>

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
