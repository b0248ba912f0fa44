// libFuzzer target over manifest texts: parsing never fails otherwise than by false, the one-walk
// reader gives exactly the per-entry reads, and converted texts are valid UTF-8 or empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "update/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  XmlReader reader;
  if (!ParseXmlText(text, reader)) return 0;
  const int count = CountEntries(reader, "FileInfo", 1);
  const std::vector<ManifestEntry> entries = ReadManifestEntries(reader);
  if (entries.size() != static_cast<std::size_t>(count)) std::abort();
  for (int i = 1; i <= count; ++i) {
    const ManifestEntry& entry = entries[static_cast<std::size_t>(i - 1)];
    if (GetAttributeText(reader, "File", i, "Path") != entry.path ||
        GetAttributeText(reader, "File", i, "FileName") != entry.fileName ||
        GetAttributeText(reader, "File", i, "Digest") != entry.digest) {
      std::abort();
    }
    if (Utf8ToAnsi(entry.path) != entry.path || Utf8ToAnsi(entry.fileName) != entry.fileName) std::abort();
    (void)IsSafeManifestEntry(entry);
  }
  (void)Utf8ToAnsi(text);
  return 0;
}
