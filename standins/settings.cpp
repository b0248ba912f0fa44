#include "standins/settings.h"

#include <fstream>

namespace standins {

std::string SettingsPath(const std::string& prefixRoot) { return prefixRoot + "/standin.cfg"; }

std::string ReadSetting(const std::string& prefixRoot, const std::string& key, const std::string& fallback) {
  std::ifstream in(SettingsPath(prefixRoot), std::ios::binary);
  std::string value = fallback;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (line.compare(0, eq, key) == 0 && eq == key.size()) value = line.substr(eq + 1);
  }
  return value;
}

bool WriteSetting(const std::string& prefixRoot, const std::string& key, const std::string& value) {
  if (key.empty() || key.find_first_of("=\r\n") != std::string::npos ||
      value.find_first_of("\r\n") != std::string::npos)
    return false;
  std::ofstream out(SettingsPath(prefixRoot), std::ios::binary | std::ios::app);
  out << key << '=' << value << '\n';
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace standins
