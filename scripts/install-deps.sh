#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent and quick when all are there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libmbedtls-dev libssl-dev openssl
  libjsoncpp-dev libtinyxml-dev
  libcurl4-openssl-dev curl libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libgtk-3-dev libcairo2-dev libpango1.0-dev fonts-wqy-zenhei
  liblnk-utils xvfb xauth
  time
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
