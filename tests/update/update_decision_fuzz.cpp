// libFuzzer target over the update decision: the input is a fresh manifest's text, read as the engine
// reads it and decided entry by entry against an installation on a prefix made once. The first byte
// picks the manifest kind and the installed manifest (the installation's own, none, or the input
// itself). An unsafe entry is always refused, a skipped file has the entry's digest, and the decision
// changes nothing in the installation.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_prefix.h"
#include "update/manifest.h"

namespace {

const char kInstallDir[] = "C:\\Program Files\\Bank";
const char kInstalledManifest[] = "C:\\Program Files\\Bank\\Digest.xml";
const char kInputManifest[] = "C:\\Program Files\\Bank\\Digest_861.xml";

struct File {
  const char* path;
  const char* name;
  const char* data;
};
const File kFiles[] = {
    {"", "voda.exe", "main program"},
    {"", "readme.txt", "text"},
    {"Plugins", "a.dll", "plugin a"},
    {"Plugins\\sub", "b.dll", "plugin b"},
    {"Script", "c.js", ""},
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_update_decision: %s\n", what);
  std::abort();
}

std::string Attribute(const std::string& text) { return "\"" + text + "\""; }

// The installation, made once for the whole run: its files, and an installed manifest that records
// all but the last of them (one with a stale digest).
class Installation {
 public:
  Installation() {
    if (!machine_.ok()) Fail(machine_.error().c_str());
    machine_.Install();
    platform::FileSystem& files = platform::Current().Files();
    for (const char* folder : {"C:\\Program Files\\Bank", "C:\\Program Files\\Bank\\Plugins",
                               "C:\\Program Files\\Bank\\Plugins\\sub", "C:\\Program Files\\Bank\\Script"}) {
      if (!files.CreateFolder(folder).ok()) Fail("cannot make a folder");
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n";
    for (const File& file : kFiles) {
      ManifestEntry entry{file.path, file.name, ComputeDataDigest(file.data)};
      if (!files.WriteFile(InstalledFilePath(kInstallDir, entry), file.data).ok()) Fail("cannot write a file");
      if (std::string(file.name) == "readme.txt") entry.digest = ComputeDataDigest("older text");
      if (std::string(file.name) == "c.js") continue;
      xml += "<File Path=" + Attribute(entry.path) + " FileName=" + Attribute(entry.fileName) +
             " Digest=" + Attribute(entry.digest) + "/>\r\n";
    }
    xml += "</FileInfo>\r\n</Digest>\r\n";
    if (!files.WriteFile(kInstalledManifest, xml).ok()) Fail("cannot write the installed manifest");
    installed_ = InstalledManifest(kInstalledManifest);
    if (!installed_.loaded() || installed_.Entries().size() != 4) Fail("the installed manifest does not read");
    snapshot_ = Snapshot();
  }

  const InstalledManifest& installed() const { return installed_; }

  // Every file's content, to see that nothing changed.
  std::vector<std::string> Snapshot() const {
    std::vector<std::string> contents;
    for (const File& file : kFiles) {
      std::string data;
      const std::string path = InstalledFilePath(kInstallDir, ManifestEntry{file.path, file.name, ""});
      if (!platform::Current().Files().ReadFile(path, &data).ok()) data = "(missing)";
      contents.push_back(data);
    }
    std::string data;
    if (!platform::Current().Files().ReadFile(kInstalledManifest, &data).ok()) data = "(missing)";
    contents.push_back(data);
    return contents;
  }
  const std::vector<std::string>& snapshot() const { return snapshot_; }

 private:
  voda_test::TempPrefix machine_;
  InstalledManifest installed_;
  std::vector<std::string> snapshot_;
};

// Made at the first input, removed with its prefix when the fuzzer ends.
Installation& TheInstallation() {
  static Installation installation;
  return installation;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Installation& installation = TheInstallation();
  if (size < 1) return 0;
  const int kind = KindCommon + data[0] % 3;
  const int installedForm = (data[0] / 3) % 3;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  XmlReader reader;
  if (!ParseXmlText(text, reader)) return 0;
  const std::vector<ManifestEntry> entries = ReadManifestEntries(reader);

  InstalledManifest none;
  InstalledManifest fromInput;
  const InstalledManifest* installed = &installation.installed();
  if (installedForm == 1) {
    installed = &none;
  } else if (installedForm == 2) {
    if (!platform::Current().Files().WriteFile(kInputManifest, text).ok()) Fail("cannot write the input");
    fromInput = InstalledManifest(kInputManifest);
    if (!fromInput.loaded() || fromInput.Entries().size() != entries.size()) Fail("the input reads otherwise");
    installed = &fromInput;
  }

  for (const ManifestEntry& entry : entries) {
    const EntryDecision decision = DecideUpdateEntry(kind, kInstallDir, entry, *installed);
    if (!IsSafeManifestEntry(entry)) {
      if (decision != EntryDecision::kRefused) Fail("an unsafe entry was not refused");
      continue;
    }
    if (decision == EntryDecision::kRefused) Fail("a safe entry was refused");
    if (decision == EntryDecision::kSkip && kind != KindIfPresent) {
      std::string digest;
      if (!ComputeFileDigest(InstalledFilePath(kInstallDir, entry), digest) || digest != entry.digest) {
        Fail("a file was skipped whose digest is not the entry's");
      }
    }
  }
  if (installedForm == 2 && !platform::Current().Files().DeleteFile(kInputManifest).ok()) {
    Fail("cannot remove the input");
  }
  if (installation.Snapshot() != installation.snapshot()) Fail("the decision changed the installation");
  return 0;
}
