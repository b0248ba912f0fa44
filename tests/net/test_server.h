// Small peers on 127.0.0.1 (ephemeral ports) for the HTTP client's tests.
//
// RawHttpServer speaks plain HTTP straight over sockets, so that a test sees the request bytes exactly
// as they arrived (request line, header lines in order) and controls every byte of the answer: stalls,
// bodies cut short, zero bytes, bodies in odd pieces, no answer at all.
// TlsHttpServer is a cpp-httplib HTTPS server with a certificate made on the spot.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

// One accepted connection whose request head has been read.
class RawConnection {
 public:
  RawConnection(int fd, std::string request, const std::atomic<bool>& stopping);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // The request head as received: request line and header lines up to and including the blank line.
  const std::string& Request() const { return m_request; }

  // Sends bytes; false once the peer is gone.
  bool Send(const std::string& bytes);
  // Sends bytes in writes of at most `piece` bytes, each pushed out on its own.
  bool SendInPieces(const std::string& bytes, std::size_t piece);
  // Waits, returning early when the server stops.
  void Pause(std::chrono::milliseconds time);
  // Sends nothing more until the peer closes the connection, the server stops or `limit` passes.
  void StallUntilPeerLeaves(std::chrono::milliseconds limit);

 private:
  int m_fd;
  std::string m_request;
  const std::atomic<bool>& m_stopping;
};

// A complete HTTP/1.1 response with an exact Content-Length.
std::string HttpResponse(int status, const std::string& body, const std::string& extraHeaders = "");
// The same body in chunked transfer encoding, one chunk per `piece` bytes.
std::string ChunkedHttpResponse(int status, const std::string& body, std::size_t piece,
                                const std::string& extraHeaders = "");

class RawHttpServer {
 public:
  using Handler = std::function<void(RawConnection&)>;

  // Every connection runs `handler` on a thread of its own once its request head has arrived;
  // the connection is closed when the handler returns.
  explicit RawHttpServer(Handler handler);
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  int Port() const { return m_port; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string Url(const std::string& path) const;
  // The request heads received so far, in arrival order.
  std::vector<std::string> Requests() const;
  // Connections accepted so far (including those that never sent a request).
  int Connections() const { return m_connections.load(); }

 private:
  void AcceptLoop();
  void Serve(int fd);

  Handler m_handler;
  int m_listenFd = -1;
  int m_port = 0;
  std::atomic<bool> m_stopping{false};
  std::atomic<int> m_connections{0};
  mutable std::mutex m_mutex;
  std::vector<std::string> m_requests;
  std::vector<std::thread> m_workers;
  std::thread m_acceptor;
};

// What the HTTPS server saw of one request.
struct TlsRequestSeen {
  std::string method;
  std::string target;  // path and query
  std::vector<std::pair<std::string, std::string>> headers;  // as parsed (sorted by name)
};

// Kinds of server certificate, all self-signed.
enum class TlsCertificate { SelfSigned, Expired, WrongName };

class TlsHttpServer {
 public:
  // Answers every GET with status 200 and `body`.
  TlsHttpServer(TlsCertificate certificate, std::string body);
  ~TlsHttpServer();
  TlsHttpServer(const TlsHttpServer&) = delete;
  TlsHttpServer& operator=(const TlsHttpServer&) = delete;

  bool Ok() const { return m_port > 0; }
  // "https://<host>:<port>" followed by `path`.
  std::string Url(const std::string& host, const std::string& path) const;
  std::vector<TlsRequestSeen> Requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
  int m_port = 0;
};

}  // namespace nettest
