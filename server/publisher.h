// The publisher's side of message security: loading the server's copy of the message key pair,
// and signing manifests with the manifest-signing private key. Never linked into the Downloader.
#pragma once

#include <string>

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
