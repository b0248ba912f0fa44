// Measures what a large download costs: wall time and the process's peak resident memory while the
// Downloader fetches one big component from a peer on 127.0.0.1, hashes it, and fetches it again
// against its digest; then the same URL fetched by the curl program, for comparison.
//
//   download_footprint [MiB]     (default 256)
//
// The peer runs in a child process forked before anything else, so the figures are the Downloader's
// alone. The body is generated as it is sent; nothing of it is ever held whole in memory by the peer.
// Not a test: it prints its figures and exits non-zero only when a download or a digest is wrong.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "support/temp_prefix.h"
#include "update/bind_callback.h"
#include "update/download.h"
#include "update/manifest.h"

namespace {

// The body repeats a block of pseudo-random bytes whose length is prime, so that no block boundary of
// the transfer or the digest ever lines up with it.
constexpr std::size_t kPeriod = 1000003;

std::vector<char> PeriodBlock() {
  std::vector<char> block(kPeriod);
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  for (char& c : block) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    c = static_cast<char>(state >> 56);
  }
  return block;
}

// Calls `piece` with the body's bytes from `offset`, at most `length` of them, in slices of the block.
void ForEachSlice(const std::vector<char>& block, std::uint64_t offset, std::uint64_t length,
                  const std::function<bool(const char*, std::size_t)>& piece) {
  while (length > 0) {
    const std::size_t at = static_cast<std::size_t>(offset % kPeriod);
    std::size_t n = kPeriod - at;
    if (n > 256 * 1024) n = 256 * 1024;
    if (n > length) n = static_cast<std::size_t>(length);
    if (!piece(block.data() + at, n)) return;
    offset += n;
    length -= n;
  }
}

// Serves GET /big.bin of `size` bytes; writes the port to `portPipe`; never returns.
[[noreturn]] void RunPeer(std::uint64_t size, int portPipe) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  const std::vector<char> block = PeriodBlock();
  httplib::Server server;
  server.Get("/big.bin", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(static_cast<std::size_t>(size), "application/octet-stream",
                             [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               ForEachSlice(block, offset, length, [&](const char* data, std::size_t n) {
                                 return sink.write(data, n);
                               });
                               return true;
                             });
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  (void)::write(portPipe, &port, sizeof port);
  ::close(portPipe);
  if (port > 0) server.listen_after_bind();
  ::_exit(1);
}

double PeakMiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// Counts the progress reports and keeps the last one, as the progress dialog would show it.
class CountingSink : public FileProgressSink {
 public:
  void SetFileProgress(std::uint32_t pos, std::uint32_t) override {
    ++calls;
    last = pos;
  }
  void SetFilePercentText(const std::string& text) override { percent = text; }
  std::uint64_t calls = 0;
  std::uint32_t last = 0;
  std::string percent;
};

template <typename F>
double Seconds(F&& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const std::uint64_t size = mib * 1024 * 1024;
  if (mib == 0 || mib > 4095) {
    std::fprintf(stderr, "usage: %s [MiB, 1..4095]\n", argv[0]);
    return 2;
  }

  int fds[2];
  if (::pipe(fds) != 0) return 1;
  const pid_t peer = ::fork();
  if (peer < 0) return 1;
  if (peer == 0) {
    ::close(fds[0]);
    RunPeer(size, fds[1]);
  }
  ::close(fds[1]);
  int port = 0;
  if (::read(fds[0], &port, sizeof port) != static_cast<ssize_t>(sizeof port) || port <= 0) {
    std::fprintf(stderr, "the peer did not start\n");
    return 1;
  }
  ::close(fds[0]);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big.bin";

  // The digest the body must have, built from the same generator in pieces.
  std::string expected;
  {
    const std::vector<char> block = PeriodBlock();
    DigestBuilder builder;
    ForEachSlice(block, 0, size, [&](const char* data, std::size_t n) {
      builder.Add(data, n);
      return true;
    });
    expected = builder.Finish();
  }

  voda_test::TempPrefix machine;
  if (!machine.ok()) {
    std::fprintf(stderr, "no prefix: %s\n", machine.error().c_str());
    return 1;
  }
  machine.Install();
  const char* target = "C:\\big.bin";
  const DownloadLimits limits;  // the defaults every caller gets
  bool ok = true;

  std::printf("body: %llu MiB from %s\n", static_cast<unsigned long long>(mib), url.c_str());
  std::printf("peak RSS before downloading: %.1f MiB\n", PeakMiB());

  CountingSink sink;
  CBindCallback callback(&sink);
  bool downloaded = false;
  const double tDownload = Seconds([&] { downloaded = DownloadFile(url, target, &callback, limits); });
  std::uint64_t written = 0;
  ok = ok && downloaded && platform::Current().Files().FileSize(target, &written).ok() && written == size;
  std::printf("DownloadFile: %s, %.2f s, %.0f MiB/s, %llu progress reports, last %s; peak RSS %.1f MiB\n",
              downloaded ? "ok" : "FAILED", tDownload, static_cast<double>(mib) / tDownload,
              static_cast<unsigned long long>(sink.calls), sink.percent.c_str(), PeakMiB());

  std::string digest;
  const double tDigest = Seconds([&] { ComputeFileDigest(target, digest); });
  ok = ok && digest == expected;
  std::printf("ComputeFileDigest: %s, %.2f s; peak RSS %.1f MiB\n", digest == expected ? "matches" : "WRONG",
              tDigest, PeakMiB());

  if (!platform::Current().Files().DeleteFile(target).ok()) ok = false;
  bool checked = false;
  const double tChecked =
      Seconds([&] { checked = DownloadFileWithDigest(url, target, expected, nullptr, limits); });
  ok = ok && checked;
  std::printf("DownloadFileWithDigest: %s, %.2f s; peak RSS %.1f MiB\n", checked ? "ok" : "FAILED", tChecked,
              PeakMiB());

  const std::string curlOut = machine.tempDir() + "/curl.bin";
  const std::string command = "curl -s -o '" + curlOut + "' '" + url + "'";
  int curlStatus = -1;
  const double tCurl = Seconds([&] { curlStatus = std::system(command.c_str()); });
  if (curlStatus == 0) {
    std::printf("curl -o: %.2f s, %.0f MiB/s\n", tCurl, static_cast<double>(mib) / tCurl);
  } else {
    std::printf("curl -o: not run (status %d)\n", curlStatus);
  }
  std::remove(curlOut.c_str());

  ::kill(peer, SIGKILL);
  ::waitpid(peer, nullptr, 0);
  std::printf("%s\n", ok ? "all downloads and digests right" : "SOMETHING WENT WRONG");
  return ok ? 0 : 1;
}
