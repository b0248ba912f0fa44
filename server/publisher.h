// The publisher's side of message security: loading the server's copy of the message key pair,
// and signing manifests with the manifest-signing private key. Never linked into the Downloader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crypto/key_material.h"

// The manifest-signing private key of this build's key folder, as PEM text (the DEMO key unless the
// build was given a key folder of its own).
const char* BuildManifestSigningKey();

// Reads a 1024-bit RSA private key (PEM, PKCS #1 or PKCS #8) into the hexadecimal texts of a
// `MessageKeyPair`. False with a message in `error` when it cannot.
bool MessageKeyPairFromPem(const std::string& pem, MessageKeyPair& pair, std::string& error);

// Writes into `signedText` the signed form of a manifest: the signature block "\r\n<Sign>", the 256
// upper-case digits and "</Sign>\r\n" inserted before the manifest's last "<" (the root's closing tag),
// signing the SHA-1 of the manifest as given. A manifest that already carries a block in that place is
// signed afresh without its old block. False with a message in `error` when it cannot.
bool SignManifest(const std::string& privateKeyPem, const std::string& manifest, std::string& signedText,
                  std::string& error);

// What `voda-release publish` makes a release folder from.
struct PublishRequest {
  std::string source;       // folder of component files
  std::string destination;  // the release folder: must not exist, or be an empty folder
  std::string version;      // "v": four dot-separated numbers
  std::string url;          // "url": http:// or https:// base URL (or one starting with {base}), no trailing "/"
  std::string update;       // "update": a decimal number
  std::vector<std::uint32_t> banks;  // the banks served; each gets its bank manifest
  std::string signingKeyPem;         // the manifest-signing private key
};

// Makes the release folder (see server/release.h): the component files of `source` copied below
// files/, the manifests signed, the answer written. Files below a top-level folder "bank" of `source`
// belong to the bank manifests (their folders counted from "bank"); every other file to Digest.xml.
// The folder is built beside `destination` and renamed into place at the end, so a failure leaves
// nothing behind. False with a message in `error` when it cannot.
bool PublishRelease(const PublishRequest& request, std::string& error);

// The manifest text (before signing) for entries of (Path, FileName, Digest), in the given order.
struct PublishedEntry {
  std::string path;  // folders joined with "\", empty for the top folder
  std::string fileName;
  std::string digest;
};
std::string ManifestText(const std::vector<PublishedEntry>& entries);
