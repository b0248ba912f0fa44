// CHttpClient: one HTTP or HTTPS GET whose response body comes back as text.
//
// The version query sends its whole sealed request inside the URL and reads the reply from the body.
// The client therefore looks neither at the status code nor at the certificate, and reports only three
// outcomes: success, failure and time-out.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// Results of CHttpClient::HttpGet.
enum HttpGetResult : int {
  kHttpGetOk = 0,
  kHttpGetFailed = 1,
  kHttpGetTimedOut = 2,
};

class CHttpClient {
 public:
  // The user agent every request of the client carries.
  static constexpr const char* kUserAgent =
      "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727)";

  // Connect time-out, and the longest time a request may go without a byte from the server.
  static constexpr long kTimeoutMs = 3000;

  // A body larger than this is refused (result 1) instead of growing without end.
  static constexpr std::size_t kMaxBodyBytes = 16u * 1024u * 1024u;

  CHttpClient();
  virtual ~CHttpClient();
  CHttpClient(const CHttpClient&) = delete;
  CHttpClient& operator=(const CHttpClient&) = delete;

  // GETs `url` (zero-terminated; only http:// and https:// URLs are accepted, anything else fails
  // at once without network activity) and stores the body in `response`.
  // Returns 0 on success (whatever the status code), 1 on failure, 2 when the server did not connect
  // or stopped sending for kTimeoutMs. On 1 and 2 `response` is left unchanged.
  //
  // Request headers, in this order, besides the Host line and the user agent:
  //   Accept: *,*/*
  //   Accept-Language: zh-cn
  //   Content-Type: application/x-www-form-urlencoded
  //   Accept-Encoding: gzip, deflate
  // The body is never decompressed. It is read as text in consecutive 1024-byte pieces (the last one
  // may be shorter) cut at fixed offsets of the body, whatever sizes the network delivers; each piece
  // contributes its bytes up to its first zero byte.
  int HttpGet(const char* url, std::string& response);

 private:
  struct Session;
  std::unique_ptr<Session> m_pSession;  // settings shared by every request of this client
};
