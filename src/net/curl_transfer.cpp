#include "net/curl_transfer.h"

#include <cstring>
#include <mutex>

bool EnsureCurlInitialised() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK; });
  return ok;
}

UrlHandle ParseHttpUrl(const char* text) {
  if (text == nullptr) return nullptr;
  UrlHandle url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text, 0) != CURLUE_OK) return nullptr;
  char* raw = nullptr;
  if (curl_url_get(url.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK) return nullptr;
  CurlText scheme(raw);
  if (std::strcmp(scheme.get(), "http") != 0 && std::strcmp(scheme.get(), "https") != 0) return nullptr;
  raw = nullptr;
  if (curl_url_get(url.get(), CURLUPART_HOST, &raw, 0) != CURLUE_OK) return nullptr;
  CurlText host(raw);
  if (host.get()[0] == '\0') return nullptr;
  return url;
}

bool StallWatch::Attach(CURL* handle) {
  return curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, OnConnected) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_PREREQDATA, this) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, OnProgress) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this) == CURLE_OK;
}

// Called once the connection is up, before the request goes out.
int StallWatch::OnConnected(void* user, char*, char*, int, int) {
  auto* watch = static_cast<StallWatch*>(user);
  watch->m_connected = true;
  watch->Touch();
  return CURL_PREREQFUNC_OK;
}

// Called often while bytes move and about once a second while nothing does.
int StallWatch::OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* watch = static_cast<StallWatch*>(user);
  if (!watch->m_connected) return 0;
  if (Clock::now() - watch->m_lastActivity >= std::chrono::milliseconds(watch->m_stallMs)) {
    watch->m_timedOut = true;
    return 1;  // aborts the transfer
  }
  return 0;
}
