#include "app/version.h"

#include "net/server_request.h"

namespace {

std::uint32_t PieceValue(const std::string& text, std::string::size_type from, std::string::size_type count) {
  if (from >= text.size()) return 0;
  return static_cast<std::uint32_t>(UpdateModeValue(text.substr(from, count)));
}

}  // namespace

VersionQuad ParseVersion(const std::string& text) {
  VersionQuad version;
  if (text.size() < 4) return version;

  if (text.find('.') == std::string::npos) {
    version.major = PieceValue(text, 0, 1);
    version.minor = PieceValue(text, 1, 1);
    version.build = PieceValue(text, 2, 2);
    version.revision = PieceValue(text, 4, std::string::npos);
    return version;
  }

  std::uint32_t* pieces[] = {&version.major, &version.minor, &version.build, &version.revision};
  std::string::size_type start = 0;
  for (std::uint32_t* piece : pieces) {
    const std::string::size_type dot = text.find('.', start);
    const std::string::size_type end = dot == std::string::npos ? text.size() : dot;
    *piece = PieceValue(text, start, end - start);
    if (dot == std::string::npos) break;  // the pieces not reached stay 0
    start = dot + 1;
  }
  return version;
}

int CompareVersions(const VersionQuad& a, const VersionQuad& b) {
  const std::uint32_t left[] = {a.major, a.minor, a.build, a.revision};
  const std::uint32_t right[] = {b.major, b.minor, b.build, b.revision};
  for (int i = 0; i < 4; ++i) {
    if (left[i] != right[i]) return left[i] < right[i] ? -1 : 1;
  }
  return 0;
}
