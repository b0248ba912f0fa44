// update-server: serves a release folder to the Downloader over HTTP and HTTPS on 127.0.0.1, answers
// its version query with a sealed reply, and injects faults for tests.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "crypto/key_material.h"
#include "crypto/sealing.h"
#include "server/fault_rules.h"
#include "server/publisher.h"
#include "server/release.h"

namespace {

const char kUsage[] =
    "usage: update-server --release DIR [options]\n"
    "\n"
    "Serves the release folder DIR (made by voda-release publish) on 127.0.0.1 and prints one line\n"
    "\"listening on SCHEME://127.0.0.1:PORT\" per listener. Ends on SIGTERM or SIGINT.\n"
    "\n"
    "options:\n"
    "  --port N             HTTP port (default 0: a free port)\n"
    "  --https-port N       serve HTTPS too, on this port (0: a free port)\n"
    "  --cert FILE          HTTPS certificate (PEM); with --key. Default: a self-signed one made at start\n"
    "  --key FILE           the certificate's private key (PEM)\n"
    "  --cert-dir DIR       write the self-signed certificate and key made at start into DIR\n"
    "                       (server.crt, server.key; default: the folder tls of the release)\n"
    "  --query-path PATH    path of the version query (default /assist/server)\n"
    "  --message-key FILE   the message key pair as an RSA private key PEM (default: the build's)\n"
    "  --faults FILE        fault rules, one a line\n"
    "  --fault RULE         one fault rule (may be repeated)\n";

constexpr int kExitUsage = 2;

// Waits that end early when the server stops.
class Stopper {
 public:
  void Wait(long ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopped; });
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stopped = true;
    }
    m_cv.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_stopped = false;
};

struct Options {
  std::string release;
  int port = 0;
  int httpsPort = -1;
  std::string certFile;
  std::string keyFile;
  std::string certDir;
  std::string queryPath = "/assist/server";
  std::string messageKeyFile;
  std::vector<std::string> faultFiles;
  std::vector<std::string> faults;
  bool help = false;
};

struct Context {
  Release release;
  FaultRules faults;
  MessageKeyPair key;
  std::string queryPath;  // in the compared form
  Stopper stopper;
  std::mutex logMutex;
};

// What the request's handler leaves for the request log line.
thread_local std::string t_logNote;

void Say(Context& context, const std::string& line) {
  std::lock_guard<std::mutex> lock(context.logMutex);
  std::cout << line << std::endl;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  if (in.bad()) return false;
  text = all.str();
  return true;
}

std::string HtmlPage(int status, const std::string& title) {
  return "<html><head><title>" + std::to_string(status) + " " + title + "</title></head><body><h1>" +
         std::to_string(status) + " " + title + "</h1></body></html>\n";
}

struct Answer {
  int status = 200;
  std::string body;
  std::string contentType = "application/octet-stream";
};

Answer TextAnswer(int status, const std::string& text) {
  Answer answer;
  answer.status = status;
  answer.body = text + "\n";
  answer.contentType = "text/plain; charset=utf-8";
  return answer;
}

Answer VersionQuery(Context& context, const std::string& base, const httplib::Request& request) {
  if (!request.has_param("data")) return TextAnswer(400, "the version query carries no data");
  const std::string data = request.get_param_value("data");
  std::string plaintext;
  if (data.size() > UINT32_MAX ||
      !UnsealToString(context.key, data.data(), static_cast<std::uint32_t>(data.size()), plaintext)) {
    return TextAnswer(400, "the version query does not open");
  }
  std::uint32_t bankId = 0;
  if (!ParseBankId(plaintext, bankId)) return TextAnswer(400, "the version query names no bank id");
  t_logNote += " bank " + plaintext;
  if (!context.release.ServesBank(bankId)) return TextAnswer(404, "unknown bank id " + plaintext);
  Answer answer;
  if (!SealToString(context.key, context.release.AnswerFor(base), answer.body)) {
    return TextAnswer(500, "the answer cannot be sealed");
  }
  return answer;
}

Answer Route(Context& context, const std::string& base, const httplib::Request& request,
             const std::vector<std::string>& segments) {
  if (JoinedPath(segments) == context.queryPath) return VersionQuery(context, base, request);
  const std::vector<std::string> below = context.release.UrlSegments(base);
  if (segments.size() > below.size() && std::equal(below.begin(), below.end(), segments.begin())) {
    std::string file;
    const std::vector<std::string> inside(segments.begin() + static_cast<std::ptrdiff_t>(below.size()),
                                          segments.end());
    if (context.release.FindFile(inside, file)) {
      Answer answer;
      if (ReadWholeFile(file, answer.body)) return answer;
      return TextAnswer(500, "cannot read the file");
    }
  }
  Answer answer;
  answer.status = 404;
  answer.body = HtmlPage(404, "Not Found");
  answer.contentType = "text/html";
  return answer;
}

void Handle(Context& context, const std::string& base, const httplib::Request& request,
            httplib::Response& response) {
  t_logNote.clear();
  std::vector<std::string> segments;
  Answer answer;
  std::string compared;
  if (SplitRequestPath(request.path, segments)) {
    compared = JoinedPath(segments);
    answer = Route(context, base, request, segments);
  } else {
    compared = request.path;
    answer = TextAnswer(403, "the path leaves the release folder");
  }

  const FaultPlan plan = context.faults.Take(compared);
  if (plan.body) answer.body = *plan.body;
  if (plan.sealedBody && !SealToString(context.key, *plan.sealedBody, answer.body)) {
    answer = TextAnswer(500, "the fault's text cannot be sealed");
  }
  answer.body += plan.appended;
  if (plan.status) answer.status = *plan.status;
  if (plan.Any()) t_logNote += " [" + plan.notes + "]";

  if (plan.delayMs > 0) context.stopper.Wait(plan.delayMs);

  auto body = std::make_shared<const std::string>(std::move(answer.body));
  const std::size_t declared = plan.declaredLength ? *plan.declaredLength : body->size();
  const std::size_t sent = plan.cutAt && *plan.cutAt < body->size() ? *plan.cutAt : body->size();
  const bool lies = sent != declared;
  response.status = answer.status;
  if (lies || plan.Any()) response.set_header("Connection", "close");
  t_logNote = " " + std::to_string(declared) + " bytes" + (lies ? ", " + std::to_string(sent) + " sent" : "") +
              t_logNote;
  if (declared == 0) {
    // Nothing to provide: an empty body, or a length that says none.
    response.set_content(std::string(), answer.contentType);
    return;
  }
  // Bodies go out through a provider with a known length: the library neither compresses them nor
  // changes the length, whatever the request's Accept-Encoding offers.
  const long stallMs = plan.stallMs;
  Context* shared = &context;
  response.set_content_provider(
      declared, answer.contentType,
      [body, sent, lies, stallMs, shared](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        if (offset != 0) return false;
        std::size_t first = sent;
        if (stallMs > 0) first = sent / 2;
        if (first > 0 && !sink.write(body->data(), first)) return false;
        if (stallMs > 0) {
          shared->stopper.Wait(stallMs);
          if (sent > first && !sink.write(body->data() + first, sent - first)) return false;
        }
        // A body that does not match its length ends the connection.
        return !lies;
      });
}

// ---- HTTPS certificate ----

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;

bool AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (extension == nullptr) return false;
  const bool ok = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return ok;
}

// A self-signed certificate for 127.0.0.1 and localhost, valid from a day ago for a year.
bool MakeCertificate(Pkey& key, Cert& cert) {
  key.reset(EVP_EC_gen("P-256"));
  cert.reset(X509_new());
  if (!key || !cert) return false;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(std::time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                             -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (!AddExtension(cert.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") ||
      !AddExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE")) {
    return false;
  }
  return X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
}

std::string PemText(const std::function<int(BIO*)>& write) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return std::string();
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

bool WriteFileAtomically(const std::filesystem::path& path, const std::string& text, mode_t mode) {
  const std::filesystem::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) return false;
  }
  std::error_code ec;
  if (chmod(temporary.c_str(), mode) != 0) return false;
  std::filesystem::rename(temporary, path, ec);
  return !ec;
}

bool SaveCertificate(const std::string& folder, EVP_PKEY* key, X509* cert, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::string certPem = PemText([cert](BIO* bio) { return PEM_write_bio_X509(bio, cert); });
  const std::string keyPem = PemText(
      [key](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr); });
  const std::filesystem::path dir(folder);
  if (certPem.empty() || keyPem.empty() || !WriteFileAtomically(dir / "server.key", keyPem, 0600) ||
      !WriteFileAtomically(dir / "server.crt", certPem, 0644)) {
    error = "cannot write the certificate into " + folder;
    return false;
  }
  return true;
}

// ---- command line ----

bool ParsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  port = std::stoi(text);
  return port <= 65535;
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return true;
    }
    if (i + 1 >= argc) {
      error = arg.compare(0, 2, "--") == 0 ? arg + " needs a value" : "unexpected argument " + arg;
      return false;
    }
    const std::string value = argv[++i];
    if (arg == "--release") {
      options.release = value;
    } else if (arg == "--port" || arg == "--https-port") {
      int& port = arg == "--port" ? options.port : options.httpsPort;
      if (!ParsePort(value, port)) {
        error = arg + " needs a port number from 0 to 65535";
        return false;
      }
    } else if (arg == "--cert") {
      options.certFile = value;
    } else if (arg == "--key") {
      options.keyFile = value;
    } else if (arg == "--cert-dir") {
      options.certDir = value;
    } else if (arg == "--query-path") {
      options.queryPath = value;
    } else if (arg == "--message-key") {
      options.messageKeyFile = value;
    } else if (arg == "--faults") {
      options.faultFiles.push_back(value);
    } else if (arg == "--fault") {
      options.faults.push_back(value);
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  if (options.release.empty()) {
    error = "--release is required";
    return false;
  }
  if (options.certFile.empty() != options.keyFile.empty()) {
    error = "--cert and --key go together";
    return false;
  }
  return true;
}

bool Configure(const Options& options, Context& context, std::string& error) {
  if (!context.release.Load(options.release, error)) return false;
  std::vector<std::string> segments;
  if (!SplitRequestPath(options.queryPath, segments) || segments.empty()) {
    error = "--query-path " + options.queryPath + " is not a request path";
    return false;
  }
  context.queryPath = JoinedPath(segments);
  if (options.messageKeyFile.empty()) {
    context.key = BuildMessageKeyPair();
  } else {
    std::string pem;
    if (!ReadWholeFile(options.messageKeyFile, pem)) {
      error = "cannot read " + options.messageKeyFile;
      return false;
    }
    if (!MessageKeyPairFromPem(pem, context.key, error)) {
      error = options.messageKeyFile + ": " + error;
      return false;
    }
  }
  for (const std::string& file : options.faultFiles) {
    std::string text;
    if (!ReadWholeFile(file, text)) {
      error = "cannot read " + file;
      return false;
    }
    if (!context.faults.Add(text, error)) {
      error = file + ": " + error;
      return false;
    }
  }
  for (const std::string& rule : options.faults) {
    if (!context.faults.Add(rule, error)) {
      error = "--fault: " + error.substr(error.find(':') + 2);
      return false;
    }
  }
  return true;
}

// One listening server and the thread that runs it.
struct Listener {
  std::unique_ptr<httplib::Server> server;
  std::string scheme;
  int port = 0;
  std::thread thread;
};

bool Bind(Context& context, Listener& listener, int port, std::string& error) {
  httplib::Server& server = *listener.server;
  if (!server.is_valid()) {
    error = "the " + listener.scheme + " server cannot start (certificate or key not usable)";
    return false;
  }
  server.set_keep_alive_timeout(2);
  // Small answers go out at once; with Nagle's rule a kept-alive connection waits for the peer's
  // delayed acknowledgement before each one.
  server.set_tcp_nodelay(true);
  server.set_read_timeout(5, 0);
  server.set_write_timeout(5, 0);
  if (port == 0) {
    listener.port = server.bind_to_any_port("127.0.0.1");
  } else if (server.bind_to_port("127.0.0.1", port)) {
    listener.port = port;
  } else {
    listener.port = -1;
  }
  if (listener.port <= 0) {
    error = "cannot listen on 127.0.0.1:" + std::to_string(port);
    return false;
  }
  const std::string base = listener.scheme + "://127.0.0.1:" + std::to_string(listener.port);
  Context* shared = &context;
  server.Get(".*", [shared, base](const httplib::Request& request, httplib::Response& response) {
    Handle(*shared, base, request, response);
  });
  const std::string scheme = listener.scheme;
  server.set_logger([shared, scheme](const httplib::Request& request, const httplib::Response& response) {
    std::string note;
    note.swap(t_logNote);
    Say(*shared, scheme + " " + request.method + " " + request.target + " -> " + std::to_string(response.status) +
                     note);
  });
  return true;
}

int Run(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::cerr << "update-server: " << error << "\n" << kUsage;
    return kExitUsage;
  }
  if (options.help) {
    std::cout << kUsage;
    return 0;
  }

  // The signals that end the server are taken by the main thread alone; a closed peer is an error
  // of the write, not a signal.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Context context;
  if (!Configure(options, context, error)) {
    std::cerr << "update-server: " << error << "\n";
    return 1;
  }

  Pkey key;
  Cert cert;
  std::vector<Listener> listeners(options.httpsPort >= 0 ? 2 : 1);
  listeners[0].scheme = "http";
  listeners[0].server = std::make_unique<httplib::Server>();
  if (!Bind(context, listeners[0], options.port, error)) {
    std::cerr << "update-server: " << error << "\n";
    return 1;
  }
  if (options.httpsPort >= 0) {
    Listener& https = listeners[1];
    https.scheme = "https";
    if (!options.certFile.empty()) {
      https.server = std::make_unique<httplib::SSLServer>(options.certFile.c_str(), options.keyFile.c_str());
    } else {
      if (!MakeCertificate(key, cert)) {
        std::cerr << "update-server: cannot make a certificate\n";
        return 1;
      }
      // Saved for clients that want to check it: into --cert-dir, or else beside the release's files
      // (where it is not served). Only a folder asked for must take it.
      if (!options.certDir.empty()) {
        if (!SaveCertificate(options.certDir, key.get(), cert.get(), error)) {
          std::cerr << "update-server: " << error << "\n";
          return 1;
        }
      } else {
        const std::string folder = (std::filesystem::path(options.release) / "tls").string();
        if (!SaveCertificate(folder, key.get(), cert.get(), error)) {
          std::cerr << "update-server: warning: " << error << "\n";
        }
      }
      https.server = std::make_unique<httplib::SSLServer>(cert.get(), key.get());
    }
    if (!Bind(context, https, options.httpsPort, error)) {
      std::cerr << "update-server: " << error << "\n";
      return 1;
    }
  }

  std::atomic<bool> failed{false};
  for (Listener& listener : listeners) {
    Listener* self = &listener;
    listener.thread = std::thread([self, &failed] {
      if (!self->server->listen_after_bind()) {
        failed = true;
        kill(getpid(), SIGTERM);
      }
    });
  }
  for (const Listener& listener : listeners) {
    Say(context, "listening on " + listener.scheme + "://127.0.0.1:" + std::to_string(listener.port));
  }

  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGINT);
  sigaddset(&endSignals, SIGTERM);
  int signal = 0;
  sigwait(&endSignals, &signal);

  context.stopper.Stop();
  for (Listener& listener : listeners) listener.server->stop();
  for (Listener& listener : listeners) {
    if (listener.thread.joinable()) listener.thread.join();
  }
  if (failed) {
    std::cerr << "update-server: a listener stopped unexpectedly\n";
    return 1;
  }
  Say(context, std::string("stopped on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "update-server: failed: " << e.what() << "\n";
    return 1;
  }
}
