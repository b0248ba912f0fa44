#include "test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <httplib.h>

#include <cerrno>
#include <cstring>

namespace nettest {

namespace {

constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr auto kRequestHeadWait = std::chrono::seconds(10);
constexpr auto kPollStep = std::chrono::milliseconds(50);

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

// Reads up to the blank line that ends the request head, or whatever arrived before the peer left,
// the size bound or the wait bound.
std::string ReadRequestHead(int fd, const std::atomic<bool>& stopping) {
  std::string head;
  const auto deadline = std::chrono::steady_clock::now() + kRequestHeadWait;
  while (!stopping && std::chrono::steady_clock::now() < deadline && head.size() < kMaxRequestHead) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(kPollStep.count()));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    head.append(buffer, static_cast<std::size_t>(got));
    const std::size_t end = head.find("\r\n\r\n");
    if (end != std::string::npos) {
      head.resize(end + 4);
      break;
    }
  }
  return head;
}

}  // namespace

std::string HttpResponse(int status, const std::string& body, const std::string& extraHeaders) {
  return "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n" +
         "Content-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
         "Connection: close\r\n\r\n" + body;
}

std::string ChunkedHttpResponse(int status, const std::string& body, std::size_t piece,
                                const std::string& extraHeaders) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n" +
                    "Transfer-Encoding: chunked\r\n" + extraHeaders + "Connection: close\r\n\r\n";
  for (std::size_t at = 0; at < body.size(); at += piece) {
    const std::string chunk = body.substr(at, piece);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    out += size + chunk + "\r\n";
  }
  return out + "0\r\n\r\n";
}

RawConnection::RawConnection(int fd, std::string request, const std::atomic<bool>& stopping)
    : m_fd(fd), m_request(std::move(request)), m_stopping(stopping) {}

RawConnection::~RawConnection() { close(m_fd); }

bool RawConnection::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool RawConnection::SendInPieces(const std::string& bytes, std::size_t piece) {
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    if (!Send(bytes.substr(at, piece))) return false;
  }
  return true;
}

void RawConnection::Pause(std::chrono::milliseconds time) {
  const auto until = std::chrono::steady_clock::now() + time;
  while (!m_stopping && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(kPollStep, time));
  }
}

void RawConnection::StallUntilPeerLeaves(std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!m_stopping && std::chrono::steady_clock::now() < until) {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(kPollStep.count())) > 0) {
      char buffer[256];
      if (recv(m_fd, buffer, sizeof buffer, 0) <= 0) return;
    }
  }
}

RawHttpServer::RawHttpServer(Handler handler) : m_handler(std::move(handler)) {
  m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (m_listenFd < 0 || bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(m_listenFd, 16) != 0 ||
      getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;  // Port() stays 0 and the test fails on it
  }
  m_port = ntohs(address.sin_port);
  m_acceptor = std::thread([this] { AcceptLoop(); });
}

RawHttpServer::~RawHttpServer() {
  m_stopping = true;
  if (m_acceptor.joinable()) m_acceptor.join();
  for (std::thread& worker : m_workers) worker.join();
  if (m_listenFd >= 0) close(m_listenFd);
}

std::string RawHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<std::string> RawHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

void RawHttpServer::AcceptLoop() {
  while (!m_stopping) {
    pollfd p{m_listenFd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(kPollStep.count())) <= 0) continue;
    const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++m_connections;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_workers.emplace_back([this, fd] { Serve(fd); });
  }
}

void RawHttpServer::Serve(int fd) {
  std::string head = ReadRequestHead(fd, m_stopping);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(head);
  }
  RawConnection connection(fd, std::move(head), m_stopping);
  if (!connection.Request().empty()) m_handler(connection);
}

// ---- HTTPS ----

namespace {

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter {
  void operator()(X509* cert) const { X509_free(cert); }
};

// A self-signed certificate for `commonName`, valid from `fromSeconds` to `toSeconds` around now.
bool MakeCertificate(const char* commonName, long fromSeconds, long toSeconds,
                     std::unique_ptr<EVP_PKEY, KeyDeleter>& key, std::unique_ptr<X509, CertDeleter>& cert) {
  key.reset(EVP_EC_gen("P-256"));
  cert.reset(X509_new());
  if (!key || !cert) return false;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), toSeconds);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  return X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
}

}  // namespace

struct TlsHttpServer::Impl {
  std::unique_ptr<EVP_PKEY, KeyDeleter> key;
  std::unique_ptr<X509, CertDeleter> cert;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread thread;
  mutable std::mutex mutex;
  std::vector<TlsRequestSeen> requests;
};

TlsHttpServer::TlsHttpServer(TlsCertificate certificate, std::string body) : m_impl(std::make_unique<Impl>()) {
  const long day = 24 * 60 * 60;
  bool made = false;
  switch (certificate) {
    case TlsCertificate::SelfSigned: made = MakeCertificate("127.0.0.1", -day, day, m_impl->key, m_impl->cert); break;
    case TlsCertificate::Expired: made = MakeCertificate("127.0.0.1", -2 * day, -day, m_impl->key, m_impl->cert); break;
    case TlsCertificate::WrongName: made = MakeCertificate("update.example.invalid", -day, day, m_impl->key, m_impl->cert); break;
  }
  if (!made) return;
  m_impl->server = std::make_unique<httplib::SSLServer>(m_impl->cert.get(), m_impl->key.get());
  if (!m_impl->server->is_valid()) return;
  Impl* impl = m_impl.get();
  // The body goes out as opaque bytes, never compressed by the server library.
  m_impl->server->Get(".*", [impl, body](const httplib::Request& request, httplib::Response& response) {
    TlsRequestSeen seen;
    seen.method = request.method;
    seen.target = request.target;
    for (const auto& header : request.headers) seen.headers.emplace_back(header.first, header.second);
    {
      std::lock_guard<std::mutex> lock(impl->mutex);
      impl->requests.push_back(std::move(seen));
    }
    response.set_content(body, "application/octet-stream");
  });
  m_port = m_impl->server->bind_to_any_port("127.0.0.1");
  if (m_port <= 0) return;
  m_impl->thread = std::thread([impl] { impl->server->listen_after_bind(); });
  // Bound already, so requests queue until the loop runs; still, wait briefly until it does.
  for (int i = 0; i < 200 && !m_impl->server->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TlsHttpServer::~TlsHttpServer() {
  if (m_impl->server) m_impl->server->stop();
  if (m_impl->thread.joinable()) m_impl->thread.join();
}

std::string TlsHttpServer::Url(const std::string& host, const std::string& path) const {
  return "https://" + host + ":" + std::to_string(m_port) + path;
}

std::vector<TlsRequestSeen> TlsHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->requests;
}

}  // namespace nettest
