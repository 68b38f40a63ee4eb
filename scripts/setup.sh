#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, when one is missing.
#   --nanopb-source DIR   also unpacks the Debian source package of the installed nanopb into DIR
#                         (for fuzz and sanitizer builds: -DQUELLMARK_NANOPB_SOURCE=DIR/nanopb)
set -euo pipefail

nanopb_source=""
while [ $# -gt 0 ]; do
  case "$1" in
    --nanopb-source) nanopb_source="${2:?--nanopb-source needs a folder}"; shift 2 ;;
    *) echo "usage: $0 [--nanopb-source DIR]" >&2; exit 2 ;;
  esac
done

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

if [ -n "$nanopb_source" ] && ! command -v dpkg-source >/dev/null; then
  missing+=(dpkg-dev)
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The nanopb source package, for the release that is installed. The deb-src entry lives in a
# sources list of its own, with its own package lists, used for this download only: the system's
# apt configuration is left as it was.
if [ -n "$nanopb_source" ] && [ ! -f "$nanopb_source/nanopb/pb_decode.c" ]; then
  version="$(dpkg-query -W -f='${Version}' libnanopb-dev)"
  apt_dir="$(mktemp -d)"
  trap 'rm -rf "$apt_dir"' EXIT
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
  . /etc/os-release
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
    "http://deb.debian.org/debian ${VERSION_CODENAME} main" >"$apt_dir/sources.list"
  apt_options=(-q -o "Dir::Etc::SourceList=$apt_dir/sources.list"
               -o "Dir::Etc::SourceParts=$apt_dir/parts" -o "Dir::State::Lists=$apt_dir/lists"
               -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
  apt-get "${apt_options[@]}" update >/dev/null
  mkdir -p "$nanopb_source"
  unpack="$(mktemp -d "$nanopb_source/unpack.XXXXXX")"
  (cd "$unpack" && apt-get "${apt_options[@]}" source "nanopb=$version" >/dev/null)
  rm -rf "$nanopb_source/nanopb"
  mv "$unpack"/nanopb-*/ "$nanopb_source/nanopb"
  rm -rf "$unpack"
  echo "nanopb $version source in $nanopb_source/nanopb"
fi
