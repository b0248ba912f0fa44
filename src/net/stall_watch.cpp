#include "net/stall_watch.h"

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
