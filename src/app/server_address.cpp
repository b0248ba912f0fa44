#include "app/server_address.h"

#include "platform/files.h"
#include "platform/platform.h"

namespace {

constexpr const char* kServerAddressFile = "serverip.dat";
constexpr const char* kDefaultQueryPath = "/assist/server?reqtype=1&data=";

// Reads lines as a text-mode file does: "\r\n" reads as "\n".
class TextLines {
 public:
  explicit TextLines(const std::string& raw) {
    text_.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
      text_ += raw[i];
    }
  }

  // The next line without its line end; false when the end of the text comes before the line starts.
  bool Next(std::string& line) {
    if (position_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', position_);
    if (end == std::string::npos) end = text_.size();
    line = text_.substr(position_, end - position_);
    position_ = end + 1;
    return true;
  }

 private:
  std::string text_;
  std::size_t position_ = 0;
};

}  // namespace

bool ApplyServerAddress(const std::string& text, ServerEndpoint& server) {
  TextLines lines(text);
  std::string baseUrl, pathPrefix, queryPath;
  if (!lines.Next(baseUrl) || !lines.Next(pathPrefix) || !lines.Next(queryPath)) return false;
  server.baseUrl = baseUrl;
  server.pathPrefix = pathPrefix;
  server.queryPath = queryPath;
  return true;
}

bool LoadServerAddress() {
  std::string text;
  if (!platform::Current().Files().ReadFile(kServerAddressFile, &text).ok()) {
    g_server.queryPath = kDefaultQueryPath;
    g_server.pathPrefix.clear();
    return true;
  }
  return ApplyServerAddress(text, g_server);
}
