// libFuzzer target: server replies. The input is taken as the reply's JSON plaintext, sealed as the
// server would, and opened and read as the callers do; the raw input is also read as a reply body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/sealing.h"
#include "net/server_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  ServerReply reply;
  ReadServerReply(input, reply);
  std::string sealed;
  if (SealToString(input, sealed) && ReadServerReply(sealed, reply)) UpdateModeValue(reply.update);
  return 0;
}
