#include "server/release.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

#include <json/json.h>

namespace fs = std::filesystem;

namespace {

bool ParseJson(const std::string& text, Json::Value& value, std::string& error) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  return reader->parse(text.data(), text.data() + text.size(), &value, &error);
}

std::string CompactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

std::string BankManifestName(std::uint32_t bankId) {
  char name[32];
  std::snprintf(name, sizeof name, "Digest_%.3x.xml", static_cast<unsigned>(bankId));
  return name;
}

bool ParseBankId(const std::string& text, std::uint32_t& bankId) {
  if (text.empty() || text.size() > 8) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  bankId = value;
  return true;
}

bool SplitRequestPath(const std::string& path, std::vector<std::string>& segments) {
  std::vector<std::string> out;
  std::string current;
  auto finish = [&]() {
    if (current == "..") return false;
    if (!current.empty() && current != ".") out.push_back(current);
    current.clear();
    return true;
  };
  for (char c : path) {
    if (c == '/' || c == '\\') {
      if (!finish()) return false;
    } else if (c == '\0' || c == ':') {
      return false;
    } else {
      current += c;
    }
  }
  if (!finish()) return false;
  segments = out;
  return true;
}

std::string JoinedPath(const std::vector<std::string>& segments) {
  if (segments.empty()) return "/";
  std::string path;
  for (const std::string& segment : segments) path += "/" + segment;
  return path;
}

std::string UrlPath(const std::string& url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const std::size_t slash = url.find('/', scheme + 3);
  if (slash == std::string::npos) return std::string();
  std::string path = url.substr(slash);
  const std::size_t query = path.find_first_of("?#");
  if (query != std::string::npos) path.erase(query);
  return path;
}

bool Release::Load(const std::string& folder, std::string& error) {
  std::error_code ec;
  const fs::path root(folder);
  const fs::path answerPath = root / kAnswerFileName;
  const fs::path files = root / kFilesFolderName;
  if (!fs::is_directory(root, ec)) {
    error = folder + ": no such release folder";
    return false;
  }
  if (!fs::is_directory(files, ec)) {
    error = files.string() + ": the release has no files folder";
    return false;
  }
  std::ifstream in(answerPath, std::ios::binary);
  if (!in) {
    error = answerPath.string() + ": cannot read the answer";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  Json::Value answer;
  std::string parseError;
  if (!ParseJson(text.str(), answer, parseError) || !answer.isObject()) {
    error = answerPath.string() + ": not a JSON object " + parseError;
    return false;
  }
  for (const char* member : {"v", "url", "update"}) {
    if (!answer[member].isString()) {
      error = answerPath.string() + ": \"" + member + "\" must be a string";
      return false;
    }
  }
  const fs::path canonicalFiles = fs::canonical(files, ec);
  if (ec) {
    error = files.string() + ": " + ec.message();
    return false;
  }
  m_filesFolder = canonicalFiles.string();
  m_answerJson = CompactJson(answer);
  m_url = answer["url"].asString();
  return true;
}

std::string Release::AnswerFor(const std::string& base) const {
  Json::Value answer;
  std::string error;
  if (!ParseJson(m_answerJson, answer, error)) return m_answerJson;
  std::string url = answer["url"].asString();
  ReplaceAll(url, kBaseToken, base);
  answer["url"] = url;
  return CompactJson(answer);
}

std::vector<std::string> Release::UrlSegments(const std::string& base) const {
  std::string url = m_url;
  ReplaceAll(url, kBaseToken, base);
  std::vector<std::string> segments;
  if (!SplitRequestPath(UrlPath(url), segments)) segments.clear();
  return segments;
}

bool Release::ServesBank(std::uint32_t bankId) const {
  std::error_code ec;
  return fs::is_regular_file(fs::path(m_filesFolder) / BankManifestName(bankId), ec);
}

bool Release::FindFile(const std::vector<std::string>& segments, std::string& file) const {
  if (segments.empty()) return false;
  fs::path path(m_filesFolder);
  for (const std::string& segment : segments) {
    if (segment.empty() || segment == "." || segment == ".." ||
        segment.find_first_of(std::string("/\\:\0", 4)) != std::string::npos) {
      return false;
    }
    path /= segment;
  }
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec || !fs::is_regular_file(real, ec)) return false;
  const std::string realText = real.string();
  if (realText.compare(0, m_filesFolder.size() + 1, m_filesFolder + "/") != 0) return false;
  file = realText;
  return true;
}
