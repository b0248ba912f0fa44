// The update decision of an update run over a whole installation, against sha1sum over the same files.
//
// For each size N an installation is made once on a fresh prefix: N component files of 1 to 8 KiB of
// random bytes over the installation folder and Data, Plugins, Plugins\sub, Script and Tools, the
// installed Digest.xml that records every one of them, and a fresh Digest.xml in the staging folder in
// which 10 entries carry a new digest. Then:
//
//   BM_Decision/N  what an update run does with a fresh manifest before it downloads anything: read the
//                  fresh manifest and the installed one, and decide every entry (DecideUpdateEntry);
//                  exactly the 10 changed entries must come out queued.
//   BM_Sha1sum/N   the sha1sum program over the same N files, named by their full paths (one shell and
//                  xargs around it).
//
// Both measure wall time and, as the counter cpu_s, CPU seconds per iteration (the decision's own, and
// sha1sum's with its shell and xargs), which the other work of a shared machine disturbs less. Each
// installation is read once by both before it is measured, so both find its files in the page cache;
// the installations stay until the end, so --benchmark_enable_random_interleaving=true may mix the
// repetitions of both programs and all sizes, and a load that comes and goes meets both alike.
//
//   update_decision_benchmark [benchmark flags]
//   VODA_DECISION_SIZES="1000 10000 50000"   the sizes (default)
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_prefix.h"
#include "update/manifest.h"

namespace {

const char kInstallDir[] = "C:\\Program Files (x86)\\Bank";
constexpr int kChangedEntries = 10;
const char* const kFolders[] = {"", "Data", "Plugins", "Plugins\\sub", "Script", "Tools"};

std::string ManifestXml(const std::vector<ManifestEntry>& entries) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n";
  for (const ManifestEntry& entry : entries) {
    xml += "<File Path=\"" + entry.path + "\" FileName=\"" + entry.fileName + "\" Digest=\"" + entry.digest +
           "\"/>\r\n";
  }
  // A real manifest's signature block; the reader does not look at it.
  xml += "</FileInfo>\r\n<Sign>" + std::string(256, '0') + "</Sign>\r\n</Digest>\r\n";
  return xml;
}

// One installation of `size` files, made on construction and removed with its prefix.
class Installation {
 public:
  explicit Installation(int size) : size_(size) { Make(); }

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  int size() const { return size_; }

  // Makes this installation's machine the current one, as the decision reads through it.
  void Activate() { machine_.Install(); }

  // The decision of an update run over the fresh manifest; false when its outcome is not the expected
  // one (the 10 changed entries queued, every other entry skipped).
  bool Decide(std::vector<std::string>& workList) const {
    workList.clear();
    const std::vector<ManifestEntry> entries = ReadManifestEntries(freshManifest_);
    const InstalledManifest installed(installedManifest_);
    int skipped = 0;
    for (const ManifestEntry& entry : entries) {
      switch (DecideUpdateEntry(KindCommon, kInstallDir, entry, installed)) {
        case EntryDecision::kSkip:
          ++skipped;
          break;
        case EntryDecision::kQueue:
          workList.push_back(RelativeEntry(entry));
          break;
        case EntryDecision::kRefused:
          return false;
      }
    }
    return static_cast<int>(workList.size()) == expectedQueued_ && skipped == size_ - expectedQueued_;
  }

  // The sha1sum command over the installation's files, each named by its full path as the Downloader
  // names it; the output is discarded.
  std::string Sha1sumCommand() const { return "xargs -0 sha1sum -- <" + Quoted(listPath_) + " >/dev/null"; }

 private:
  // Makes the installation, then reads it once with both programs.
  void Make() {
    if (!machine_.ok()) {
      error_ = machine_.error();
      return;
    }
    machine_.Install();
    platform::FileSystem& files = platform::Current().Files();
    const std::string installDir = kInstallDir;
    for (const std::string& folder : {installDir, installDir + "\\DownLoad"}) {
      if (!files.CreateFolder(folder).ok()) return Fail("cannot make " + folder);
    }
    for (const char* folder : kFolders) {
      if (*folder != '\0' && !files.CreateFolder(installDir + "\\" + folder).ok()) return Fail("cannot make a folder");
    }
    hostDir_ = machine_.HostPath(installDir);
    if (hostDir_.empty()) return Fail("the installation folder has no host path");

    // The same installation on every run: sizes and contents from a fixed seed.
    std::mt19937 random(861u + static_cast<unsigned>(size_));
    std::uniform_int_distribution<int> length(1024, 8192);
    std::vector<ManifestEntry> installed;
    std::string list;  // the files' host paths for sha1sum, each ended by a zero byte
    for (int i = 0; i < size_; ++i) {
      ManifestEntry entry{kFolders[i % (sizeof kFolders / sizeof kFolders[0])], "part" + std::to_string(i) + ".dat", ""};
      std::string data(static_cast<std::size_t>(length(random)), '\0');
      for (char& c : data) c = static_cast<char>(random());
      entry.digest = ComputeDataDigest(data);
      std::string relative = entry.path.empty() ? entry.fileName : entry.path + "/" + entry.fileName;
      for (char& c : relative) c = c == '\\' ? '/' : c;
      voda_test::WriteHostFile(hostDir_ + "/" + relative, data);
      list += hostDir_ + "/" + relative;
      list.push_back('\0');
      installed.push_back(entry);
    }
    // The fresh manifest: the same entries, 10 of them spread over the list with a new content.
    std::vector<ManifestEntry> fresh = installed;
    const int changed = size_ < kChangedEntries ? size_ : kChangedEntries;
    for (int k = 0; k < changed; ++k) {
      ManifestEntry& entry = fresh[static_cast<std::size_t>(k) * static_cast<std::size_t>(size_) /
                                   static_cast<std::size_t>(changed)];
      entry.digest = ComputeDataDigest("new release of " + entry.fileName);
    }
    expectedQueued_ = changed;
    installedManifest_ = installDir + "\\Digest.xml";
    freshManifest_ = installDir + "\\DownLoad\\Digest.xml";
    if (!files.WriteFile(installedManifest_, ManifestXml(installed)).ok() ||
        !files.WriteFile(freshManifest_, ManifestXml(fresh)).ok()) {
      return Fail("cannot write the manifests");
    }
    listPath_ = machine_.tempDir() + "/files.list";
    voda_test::WriteHostFile(listPath_, list);

    // Every file read once, so that both programs start from the same page cache.
    std::vector<std::string> workList;
    if (!Decide(workList)) return Fail("the decision does not queue exactly the changed entries");
    if (std::system(Sha1sumCommand().c_str()) != 0) return Fail("sha1sum failed");
    ready_ = true;
  }

  void Fail(const std::string& what) { error_ = what; }

  static std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }

  int size_;
  voda_test::TempPrefix machine_;
  std::string hostDir_;
  std::string installedManifest_;
  std::string freshManifest_;
  std::string listPath_;
  int expectedQueued_ = 0;
  bool ready_ = false;
  std::string error_;
};

// The installation of each size, made when it is first measured and kept until the end, so that the
// measurements of all sizes may be interleaved.
std::map<int, std::unique_ptr<Installation>> installations;

Installation* InstallationOf(int size, std::string& error) {
  std::unique_ptr<Installation>& installation = installations[size];
  if (!installation) installation = std::make_unique<Installation>(size);
  if (!installation->ready()) {
    error = installation->error();
    return nullptr;
  }
  return installation.get();
}

// User and system CPU seconds of this process (kSelf) or of its ended children (kChildren).
enum class Whose { kSelf, kChildren };
double CpuSeconds(Whose whose) {
  struct rusage usage {};
  ::getrusage(whose == Whose::kSelf ? RUSAGE_SELF : RUSAGE_CHILDREN, &usage);
  const auto seconds = [](const struct timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_Decision(benchmark::State& state) {
  std::string error;
  Installation* installation = InstallationOf(static_cast<int>(state.range(0)), error);
  if (installation == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  installation->Activate();
  std::vector<std::string> workList;
  const double cpuBefore = CpuSeconds(Whose::kSelf);
  for (auto _ : state) {
    if (!installation->Decide(workList)) {
      state.SkipWithError("the decision did not queue exactly the changed entries");
      break;
    }
    benchmark::DoNotOptimize(workList.data());
  }
  state.counters["entries"] = static_cast<double>(state.range(0));
  state.counters["cpu_s"] = benchmark::Counter(CpuSeconds(Whose::kSelf) - cpuBefore, benchmark::Counter::kAvgIterations);
}

void BM_Sha1sum(benchmark::State& state) {
  std::string error;
  Installation* installation = InstallationOf(static_cast<int>(state.range(0)), error);
  if (installation == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::string command = installation->Sha1sumCommand();
  const double cpuBefore = CpuSeconds(Whose::kChildren);
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("sha1sum failed");
      break;
    }
  }
  state.counters["entries"] = static_cast<double>(state.range(0));
  // The shell's, xargs' and sha1sum's CPU time: this process only waits for them.
  state.counters["cpu_s"] =
      benchmark::Counter(CpuSeconds(Whose::kChildren) - cpuBefore, benchmark::Counter::kAvgIterations);
}

std::vector<int> Sizes() {
  std::vector<int> sizes;
  const char* text = std::getenv("VODA_DECISION_SIZES");
  std::istringstream in(text != nullptr ? text : "1000 10000 50000");
  long value = 0;
  while (in >> value) {
    if (value > 0 && value <= 1000000) sizes.push_back(static_cast<int>(value));
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<int> sizes = Sizes();
  if (sizes.empty()) {
    std::fprintf(stderr, "update_decision_benchmark: VODA_DECISION_SIZES names no size from 1 to 1000000\n");
    return 2;
  }
  for (int size : sizes) {
    // Beside the mean and the median: the fastest repetition, the one other work disturbed least.
    for (auto* registered : {benchmark::RegisterBenchmark("BM_Decision", BM_Decision),
                             benchmark::RegisterBenchmark("BM_Sha1sum", BM_Sha1sum)}) {
      registered->Arg(size)->UseRealTime()->Unit(benchmark::kMillisecond)->ComputeStatistics(
          "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  installations.clear();
  benchmark::Shutdown();
  return 0;
}
