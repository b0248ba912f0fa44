// libFuzzer target over serverip.dat texts: a text of fewer than three lines leaves the endpoint as it
// was; otherwise the three parts hold no line feed, and the same three lines written back apply to the
// same endpoint.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/server_address.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_server_address: %s\n", what);
  std::abort();
}

ServerEndpoint Old() {
  ServerEndpoint server;
  server.baseUrl = "https://old.example";
  server.alternateBaseUrls = {"https://alternate.example"};
  server.pathPrefix = "/old";
  server.queryPath = "/assist/server?reqtype=1&data=";
  return server;
}

bool Same(const ServerEndpoint& a, const ServerEndpoint& b) {
  return a.baseUrl == b.baseUrl && a.alternateBaseUrls == b.alternateBaseUrls && a.pathPrefix == b.pathPrefix &&
         a.queryPath == b.queryPath;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ServerEndpoint server = Old();
  if (!ApplyServerAddress(text, server)) {
    if (!Same(server, Old())) Fail("a refused text changed the endpoint");
    return 0;
  }
  if (server.alternateBaseUrls != Old().alternateBaseUrls) Fail("the alternate addresses changed");
  for (const std::string* part : {&server.baseUrl, &server.pathPrefix, &server.queryPath}) {
    if (part->find('\n') != std::string::npos) Fail("a part holds a line feed");
    if (part->size() > text.size()) Fail("a part longer than the text");
  }
  // A carriage return at a part's end would read as part of the line end when written back.
  for (const std::string* part : {&server.baseUrl, &server.pathPrefix, &server.queryPath}) {
    if (!part->empty() && part->back() == '\r') return 0;
  }
  ServerEndpoint again = Old();
  const std::string written = server.baseUrl + "\n" + server.pathPrefix + "\n" + server.queryPath + "\n";
  if (!ApplyServerAddress(written, again) || !Same(again, server)) Fail("the written lines apply otherwise");
  return 0;
}
