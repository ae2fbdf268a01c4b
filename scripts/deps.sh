#!/usr/bin/env bash
# Builds the statically linked OpenSSL and libcurl that the project links,
# into a cache outside the repository. A second run with the same versions
# and flags does nothing. Prints the two install prefixes on success:
#   OPENSSL_PREFIX=...
#   CURL_PREFIX=...
set -euo pipefail

cache=${TRELK_DEPS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/trelk-deps}
pool=${TRELK_DEBIAN_MIRROR:-http://deb.debian.org/debian}
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$cache/src"

openssl_version=3.5.7
openssl_sha256=a8c0d28a529ca480f9f36cf5792e2cd21984552a3c8e4aa11a24aa31aeac98e8
curl_version=8.14.1
curl_sha256=6766ada7101d292b42b8b15681120acd68effa4a9660935853cf6d61f0d984d4

openssl_flags="no-shared no-tests no-docs no-apps"
curl_flags="-DCURL_USE_OPENSSL=ON -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DBUILD_LIBCURL_DOCS=OFF -DBUILD_MISC_DOCS=OFF -DENABLE_CURL_MANUAL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_DISABLE_LDAP=ON -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_ZLIB=OFF -DCURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt -DCURL_CA_PATH=none -DCMAKE_POSITION_INDEPENDENT_CODE=ON"

log() { echo "deps: $*" >&2; }

# Looks a source package's orig tarball up in trixie's Sources list, for when a
# pinned file has been superseded and removed from the pool. Prints
# "version sha256 filename".
trixie_orig() {
  local package=$1 list="$cache/src/trixie-Sources"
  if [ ! -s "$list" ]; then
    curl -fsSL "$pool/dists/trixie/main/source/Sources.xz" | xz -d >"$list.part"
    mv "$list.part" "$list"
  fi
  awk -v pkg="$package" '
    /^Package: / { inpkg = ($2 == pkg); version = ""; insha = 0; next }
    inpkg && /^Version: / { version = $2 }
    inpkg && /^Checksums-Sha256:/ { insha = 1; next }
    inpkg && insha && /^ / { if ($3 ~ /\.orig\.tar\.(gz|xz)$/) { sub(/-[^-]*$/, "", version); sub(/^[0-9]+:/, "", version); print version, $1, $3; exit } next }
    { insha = 0 }
  ' "$list"
}

# fetch <package> <version> <sha256> -> prints the verified tarball path and
# its version (which may differ from the pinned one after a fallback).
fetch() {
  local package=$1 version=$2 sha=$3 dir=${1:0:1}
  local file="${package}_${version}.orig.tar.gz" out
  out="$cache/src/$file"
  if [ ! -f "$out" ] || ! echo "$sha  $out" | sha256sum -c --status; then
    if ! curl -fsSL -o "$out.part" "$pool/pool/main/$dir/$package/$file"; then
      log "$file is gone from the pool; asking trixie's package list"
      read -r version sha file < <(trixie_orig "$package")
      [ -n "${file:-}" ] || { log "no orig tarball for $package in trixie"; exit 1; }
      out="$cache/src/$file"
      curl -fsSL -o "$out.part" "$pool/pool/main/$dir/$package/$file"
    fi
    echo "$sha  $out.part" | sha256sum -c --status || { log "checksum mismatch for $file"; rm -f "$out.part"; exit 1; }
    mv "$out.part" "$out"
  fi
  echo "$out $version"
}

key() { echo "$*" | sha256sum | cut -c1-12; }

read -r openssl_tar openssl_version < <(fetch openssl "$openssl_version" "$openssl_sha256")
openssl_prefix="$cache/openssl-$openssl_version-$(key "$openssl_flags")"
if [ ! -f "$openssl_prefix/.complete" ]; then
  log "building OpenSSL $openssl_version (about 5 minutes on 2 cores)"
  work=$(mktemp -d "$cache/build.XXXXXX")
  tar -xf "$openssl_tar" -C "$work" --strip-components=1
  (cd "$work" && ./Configure linux-x86_64 $openssl_flags --prefix="$openssl_prefix" --libdir=lib --openssldir=/usr/lib/ssl >/dev/null &&
    make -j"$jobs" >/dev/null && make install_sw >/dev/null)
  rm -rf "$work"
  touch "$openssl_prefix/.complete"
fi

read -r curl_tar curl_version < <(fetch curl "$curl_version" "$curl_sha256")
curl_prefix="$cache/curl-$curl_version-$(key "$curl_flags" "$openssl_prefix")"
if [ ! -f "$curl_prefix/.complete" ]; then
  log "building libcurl $curl_version"
  work=$(mktemp -d "$cache/build.XXXXXX")
  tar -xf "$curl_tar" -C "$work" --strip-components=1
  cmake -S "$work" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$curl_prefix" \
    -DOPENSSL_ROOT_DIR="$openssl_prefix" -DOPENSSL_USE_STATIC_LIBS=ON $curl_flags >/dev/null
  cmake --build "$work/build" >/dev/null
  cmake --install "$work/build" >/dev/null
  rm -rf "$work"
  touch "$curl_prefix/.complete"
fi

echo "OPENSSL_PREFIX=$openssl_prefix"
echo "CURL_PREFIX=$curl_prefix"
