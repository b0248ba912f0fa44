#!/usr/bin/env bash
# Makes a key folder for one Downloader build: the message key pair and the manifest-signing key.
#
#   server/keys/make-demo-keys.sh [FOLDER]      (default: the folder of this script)
#
# The files, all of which a build reads from its key folder (-DVODA_KEY_DIR=FOLDER):
#   message-key.pem           the message key pair (private, PKCS #8 PEM); the server reads requests and
#                             seals replies with it (voda-release --message-key)
#   message-key.hex           the same pair as hexadecimal components N E D P Q DP DQ QP, one "NAME=hex"
#                             line each; compiled into the Downloader
#   manifest-signing.pem      the manifest-signing private key: publisher material only, compiled into
#                             voda-release as its default signing key, never into the Downloader
#   manifest-signing.pub.pem  its public half as a PKCS #1 RSAPublicKey PEM text; compiled into the
#                             Downloader as the key that checks signed manifests
#
# The keys committed in server/keys are DEMO KEYS, published with the source: every bank builds with
# a key folder of its own, made by this script in a private place.
set -euo pipefail
out="${1:-$(dirname "$0")}"
mkdir -p "$out"
cd "$out"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -pkeyopt rsa_keygen_pubexp:65537 \
    -out message-key.pem
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -pkeyopt rsa_keygen_pubexp:65537 \
    -out manifest-signing.pem
openssl rsa -in manifest-signing.pem -RSAPublicKey_out -out manifest-signing.pub.pem

# One component of `openssl rsa -text`: the hexadecimal digits after its heading, lower case, without
# separators or the sign byte, zero-padded to the given number of digits.
component() {
  openssl rsa -in message-key.pem -noout -text |
    awk -v name="$1" '
      $0 ~ "^" name ":" { on = 1; v = $0; sub("^[^:]*: *", "", v); if (v != "") { sub(" .*", "", v); print v; exit } next }
      on && /^[^ ]/ { exit }
      on { gsub(/[ :]/, ""); printf "%s", $0 }' |
    tr 'A-F' 'a-f' | sed 's/^0*//' | awk -v width="$2" '{ printf "%0" width "s\n", $0 }' | tr ' ' '0'
}

{
  echo "N=$(component modulus 256)"
  echo "E=010001"
  echo "D=$(component privateExponent 256)"
  echo "P=$(component prime1 128)"
  echo "Q=$(component prime2 128)"
  echo "DP=$(component exponent1 128)"
  echo "DQ=$(component exponent2 128)"
  echo "QP=$(component coefficient 128)"
} > message-key.hex
echo "keys written to $out"
