// The update server as its users run it: a child process on 127.0.0.1 whose printed ports the test
// reads, and a raw HTTP GET that shows the status, the headers and the body bytes exactly as sent.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace servertest {

using Clock = std::chrono::steady_clock;

class ServerProcess {
 public:
  // Starts update-server with `args` and waits (at most ten seconds) until it has printed its
  // listening lines, or has ended.
  explicit ServerProcess(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    std::vector<std::string> all = {std::string(VODA_BIN_DIR) + "/update-server"};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
      // The server ends with the test even when the test is stopped at once (a sanitizer's report, a
      // crash) and no destructor runs; it would otherwise go on serving and hold the test's channels.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      dup2(out[1], 1);
      dup2(out[1], 2);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      for (std::string& arg : all) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    m_out = out[0];
    fcntl(m_out, F_SETFL, O_NONBLOCK);
    const bool https = std::find(args.begin(), args.end(), "--https-port") != args.end();
    WaitForOutput(https ? "listening on https://" : "listening on http://", std::chrono::seconds(10));
    m_httpPort = PortAfter("listening on http://127.0.0.1:");
    m_httpsPort = PortAfter("listening on https://127.0.0.1:");
  }

  ~ServerProcess() {
    if (m_pid > 0 && !m_ended) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
  }

  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int HttpPort() const { return m_httpPort; }
  int HttpsPort() const { return m_httpsPort; }
  std::string HttpBase() const { return "http://127.0.0.1:" + std::to_string(m_httpPort); }
  std::string HttpsBase() const { return "https://127.0.0.1:" + std::to_string(m_httpsPort); }

  // Everything the server printed so far.
  const std::string& Output() {
    Drain(std::chrono::milliseconds(0));
    return m_output;
  }

  // Reads the output until it holds `text` or `limit` passes; true when it does.
  bool WaitForOutput(const std::string& text, Clock::duration limit) {
    const Clock::time_point end = Clock::now() + limit;
    while (m_output.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0 || !Drain(left)) break;
    }
    return m_output.find(text) != std::string::npos;
  }

  // Sends `signal` and waits (at most `limit`) for the process to end. Its exit code, or -1 when it
  // did not end by exit in time.
  int Stop(int signal, Clock::duration limit = std::chrono::seconds(10)) {
    kill(m_pid, signal);
    return Wait(limit);
  }

  // Waits for the process to end by itself; its exit code or -1.
  int Wait(Clock::duration limit) {
    const Clock::time_point end = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < end) {
      const pid_t done = waitpid(m_pid, &status, WNOHANG);
      if (done == m_pid) {
        m_ended = true;
        Drain(std::chrono::milliseconds(200));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      Drain(std::chrono::milliseconds(20));
    }
    return -1;
  }

 private:
  // Reads what is there within `limit`; false at the end of the output.
  bool Drain(std::chrono::milliseconds limit) {
    pollfd fd = {m_out, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(limit.count())) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(m_out, buffer, sizeof buffer);
    if (n > 0) m_output.append(buffer, static_cast<std::size_t>(n));
    return n > 0 || (n < 0 && errno == EAGAIN);
  }

  int PortAfter(const std::string& text) const {
    const std::size_t at = m_output.find(text);
    return at == std::string::npos ? 0 : std::atoi(m_output.c_str() + at + text.size());
  }

  pid_t m_pid = -1;
  int m_out = -1;
  bool m_ended = false;
  std::string m_output;
  int m_httpPort = 0;
  int m_httpsPort = 0;
};

struct RawResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;                            // every byte after the head, until the server closed
  bool closed = false;                         // the server closed the connection within the limit

  // A header's value ("" when absent); `name` in lower case.
  std::string Header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
  }
};

// One GET of `target` exactly as written, over plain HTTP, reading until the server closes the
// connection (the request asks it to) or five seconds pass.
inline RawResponse RawGet(int port, const std::string& target, const std::string& extraHeaders = "") {
  RawResponse response;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return response;
  }
  const std::string request =
      "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extraHeaders + "\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string all;
  const Clock::time_point end = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < end) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      response.closed = true;
      break;
    }
    all.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  const std::size_t head = all.find("\r\n\r\n");
  if (head == std::string::npos) return response;
  if (all.compare(0, 9, "HTTP/1.1 ") == 0) response.status = std::atoi(all.c_str() + 9);
  std::size_t line = all.find("\r\n") + 2;
  while (line < head) {
    const std::size_t next = all.find("\r\n", line);
    const std::string text = all.substr(line, next - line);
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos) {
      std::string name = text.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      response.headers[name] = text.substr(text.find_first_not_of(' ', colon + 1));
    }
    line = next + 2;
  }
  response.body = all.substr(head + 4);
  return response;
}

}  // namespace servertest
