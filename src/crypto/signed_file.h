// Signed files: the downloaded manifests carry an RSA signature block just before their last "<"
// (normally the root's closing tag). With t the position of the last "<":
//   [0, t - 273)        signed content, first part
//   [t - 273, t - 265)  "\r\n<Sign>"
//   [t - 265, t - 9)    the signature, 256 hexadecimal digits (128 bytes)
//   [t - 9, t)          not examined (normally "</Sign>\r\n")
//   [t, end)            signed content, last part
// The signature is a PKCS #1 v1.5 type 1 block over the raw 20-byte SHA-1 of the signed content (first
// part then last part), checked with the public key `FileSignatureKey`.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kSignBlockBytes = 273;  // taken out of the file to give the signed content
extern const char kSignTag[];                 // "\r\n<Sign>"
extern const char kSignEndTag[];              // "</Sign>\r\n", the 9 bytes the writer puts after the digits

// Splits a signed file: on success `content` is the signed content and `signatureHex` the 256 digits.
// False when the file has no "<", its last "<" is closer than 273 bytes to the start, or the tag is
// not in its place.
bool SplitSignedFile(const unsigned char* data, std::size_t size, std::string& content,
                     std::string& signatureHex);

// True when the signed file's signature is valid under the PEM public key (`FileSignatureKey` when none
// is given). Never fails otherwise than by false.
bool VerifySignedData(const unsigned char* data, std::size_t size);
bool VerifySignedData(const char* publicKeyPem, const unsigned char* data, std::size_t size);

// The same over a file on disk, read whole in binary mode; a file that cannot be read gives false.
// The file is not changed.
bool VerifySignedFile(const char* path);
bool VerifySignedFile(const char* publicKeyPem, const char* path);
