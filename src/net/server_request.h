// The version query: the one question the program asks its update server.
//
// The request is the bank id, sealed and carried in the query string of a GET; the reply is the sealed
// text of a JSON object whose members "v", "url" and "update" are read as texts. Both callers (the
// command dispatcher and the version-query worker) run the same order:
//   1. plaintext := VersionQueryText(g_bankProfile.bankId)
//   2. SendServerRequest(g_server.queryPath, plaintext, response)
//   3. the exchange has failed unless that returned true and the response is not empty
//   4.-5. ReadServerReply(response, reply): unseal (length rounded down to even) and read the members
// and then store what they take into g_install. AskServerForVersion runs steps 1 to 3 and
// StoreServerReply the storing. The protocol keeps no state between calls.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "app/globals.h"

// The request plaintext: the bank id in lower-case hexadecimal without leading zeros ("861").
std::string VersionQueryText(std::uint32_t bankId);

// Seals `plaintext`, builds the URL server.baseUrl + server.pathPrefix + requestPath + sealed text and
// GETs it with a CHttpClient of its own, once per entry of server.alternateBaseUrls and at least once,
// all attempts with that same URL and without pause. True as soon as an attempt succeeds: `response` then
// holds the body, whatever the status code. False when sealing fails (before any network activity) or
// every attempt fails; `response` is then unchanged.
bool SendServerRequest(const ServerEndpoint& server, const std::string& requestPath,
                       const std::string& plaintext, std::string& response);

// The same on the program's server endpoint, g_server.
inline bool SendServerRequest(const std::string& requestPath, const std::string& plaintext,
                              std::string& response) {
  return SendServerRequest(g_server, requestPath, plaintext, response);
}

// The members of a reply, as texts. An absent or null member reads as "", a boolean as "true"/"false".
struct ServerReply {
  std::string version;      // "v": the newest version of the assistant
  std::string downloadUrl;  // "url": base URL of the manifests and component files
  std::string update;       // "update": a decimal number as text (see UpdateModeValue)
};

// Opens a reply: unseals the response (its length rounded down to an even number, so the last
// character of an odd-length body is ignored), parses the plaintext as JSON and reads the members.
// False, leaving `reply` unchanged, when the response is empty, does not unseal, is not JSON, is not a
// JSON object, or holds a number, array or object in "v", "url" or "update". Other members are ignored.
bool ReadServerReply(const std::string& response, ServerReply& reply);

// The value of an "update" text by the usual decimal rule: leading blanks skipped, an optional sign,
// then the leading digits; 0 when there are none. Values beyond 32 bits saturate.
std::int32_t UpdateModeValue(const std::string& text);

// Steps 1 to 3 of the callers' order on the program's globals: the sealed bank id of g_bankProfile sent
// on g_server.queryPath. True when an attempt got a non-empty body, which is then in `response`;
// otherwise `response` is unchanged. The dispatcher repeats this call; the version-query worker makes it once.
inline bool AskServerForVersion(std::string& response) {
  std::string body;
  if (!SendServerRequest(g_server.queryPath, VersionQueryText(g_bankProfile.bankId), body) || body.empty()) {
    return false;
  }
  response = std::move(body);
  return true;
}

// Stores an opened reply: "v" into g_install.latestVersion and "url" into g_install.downloadBaseUrl,
// and, for the dispatcher only, the value of "update" into g_install.updateMode.
inline void StoreServerReply(const ServerReply& reply, bool withUpdateMode) {
  g_install.latestVersion = reply.version;
  g_install.downloadBaseUrl = reply.downloadUrl;
  if (withUpdateMode) g_install.updateMode = UpdateModeValue(reply.update);
}
