// libFuzzer target over the hexadecimal and signature decoders: any text decodes into exactly the room
// it is given, a text of hexadecimal digits decodes to the bytes whose encoding it is, and the signature
// decoder reads its 256 characters and writes its 128 bytes, no more.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/codec.h"

namespace {

bool AllHexDigits(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

std::string Upper(const char* text, std::size_t length) {
  std::string upper(text, length);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

void CheckHexDecode(const char* text, std::uint32_t length) {
  std::uint32_t capacity = 0;
  const int sized = HexDecode(length, text, nullptr, &capacity);
  if (length % 2 != 0) {
    if (sized != -1) std::abort();
    return;
  }
  if (sized != 0 || capacity != length / 2) std::abort();
  // Exactly the stated room, on the heap, so that a write past it is caught.
  std::unique_ptr<unsigned char[]> out(new unsigned char[capacity]);
  std::uint32_t room = capacity;
  if (HexDecode(length, text, out.get(), &room) != 0 || room != capacity) std::abort();
  if (AllHexDigits(text, length)) {
    std::vector<char> hex(2 * capacity + 10);
    std::uint32_t hexRoom = static_cast<std::uint32_t>(hex.size());
    if (HexEncode(out.get(), capacity, hex.data(), &hexRoom) != 0 || hexRoom != length) std::abort();
    if (std::string(hex.data(), hexRoom) != Upper(text, length)) std::abort();
  }
  // Too little room: nothing written, the size told.
  if (capacity > 0) {
    room = capacity - 1;
    std::memset(out.get(), 0xA5, capacity);
    if (HexDecode(length, text, out.get(), &room) != 0 || room != capacity) std::abort();
    for (std::uint32_t i = 0; i < capacity; ++i) {
      if (out[i] != 0xA5) std::abort();
    }
  }
}

void CheckSignature(const char* text, std::size_t size) {
  if (size < static_cast<std::size_t>(kSignatureHexLength)) return;
  // The 256 characters alone, without a terminating zero, as they sit inside a signed file.
  std::unique_ptr<char[]> digits(new char[kSignatureHexLength]);
  std::memcpy(digits.get(), text, kSignatureHexLength);
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[kSignatureBytes]);
  DecodeSignatureHex(digits.get(), bytes.get());
  if (AllHexDigits(digits.get(), kSignatureHexLength)) {
    unsigned char same[kSignatureBytes];
    std::uint32_t room = kSignatureBytes;
    HexDecode(kSignatureHexLength, digits.get(), same, &room);
    if (std::memcmp(same, bytes.get(), kSignatureBytes) != 0) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's length, so that a read past the text is caught.
  std::unique_ptr<char[]> text(new char[size]);
  if (size > 0) std::memcpy(text.get(), data, size);
  CheckHexDecode(text.get(), static_cast<std::uint32_t>(size));
  CheckSignature(text.get(), size);
  if (size >= 20) {
    char digest[kDigestTextLength + 1];
    if (Base64Digest(reinterpret_cast<const unsigned char*>(text.get()), digest) != kDigestTextLength ||
        digest[kDigestTextLength] != '\0' || digest[kDigestTextLength - 1] != '=') {
      std::abort();
    }
  }
  return 0;
}
