#include "update/update_engine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/globals.h"
#include "app/utilities.h"
#include "crypto/signed_file.h"
#include "gui/message_box.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "system/registry_records.h"
#include "update/file_replacement.h"

namespace {

constexpr const char kManifestLabel[] = "配置文件";
constexpr const char kNothingToUpdate[] = "无需更新";
constexpr const char kDownloadFailedCaption[] = "下载失败";
constexpr const char kFullPercent[] = "100%";
constexpr const char kZeroPercent[] = "0%";

// The standard folders below the installation folder and the staging folder.
const char* const kComponentFolders[] = {"Data", "Plugins", "Script", "Tools"};

// Reports nowhere: the view of an engine made without a dialog.
class SilentView final : public RunProgressView {
 public:
  void SetFileProgress(std::uint32_t, std::uint32_t) override {}
  void SetFilePercentText(const std::string&) override {}
  void SetStatusText(const std::string&) override {}
  void SetTotalRange(std::uint32_t) override {}
  void SetTotalPos(std::uint32_t) override {}
  void SetTotalPercentText(const std::string&) override {}
  void SetCancelCaption(const std::string&) override {}
};

RunProgressView* ViewOrSilent(RunProgressView* view) {
  static SilentView silent;
  return view != nullptr ? view : &silent;
}

// "%.2lf%%" of done / total x 100; no total has no meaningful share and shows "0.00%".
std::string OverallPercent(int done, int total) {
  const double share = total > 0 ? static_cast<double>(done) / static_cast<double>(total) * 100.0 : 0.0;
  char text[64];
  std::snprintf(text, sizeof text, "%.2lf%%", share);
  return text;
}

std::string DownloadingText(const std::string& name, int number, int count) {
  char counts[48];
  std::snprintf(counts, sizeof counts, "   %d/%d", number, count);
  return "正在下载 " + name + counts;
}

std::string FailedText(const std::string& name) { return "下载" + name + " 失败"; }

// The signature check of a manifest, over the bytes read through the platform.
bool VerifyManifest(const std::string& path) {
  std::string data;
  if (!platform::Current().Files().ReadFile(path, &data).ok()) return false;
  return VerifySignedData(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

// The folder part of a relative entry ("Plugins\sub" of "Plugins\sub\a.dll"); empty for a top file.
std::string FolderOf(const std::string& relativeEntry) {
  const std::size_t last = relativeEntry.rfind('\\');
  return last == std::string::npos ? std::string() : relativeEntry.substr(0, last);
}

// A manifest's folder and file names as they go into a URL: every byte that a URL may not carry as it
// is (a blank, a non-ASCII byte of a UTF-8 name, "%", "#", "?" and the like) is percent-encoded, so that
// the server receives exactly the names; "\" and "/" stay separators.
std::string UrlPathText(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
                       std::strchr("-._~!$&'()*+,;=:@/\\", c) != nullptr;
    if (plain && byte != 0) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

}  // namespace

void RunProgressView::ReportFileInUse(const std::string& text, const std::string& caption) {
  ShowFileInUseAndExit(text, caption);
}

void ShowFileInUseAndExit(const std::string& text, const std::string& caption) {
  (void)gui::MessageBox(nullptr, text, caption, kMbIconExclamation);
  std::_Exit(0);
}

UpdateEngine::UpdateEngine(RunProgressView* dialog, const std::string& allianceCode, int mode,
                           const std::string& downloadBaseUrl, std::int32_t updateType, const std::string& version,
                           const std::string& installDir)
    : m_updateType(updateType),
      m_allianceCode(allianceCode),
      m_serverUrl(downloadBaseUrl.empty() ? ReadZivIvValue(allianceCode, "ServerURL") : downloadBaseUrl),
      m_installDir(installDir.empty() ? ReadZivIvValue(allianceCode, "Path") : installDir),
      m_version(version),
      m_mode(mode),
      m_pDialog(ViewOrSilent(dialog)) {
  m_downloadDir = m_installDir + "\\DownLoad";
  for (int kind = KindCommon; kind <= KindBank; ++kind) {
    m_manifests[kind - 1] = MakeManifestLocations(kind, g_bankProfile.bankId, m_serverUrl, m_installDir);
  }
}

const ManifestLocations* UpdateEngine::Manifest(int kind) const {
  if (kind < KindCommon || kind > KindBank) return nullptr;
  return &m_manifests[kind - 1];
}

void UpdateEngine::ShowStatus(const std::string& text) { m_pDialog->SetStatusText(text); }

void UpdateEngine::ShowFailure(const std::string& name) {
  ShowStatus(FailedText(name));
  m_pDialog->SetCancelCaption(kDownloadFailedCaption);
}

bool UpdateEngine::CreateComponentFolders() {
  for (const char* folder : kComponentFolders) (void)CreateFolderTree(m_installDir + "\\" + folder);
  (void)CreateFolderTree(m_downloadDir);
  for (const char* folder : kComponentFolders) (void)CreateFolderTree(m_downloadDir + "\\" + folder);
  return true;
}

bool UpdateEngine::DownloadManifests() {
  // An update or repair run always compares the fresh manifests, kept in the staging folder, with the
  // installed ones. Whatever an earlier, unfinished run left there is removed first, so that neither a
  // stale manifest nor a stale component can stand in for this run's downloads.
  const bool staging = m_mode != ModeInstall;
  if (staging) (void)DeleteFilesInTree(m_downloadDir);
  for (int kind : {KindCommon, KindBank}) {
    const ManifestLocations& location = m_manifests[kind - 1];
    const std::string& target = staging ? location.stagingPath : location.installedPath;
    ShowStatus(std::string("正在下载 ") + kManifestLabel);
    if (!DownloadFile(location.url, target, nullptr, m_limits)) return false;
    if (!VerifyManifest(target)) {
      // A manifest whose signature does not hold is not kept: no later run may take it for one.
      (void)platform::Current().Files().DeleteFile(target);
      return false;
    }
  }
  return true;
}

int UpdateEngine::CountManifestEntries(int kind) {
  const ManifestLocations* location = Manifest(kind);
  if (location == nullptr) return 0;
  XmlReader reader;
  if (!LoadXmlFile(location->installedPath, reader)) return 0;
  return CountEntries(reader, "FileInfo", 1);
}

bool UpdateEngine::RunManifest(int kind) {
  const ManifestLocations* location = Manifest(kind);
  std::vector<ManifestEntry> entries;
  if (location != nullptr) {
    entries = ReadManifestEntries(m_mode == ModeInstall ? location->installedPath : location->stagingPath);
  }
  bool result = true;

  if (m_mode == ModeInstall) {
    for (const ManifestEntry& entry : entries) {
      if (!IsSafeManifestEntry(entry)) {
        ShowFailure(entry.fileName);
        return false;
      }
      if (SkippedByPresenceFilter(kind, InstalledFilePath(m_installDir, entry))) continue;
      if (!RunFirstInstallEntry(entry)) return false;
    }
    return true;
  }

  const InstalledManifest installed(location != nullptr ? InstalledManifest(location->installedPath)
                                                        : InstalledManifest());
  for (const ManifestEntry& entry : entries) {
    switch (DecideUpdateEntry(kind, m_installDir, entry, installed)) {
      case EntryDecision::kSkip:
        break;
      case EntryDecision::kQueue:
        m_workList.push_back(RelativeEntry(entry));
        m_workDigests.push_back(entry.digest);
        break;
      case EntryDecision::kRefused:
        ShowFailure(RelativeEntry(entry));
        result = false;
        break;
    }
  }
  return DownloadWorkList(!result) && result;
}

bool UpdateEngine::RunFirstInstallEntry(const ManifestEntry& entry) {
  platform::FileSystem& files = platform::Current().Files();
  std::string target;
  if (entry.path.empty()) {
    target = m_installDir + "\\" + entry.fileName;
  } else {
    const std::string folder = m_installDir + "\\" + entry.path;
    // Every missing level is created, so that a folder the release brings below a new folder works too.
    if (!files.IsFolder(folder)) (void)CreateFolderTree(folder);
    target = folder + "\\" + entry.fileName;
  }
  const std::string url = m_serverUrl + "/" + UrlPathText(entry.path) + "/" + UrlPathText(entry.fileName);

  m_pDialog->ShowFileStart(DownloadingText(entry.fileName, m_done, m_total), kZeroPercent);
  if (entry.fileName == g_bankProfile.assistantExeName) RenameRunningAssistant(m_installDir);

  CBindCallback callback(m_pDialog);
  if (!DownloadFileWithDigest(url, target, entry.digest, &callback, m_limits)) {
    ShowFailure(entry.fileName);
    return false;
  }
  AdvanceOverall();
  return true;
}

bool UpdateEngine::DownloadWorkList(bool failedBefore) {
  const int count = static_cast<int>(m_workList.size());
  if (count == 0) {
    m_pDialog->SetFileProgress(1, 1);
    m_pDialog->SetTotalRange(1);
    m_pDialog->SetTotalPos(1);
    // A refused entry's failure text stays on the status line.
    if (failedBefore) return true;
    ShowStatus(kNothingToUpdate);
    m_pDialog->SetFilePercentText(kFullPercent);
    m_pDialog->SetTotalPercentText(kFullPercent);
    return true;
  }

  platform::FileSystem& files = platform::Current().Files();
  m_pDialog->SetTotalRange(static_cast<std::uint32_t>(count));
  m_pDialog->SetTotalPos(0);
  bool result = true;
  for (int v = 1; v <= count; ++v) {
    const std::string& entry = m_workList[static_cast<std::size_t>(v - 1)];
    const std::string url = m_serverUrl + "/" + UrlPathText(entry);
    const std::string target = m_downloadDir + "\\" + entry;
    // A folder that is new in this release is made below the staging folder as well.
    const std::string folder = FolderOf(entry);
    if (!folder.empty() && !files.IsFolder(m_downloadDir + "\\" + folder)) {
      (void)CreateFolderTree(m_downloadDir + "\\" + folder);
    }

    m_pDialog->ShowFileStart(DownloadingText(entry, v, count), kZeroPercent);
    CBindCallback callback(m_pDialog);
    if (DownloadFileWithDigest(url, target, m_workDigests[static_cast<std::size_t>(v - 1)], &callback, m_limits)) {
      m_pDialog->SetTotalProgress(OverallPercent(v, count), static_cast<std::uint32_t>(v));
    } else {
      ShowFailure(entry);
      result = false;
    }
  }
  return result;
}

void UpdateEngine::AdvanceOverall() {
  m_pDialog->SetTotalProgress(OverallPercent(m_done, m_total), static_cast<std::uint32_t>(m_done));
  m_done += 1;
}

bool UpdateEngine::ApplyDownloadedFiles() {
  if (m_mode == ModeInstall) return true;
  return CopyDownloadedTree(m_downloadDir, m_downloadDir, m_installDir, m_pDialog);
}

bool UpdateEngine::ClearDownloadFolder() { return DeleteFilesInTree(m_downloadDir); }

bool UpdateEngine::WriteRegistryRecords() {
  RegistryRecords records;
  records.version = m_version;
  records.installDir = m_installDir;
  records.addAutoStart = g_addAutoStart;
  return ::WriteRegistryRecords(records);
}
