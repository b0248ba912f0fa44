#include "net/server_request.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

#include "crypto/sealing.h"
#include "net/http_client.h"

namespace {

// The sealed text of a plaintext, asked for in the two steps of the sealing convention: the needed
// capacity first, then the seal into a zero-filled buffer one byte larger.
bool SealRequest(const std::string& plaintext, std::string& sealed) {
  if (plaintext.size() > kMaxSealedPlaintext) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(plaintext.data());
  const auto length = static_cast<std::uint32_t>(plaintext.size());
  std::uint32_t capacity = 0;
  if (SealMessage(nullptr, &capacity, bytes, length) != 0 || capacity == 0) return false;
  std::vector<char> buffer(static_cast<std::size_t>(capacity) + 1, '\0');
  if (SealMessage(buffer.data(), &capacity, bytes, length) != 0) return false;
  sealed.assign(buffer.data(), std::min<std::size_t>(capacity, buffer.size() - 1));
  return true;
}

// A member read as text: strings as they are, absent or null as "", booleans as "true" or "false".
// Numbers, arrays and objects are not texts.
bool MemberText(const Json::Value& object, const char* name, std::string& text) {
  const Json::Value& member = object[name];
  switch (member.type()) {
    case Json::nullValue: text.clear(); return true;
    case Json::stringValue: text = member.asString(); return true;
    case Json::booleanValue: text = member.asBool() ? "true" : "false"; return true;
    default: return false;
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

std::string VersionQueryText(std::uint32_t bankId) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(bankId));
  return text;
}

bool SendServerRequest(const ServerEndpoint& server, const std::string& requestPath,
                       const std::string& plaintext, std::string& response) {
  CHttpClient client;
  std::string sealed;
  if (!SealRequest(plaintext, sealed)) return false;
  // Every attempt sends this same URL; the alternative base URLs only set how many attempts there are.
  const std::string url = server.baseUrl + server.pathPrefix + requestPath + sealed;
  const std::size_t attempts = std::max<std::size_t>(1, server.alternateBaseUrls.size());
  for (std::size_t attempt = 0; attempt < attempts; ++attempt) {
    if (client.HttpGet(url.c_str(), response) == kHttpGetOk) return true;
  }
  return false;
}

bool ReadServerReply(const std::string& response, ServerReply& reply) {
  if (response.empty() || response.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  const auto evenLength = static_cast<std::uint32_t>(response.size() & ~static_cast<std::size_t>(1));
  std::string plaintext;
  if (!UnsealToString(response.c_str(), evenLength, plaintext)) return false;

  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(plaintext.data(), plaintext.data() + plaintext.size(), &root, &errors)) return false;
  if (!root.isObject()) return false;

  ServerReply read;
  if (!MemberText(root, "v", read.version) || !MemberText(root, "url", read.downloadUrl) ||
      !MemberText(root, "update", read.update)) {
    return false;
  }
  reply = std::move(read);
  return true;
}

std::int32_t UpdateModeValue(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  std::int64_t value = 0;
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                                      : std::numeric_limits<std::int32_t>::max();
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = std::min<std::int64_t>(limit, value * 10 + (text[at] - '0'));
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}
