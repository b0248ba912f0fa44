// libFuzzer target over the update server's request paths: whatever a request names, the segments it
// is served from never step out of the release folder, and their joined form reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/fault_rules.h"
#include "server/release.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> segments;
  if (SplitRequestPath(path, segments)) {
    for (const std::string& segment : segments) {
      if (segment.empty() || segment == "." || segment == ".." ||
          segment.find_first_of(std::string("/\\:\0", 4)) != std::string::npos) {
        std::abort();
      }
    }
    std::vector<std::string> again;
    if (!SplitRequestPath(JoinedPath(segments), again) || again != segments) std::abort();
  }
  // The same text as a fault rule: parsed or refused, never more.
  FaultRules rules;
  std::string error;
  if (rules.Add(path, error)) rules.Take(path);
  return 0;
}
