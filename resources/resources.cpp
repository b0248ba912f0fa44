#include "resources/resources.h"

#include <cctype>

namespace resources {

// Made at build time from the artwork.
extern const EmbeddedResource kEmbeddedResources[];
extern const std::size_t kEmbeddedResourceCount;

namespace {

struct StringEntry {
  int id;
  const char* text;
};

const StringEntry kStrings[] = {
    {101, "关于 Downloader(&A)..."},  // the system menu's extra item
};

bool SameTypeName(std::string_view a, const char* b) {
  std::string_view bv(b);
  if (a.size() != bv.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(bv[i])))
      return false;
  return true;
}

}  // namespace

ResourceView FindResource(int id, std::string_view type) {
  for (std::size_t i = 0; i < kEmbeddedResourceCount; ++i) {
    const EmbeddedResource& r = kEmbeddedResources[i];
    if (r.id == id && SameTypeName(type, r.type)) return {r.data, r.size};
  }
  return {};
}

std::string LoadString(int id) {
  for (const StringEntry& s : kStrings)
    if (s.id == id) return s.text;
  return {};
}

}  // namespace resources
