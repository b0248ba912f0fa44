// What the whole-run suites share: a fresh machine with a working folder, releases published with
// voda-release and served by update-server on 127.0.0.1 (serverip.dat points the downloader at it),
// the built downloader run headless with a scripted user, and readings of the machine afterwards
// (installed files and their digests as openssl computes them, registry values, what the headless
// window system echoed).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/run_program.h"
#include "platform/process.h"
#include "server/server_process.h"
#include "support/temp_prefix.h"

namespace e2e {

// The path and query of the version query that serverip.dat names.
extern const char kQueryPath[];

// The scripted user of a first installation who accepts every default, up to the progress dialog.
extern const char kAcceptDefaults[];

// Base64 of the SHA-1 of a host file, as openssl computes it.
std::string OpensslDigest(const std::string& hostPath);

// One File element of a manifest.
struct Entry {
  std::string path, fileName, digest;
  std::string Relative() const { return path.empty() ? fileName : path + "\\" + fileName; }
  // The relative host path below a folder ("/" between the levels).
  std::string HostRelative() const;
};

// The File elements of a published manifest, in their order.
std::vector<Entry> ManifestEntries(const std::string& text);

// What the headless window system echoed for a control of a dialog, in order.
std::vector<std::string> Echoed(const std::string& standardError, int controlId, int dialogId = 135);

// The echo line of a control's text: [ui] dialog 135: 1020 "TEXT".
std::string ControlEcho(int dialogId, int controlId, const std::string& text);

// How often `what` occurs in `text`.
std::size_t Count(const std::string& text, const std::string& what);

// `texts` without the entries equal to `drop`.
std::vector<std::string> Without(std::vector<std::string> texts, const std::string& drop);

// A registry value exactly as stored: its type and bytes; type 0 and "" when it cannot be read.
struct RawValue {
  std::uint32_t type = 0;
  std::string data;
  bool operator==(const RawValue& o) const { return type == o.type && data == o.data; }
};
std::ostream& operator<<(std::ostream& os, const RawValue& v);
RawValue Sz(const std::string& text);

// A fresh machine for one whole-run test, with the bank profile of this build filled in.
class MachineRun : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Publishes `files` (relative host paths below the source folder; "bank/..." for the bank manifest)
  // as `version` into a release folder named after the version; *release receives its host path.
  // Files named "*.exe" can be started.
  void PublishRelease(const std::string& version, const std::map<std::string, std::string>& files,
                      const std::string& update, std::string* release);

  // (Re)starts the server on `release` with `faults` (one rule each) and points serverip.dat at it.
  void Serve(const std::string& release, const std::vector<std::string>& faults = {});

  // The downloader started as a user starts it, headless, with `script` as the user's part.
  std::unique_ptr<apptest::RunningProgram> Start(const std::vector<std::string>& arguments, const std::string& script);

  // Start, then the end (at most `timeoutMs`); expects an end by itself with exit code 0.
  apptest::ProgramRun Run(const std::vector<std::string>& arguments, const std::string& script,
                          int timeoutMs = 120000);

  // The host path of a file or folder of the installation folder ("" for the folder itself).
  std::string InstalledHost(const std::string& relative) const;

  // Every entry of the manifest `manifest` of the release folder `release` is installed with its
  // digest and the published bytes.
  void ExpectInstalled(const std::string& release, const std::string& manifest);

  // A value of the machine's registry, read as another process would.
  RawValue ReadValue(const std::string& key, std::uint32_t access, const std::string& name);

  // The registry store's bytes ("" when there is none).
  std::string RegistryStore() const;

  // True once the stand-in with this process id has recorded its start (bounded).
  bool WaitForStart(platform::ProcessId id);

  voda_test::TempPrefix machine_;
  std::string workDir_;
  std::string installDir_;
  std::unique_ptr<servertest::ServerProcess> server_;
  int runs_ = 0;
};

}  // namespace e2e
