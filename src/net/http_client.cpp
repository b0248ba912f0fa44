#include "net/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

#include "net/curl_transfer.h"

namespace {


// The four request headers, in the order they are sent. Setting Accept ourselves keeps libcurl's
// own "Accept: */*" off the wire; Accept-Encoding is a plain header, so nothing decompresses.
constexpr const char* kRequestHeaders[] = {
    "Accept: *,*/*",
    "Accept-Language: zh-cn",
    "Content-Type: application/x-www-form-urlencoded",
    "Accept-Encoding: gzip, deflate",
};

// The body is read as text in pieces of this size (see HttpGet).
constexpr std::size_t kReadPiece = 1024;

// A redirect is followed as a browser would, a few times and to http or https only.
constexpr long kMaxRedirects = 5;


// The body as text: cut into consecutive kReadPiece-byte pieces at fixed offsets of the body, each
// piece contributing its bytes up to its first zero byte. The cut does not depend on the sizes in which
// the network delivers the body.
class PieceText {
 public:
  void Append(const char* data, std::size_t size) {
    while (size > 0) {
      const std::size_t take = std::min(size, kReadPiece - m_pieceUsed);
      if (!m_pieceCut) {
        const void* zero = std::memchr(data, 0, take);
        const std::size_t keep = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : take;
        m_text.append(data, keep);
        m_pieceCut = zero != nullptr;
      }
      m_pieceUsed += take;
      data += take;
      size -= take;
      if (m_pieceUsed == kReadPiece) {
        m_pieceUsed = 0;
        m_pieceCut = false;
      }
    }
  }
  std::string& Text() { return m_text; }

 private:
  std::string m_text;
  std::size_t m_pieceUsed = 0;  // bytes of the current piece seen so far
  bool m_pieceCut = false;      // the current piece has had its zero byte
};

// What one GET tracks while libcurl runs it.
struct Transfer {
  PieceText body;
  std::size_t bodyBytes = 0;
  StallWatch watch{CHttpClient::kTimeoutMs};
  bool tooLarge = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  transfer->watch.Touch();
  if (bytes > CHttpClient::kMaxBodyBytes - transfer->bodyBytes) {
    transfer->tooLarge = true;
    return 0;  // ends the transfer with a write error
  }
  transfer->bodyBytes += bytes;
  transfer->body.Append(data, bytes);
  return bytes;
}

size_t OnHeaderLine(char*, size_t size, size_t count, void* user) {
  static_cast<Transfer*>(user)->watch.Touch();
  return size * count;
}

}  // namespace

struct CHttpClient::Session {
  bool initialised = false;
  HeaderList headers;
};

CHttpClient::CHttpClient() : m_pSession(std::make_unique<Session>()) {
  m_pSession->initialised = EnsureCurlInitialised();
  curl_slist* list = nullptr;
  for (const char* header : kRequestHeaders) {
    curl_slist* grown = curl_slist_append(list, header);
    if (grown == nullptr) {
      curl_slist_free_all(list);
      list = nullptr;
      break;
    }
    list = grown;
  }
  m_pSession->headers.reset(list);
}

CHttpClient::~CHttpClient() = default;

int CHttpClient::HttpGet(const char* url, std::string& response) {
  if (!m_pSession->initialised || !m_pSession->headers) return kHttpGetFailed;
  UrlHandle target = ParseHttpUrl(url);
  if (!target) return kHttpGetFailed;

  // One handle per request: its connection lives for this GET only.
  EasyHandle easy(curl_easy_init());
  if (!easy) return kHttpGetFailed;
  CURL* h = easy.get();
  Transfer transfer;

  bool set = true;
  auto opt = [&set](CURLcode rc) { set = set && rc == CURLE_OK; };
  opt(curl_easy_setopt(h, CURLOPT_CURLU, target.get()));
  opt(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"));
  opt(curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L));
  opt(curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects));
  opt(curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  opt(curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
  opt(curl_easy_setopt(h, CURLOPT_HTTPGET, 1L));
  opt(curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent));
  opt(curl_easy_setopt(h, CURLOPT_HTTPHEADER, m_pSession->headers.get()));
  // The raw body: no content decoding whatever the server declares (chunked framing is still undone).
  opt(curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, 0L));
  // Any server certificate is accepted: self-signed, expired or issued for another name.
  opt(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L));
  opt(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L));
  // Proxy settings are the system's: libcurl reads http_proxy, https_proxy, all_proxy and no_proxy.
  opt(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
  opt(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kTimeoutMs));
  set = set && transfer.watch.Attach(h);
  opt(curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeaderLine));
  opt(curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer));
  opt(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody));
  opt(curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer));
  opt(curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBodyBytes)));
  if (!set) return kHttpGetFailed;

  const CURLcode rc = curl_easy_perform(h);
  if (transfer.watch.TimedOut() || rc == CURLE_OPERATION_TIMEDOUT) return kHttpGetTimedOut;
  if (rc != CURLE_OK) return kHttpGetFailed;
  response = std::move(transfer.body.Text());
  return kHttpGetOk;
}
