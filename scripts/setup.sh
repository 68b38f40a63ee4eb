#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, when one is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libnanopb-dev nanopb protobuf-compiler python3-protobuf
  zlib1g-dev libssl-dev libcurl4-openssl-dev
  libplist-dev libplist-utils libicu-dev uuid-dev
  nlohmann-json3-dev libcpp-httplib-dev pkg-config
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
