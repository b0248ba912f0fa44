// The update engine: the object that carries one installation, update or repair run.
//
// The progress dialog creates it when it opens; its installation worker calls the steps in a fixed
// order: CreateComponentFolders, DownloadManifests, CountManifestEntries (kind 3, then kind 1) to size
// the overall bar, RunManifest (KindCommon, then KindBank when that succeeded), ApplyDownloadedFiles,
// ClearDownloadFolder, WriteRegistryRecords. A first installation downloads every component straight
// into the installation folder; an update or repair run compares every entry of the fresh manifests
// with the installed files, downloads what changed into the staging folder "DownLoad" and copies the
// staging tree over the installation when the assistant has stopped.
//
// The engine reports through RunProgressView, which the progress dialog implements. Every call comes
// from the installation worker; the dialog carries it to its own thread synchronously.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/run_mode.h"
#include "update/bind_callback.h"
#include "update/download.h"
#include "update/manifest.h"

// MessageBoxA's exclamation icon.
constexpr unsigned kMbIconExclamation = 0x30;

// What the engine shows in the progress dialog (dialog 135). The per-file bar (1021) and the per-file
// percentage label (1023) come from FileProgressSink; downloads report to them through CBindCallback.
class RunProgressView : public FileProgressSink {
 public:
  // The status line, label 1020, then RefreshControl of that label.
  virtual void SetStatusText(const std::string& text) = 0;
  // The overall bar, control 1022: PBM_SETRANGE32 with 0..rangeMax.
  virtual void SetTotalRange(std::uint32_t rangeMax) = 0;
  // The overall bar, control 1022: PBM_SETPOS.
  virtual void SetTotalPos(std::uint32_t pos) = 0;
  // The overall percentage, label 1024, then RefreshControl of that label.
  virtual void SetTotalPercentText(const std::string& text) = 0;
  // The caption of button 2 (Cancel).
  virtual void SetCancelCaption(const std::string& text) = 0;

  // The start of one file's download: SetStatusText(status), then SetFilePercentText(filePercent). A
  // view may carry both to its controls in one go; this default makes the two calls.
  virtual void ShowFileStart(const std::string& status, const std::string& filePercent) {
    SetStatusText(status);
    SetFilePercentText(filePercent);
  }
  // One overall step: SetTotalPercentText(percentText), then SetTotalPos(pos). A view may carry both to
  // its controls in one go; this default makes the two calls.
  virtual void SetTotalProgress(const std::string& percentText, std::uint32_t pos) {
    SetTotalPercentText(percentText);
    SetTotalPos(pos);
  }

  // An installed file could not be replaced: a message box without owner window with `text`,
  // `caption` and the exclamation icon, and after it is closed the process ends at once with exit
  // code 0. The default does exactly that through the window system and never returns; a test view
  // may record the call and return, and the copy then stops with false.
  virtual void ReportFileInUse(const std::string& text, const std::string& caption);
};

// What the default view's ReportFileInUse does: the ownerless exclamation message box, then the
// immediate end of the process with exit code 0.
[[noreturn]] void ShowFileInUseAndExit(const std::string& text, const std::string& caption);

class UpdateEngine {
 public:
  // The progress dialog passes itself, g_bankProfile.allianceCode, its run mode and g_install's
  // downloadBaseUrl, updateMode, latestVersion and installDir. An empty base URL or installation
  // folder is read from the assistant's registry key (values "ServerURL" and "Path"). The bank id,
  // product name and assistant program name come from g_bankProfile.
  UpdateEngine(RunProgressView* dialog, const std::string& allianceCode, int mode,
               const std::string& downloadBaseUrl, std::int32_t updateType, const std::string& version,
               const std::string& installDir);
  UpdateEngine(const UpdateEngine&) = delete;
  UpdateEngine& operator=(const UpdateEngine&) = delete;

  // Creates Data, Plugins, Script, Tools and DownLoad below the installation folder, then Data,
  // Plugins, Script and Tools below the staging folder. Failures are ignored; always true.
  bool CreateComponentFolders();

  // Downloads Digest.xml and then the bank manifest and checks each signature; false at the first
  // that cannot be downloaded or is not signed. A first installation writes them to the installation
  // folder, an update or repair run to the staging folder.
  bool DownloadManifests();

  // The number of entries of the installed manifest of a kind (1 to 3); 0 when it cannot be loaded.
  int CountManifestEntries(int kind);

  // One manifest's files. First installation: every entry downloaded into place, numbered with
  // m_done of m_total; the first failure stops. Update or repair: changed entries queued on
  // m_workList, then the whole list downloaded into the staging folder, numbered 1 to its length;
  // every entry is attempted. Unsafe entries fail like an entry that cannot be downloaded; a
  // component counts only with the manifest's digest. False when any entry failed.
  bool RunManifest(int kind);

  // Update or repair run: CopyDownloadedTree of the staging folder. First installation: true.
  bool ApplyDownloadedFiles();

  // Deletes every file of the staging tree; its folders stay.
  bool ClearDownloadFolder();

  // The product key, the Uninstall entry and the Run entry (when g_addAutoStart) of this run.
  bool WriteRegistryRecords();

  // One overall step done (a downloaded file, an installed runtime package): label 1024 shows
  // m_done / m_total, the overall bar moves to m_done, and m_done advances.
  void AdvanceOverall();

  // The locations of a manifest kind (1 to 3), or nullptr for another number.
  const ManifestLocations* Manifest(int kind) const;

  std::int32_t m_updateType;   // the server's update type at creation
  std::string m_allianceCode;  // names the registry keys and the pop-up program's events
  std::string m_serverUrl;     // download base URL, no trailing slash
  std::string m_installDir;    // installation folder, no trailing separator
  std::string m_version;       // the version this run installs
  std::string m_downloadDir;   // the staging folder: m_installDir + "\DownLoad"
  int m_total = 0;             // overall steps of the run, set by the installation worker
  int m_done = 1;              // running number of the next overall step
  int m_mode;                  // RunMode
  RunProgressView* m_pDialog;  // not owned
  std::vector<std::string> m_workList;  // relative entries queued in update and repair runs
  DownloadLimits m_limits;              // bounds of every download attempt

 private:
  bool RunFirstInstallEntry(const ManifestEntry& entry);
  bool DownloadWorkList(bool failedBefore);
  void ShowStatus(const std::string& text);
  void ShowFailure(const std::string& name);

  ManifestLocations m_manifests[3];
  std::vector<std::string> m_workDigests;  // the manifest digest of each m_workList entry
};
