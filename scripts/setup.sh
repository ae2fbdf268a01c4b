#!/usr/bin/env bash
# Idempotent setup: installs missing Debian packages, builds the cached static
# OpenSSL, libcurl and libarchive, and configures the named build presets (default: release).
#   scripts/setup.sh [release|debug|asan]...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(build-essential cmake ninja-build pkg-config curl ca-certificates xz-utils perl patch
  libzstd-dev nlohmann-json3-dev libgtest-dev
  zstd tar time desktop-file-utils xvfb xauth zenity x11-apps x11-utils imagemagick strace nginx-light openssl python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

eval "$("$root/scripts/deps.sh" 2> >(grep -E '^deps:' >&2 || true))"

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release)
for preset in "${presets[@]}"; do
  cmake --preset "$preset" -S "$root" -DOPENSSL_ROOT_DIR="$OPENSSL_PREFIX" -DCMAKE_PREFIX_PATH="$CURL_PREFIX" \
    -DLIBARCHIVE_ROOT="$LIBARCHIVE_PREFIX" >/dev/null
done
