// libFuzzer target: sealed texts from outside (server replies, requests at the server) and signed
// files. The first byte picks the form: raw text as received, or the bytes as their hexadecimal text
// (which lets the fuzzer shape the message fields), or a signed file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crypto/codec.h"
#include "crypto/sealing.h"
#include "crypto/signed_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t form = data[0] % 3;
  ++data;
  --size;
  if (form == 2) {
    VerifySignedData(data, size);
    return 0;
  }
  std::string text;
  if (form == 0) {
    text.assign(reinterpret_cast<const char*>(data), size);
  } else {
    std::vector<char> hex(2 * size + 11, 0);
    std::uint32_t capacity = static_cast<std::uint32_t>(hex.size());
    HexEncode(data, static_cast<std::uint32_t>(size), hex.data(), &capacity);
    text.assign(hex.data(), capacity);
  }
  // Exactly the room the callers give, so that a read or write past it is caught.
  std::vector<unsigned char> out(text.size() + 1);
  std::uint32_t capacity = static_cast<std::uint32_t>(text.size());
  UnsealMessage(static_cast<std::uint32_t>(text.size()), text.data(), out.data(), &capacity);
  std::string destination;
  UnsealToString(text.data(), static_cast<std::uint32_t>(text.size()), destination);
  return 0;
}
