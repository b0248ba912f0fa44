// Download progress: the binding-status callback interface the download loop reports to, and
// CBindCallback, which shows a file's progress in the progress dialog.
#pragma once

#include <cstdint>
#include <string>

using HRESULT = std::int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);

// IBindStatusCallback (and IUnknown), in the order of the interface. The download loop calls only
// OnProgress; the object is never registered with a binding, so the other methods only answer.
class IBindStatusCallback {
 public:
  virtual ~IBindStatusCallback() = default;
  virtual HRESULT QueryInterface(const void* iid, void** object) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;
  virtual HRESULT OnStartBinding(std::uint32_t reserved, void* binding) = 0;
  virtual HRESULT GetPriority(std::int32_t* priority) = 0;
  virtual HRESULT OnLowResource(std::uint32_t reserved) = 0;
  virtual HRESULT OnProgress(std::uint32_t progress, std::uint32_t progressMax, std::uint32_t statusCode,
                             const wchar_t* statusText) = 0;
  virtual HRESULT OnStopBinding(HRESULT result, const wchar_t* error) = 0;
  virtual HRESULT GetBindInfo(std::uint32_t* bindFlags, void* bindInfo) = 0;
  virtual HRESULT OnDataAvailable(std::uint32_t flags, std::uint32_t size, void* format, void* medium) = 0;
  virtual HRESULT OnObjectAvailable(const void* iid, void* object) = 0;
};

// What the progress dialog offers a download: its per-file bar (control 1021) and per-file percentage
// label (1023). The progress dialog implements it; calls come from the installation worker, and the
// dialog carries them to its own thread synchronously.
class FileProgressSink {
 public:
  virtual ~FileProgressSink() = default;
  // PBM_SETRANGE32 with 0..rangeMax, then PBM_SETPOS with pos, on the per-file bar.
  virtual void SetFileProgress(std::uint32_t pos, std::uint32_t rangeMax) = 0;
  // The text of the per-file percentage label, then RefreshControl of that label.
  virtual void SetFilePercentText(const std::string& text) = 0;
  // One block's report: what SetFileProgress(pos, rangeMax) and then SetFilePercentText(text) do, and
  // returns once both are shown. A sink may carry both to its controls in one go; this default makes
  // the two calls.
  virtual void SetFileProgressAndText(std::uint32_t pos, std::uint32_t rangeMax, const std::string& text) {
    SetFileProgress(pos, rangeMax);
    SetFilePercentText(text);
  }
};

// "%.2lf%%" of received * 100 / total in double precision ("40.96%"). With no total (0) there is no
// meaningful share: "0.00%".
std::string FormatFilePercent(std::uint32_t received, std::uint32_t total);

// The progress sink of one download step: reports every OnProgress to its owner, the open progress
// dialog (pass the dialog that g_progressDlg names; nullptr reports nowhere). Not reference counted:
// an automatic object of the step that downloads.
class CBindCallback final : public IBindStatusCallback {
 public:
  explicit CBindCallback(FileProgressSink* owner) : m_pOwner(owner) {}

  HRESULT QueryInterface(const void*, void**) override { return E_NOTIMPL; }
  std::uint32_t AddRef() override { return 0; }
  std::uint32_t Release() override { return 0; }
  HRESULT OnStartBinding(std::uint32_t, void*) override { return E_NOTIMPL; }
  HRESULT GetPriority(std::int32_t*) override { return E_NOTIMPL; }
  HRESULT OnLowResource(std::uint32_t) override { return E_NOTIMPL; }
  // Sets the bar to `progress` of 0..`progressMax` and the label to the percentage, as one report
  // (SetFileProgressAndText); the status code and text are ignored.
  HRESULT OnProgress(std::uint32_t progress, std::uint32_t progressMax, std::uint32_t statusCode,
                     const wchar_t* statusText) override;
  HRESULT OnStopBinding(HRESULT, const wchar_t*) override { return E_NOTIMPL; }
  HRESULT GetBindInfo(std::uint32_t*, void*) override { return E_NOTIMPL; }
  HRESULT OnDataAvailable(std::uint32_t, std::uint32_t, void*, void*) override { return E_NOTIMPL; }
  HRESULT OnObjectAvailable(const void*, void*) override { return E_NOTIMPL; }

  FileProgressSink* m_pOwner;  // not owned
};
