#include "update/bind_callback.h"

#include <cstdio>

std::string FormatFilePercent(std::uint32_t received, std::uint32_t total) {
  const double share = total == 0 ? 0.0 : static_cast<double>(received) * 100.0 / static_cast<double>(total);
  char text[64];
  std::snprintf(text, sizeof text, "%.2lf%%", share);
  return text;
}

HRESULT CBindCallback::OnProgress(std::uint32_t progress, std::uint32_t progressMax, std::uint32_t,
                                  const wchar_t*) {
  if (m_pOwner == nullptr) return S_OK;
  m_pOwner->SetFileProgressAndText(progress, progressMax, FormatFilePercent(progress, progressMax));
  return S_OK;
}
