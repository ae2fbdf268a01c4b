#!/usr/bin/env bash
# Builds the statically linked OpenSSL, libcurl and libarchive that the project
# links, into a cache outside the repository. A second run with the same
# versions and flags does nothing. Prints the install prefixes on success:
#   OPENSSL_PREFIX=...
#   CURL_PREFIX=...
#   LIBARCHIVE_PREFIX=...
# Sources come from the Debian archive this machine's apt already uses;
# TRELK_DEBIAN_MIRROR=URL overrides it.
set -euo pipefail

cache=${TRELK_DEPS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/trelk-deps}
release=bookworm
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$cache/src"

openssl_version=3.5.7
openssl_sha256=a8c0d28a529ca480f9f36cf5792e2cd21984552a3c8e4aa11a24aa31aeac98e8
curl_version=8.14.1
curl_sha256=6766ada7101d292b42b8b15681120acd68effa4a9660935853cf6d61f0d984d4
# bookworm's libarchive with the security fixes Debian applies on top of it.
libarchive_version=3.6.2
libarchive_sha256=9e2c1b80d5fbe59b61308fdfab6c79b5021d7ff4ff2489fb12daf0a96a83551d
libarchive_debian=3.6.2-1+deb12u4
libarchive_debian_sha256=8144870ef70a09d57a5aea9bc6a00ae0493e829b542d78f5312969b10f1ea322

openssl_flags="no-shared no-tests no-docs no-apps"
curl_flags="-DCURL_USE_OPENSSL=ON -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DBUILD_LIBCURL_DOCS=OFF -DBUILD_MISC_DOCS=OFF -DENABLE_CURL_MANUAL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_DISABLE_LDAP=ON -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_ZLIB=OFF -DCURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt -DCURL_CA_PATH=none -DCMAKE_POSITION_INDEPENDENT_CODE=ON"
# Only tar reading and writing: no compression, crypto, XML, ACL, xattr or charset
# library, so the programs load nothing beyond the C library. LIBMD_FOUND=OFF keeps
# a host's libmd out.
libarchive_flags="-DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_UNZIP=OFF -DENABLE_TEST=OFF -DENABLE_INSTALL=OFF -DENABLE_WERROR=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_OPENSSL=OFF -DENABLE_LIBB2=OFF -DENABLE_LZ4=OFF -DENABLE_LZO=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_ZLIB=OFF -DENABLE_BZip2=OFF -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF -DENABLE_PCRE2POSIX=OFF -DENABLE_CNG=OFF -DENABLE_XATTR=OFF -DENABLE_ACL=OFF -DENABLE_ICONV=OFF -DPOSIX_REGEX_LIB=LIBC -DLIBMD_FOUND=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON"

log() { echo "deps: $*" >&2; }

# A build that fails leaves no half-made work directory behind.
work=""
trap '[ -z "$work" ] || rm -rf "$work"' EXIT

# The first archive URL of the deb822 stanzas (*.sources) whose Suites name the suite.
deb822_archive() {
  local suite=$1 file
  shift
  # Files are joined with blank lines so each stanza ends where its file does.
  for file in "$@"; do
    cat "$file"
    printf '\n\n'
  done | awk -v suite="$suite" '
    function finish(   n, i, list, found) {
      if (result == "" && enabled && types ~ /(^|[ \t])deb(-src)?([ \t]|$)/) {
        n = split(suites, list, /[ \t]+/)
        for (i = 1; i <= n; i++) if (list[i] == suite) found = 1
        if (found) { n = split(uris, list, /[ \t]+/); for (i = n; i >= 1; i--) if (list[i] != "") result = list[i] }
      }
      types = suites = uris = field = ""; enabled = 1
    }
    BEGIN { enabled = 1 }
    /^#/ { next }
    /^[ \t]*$/ { finish(); next }
    /^[ \t]/ { if (field == "uris") uris = uris " " $0; else if (field == "suites") suites = suites " " $0; next }
    {
      field = tolower(substr($0, 1, index($0, ":") - 1)); value = substr($0, index($0, ":") + 1)
      if (field == "types") types = value
      else if (field == "suites") suites = value
      else if (field == "uris") uris = value
      else if (field == "enabled") enabled = (value !~ /^[ \t]*no[ \t]*$/)
    }
    END { finish(); if (result != "") print result }
  '
}

# The same from one-line "deb [options] URL suite component..." entries.
list_archive() {
  local suite=$1
  shift
  awk -v suite="$suite" '
    $1 == "deb" || $1 == "deb-src" {
      i = 2
      if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
      if ($(i + 1) == suite) { print $i; exit }
    }
  ' "$@"
}

# The Debian archive this machine's apt uses for the suite; "mirror+file:" entries
# are resolved through their list file.
apt_archive() {
  local suite=$1 url="" file sources=() lists=()
  for file in /etc/apt/sources.list.d/*.sources; do [ -f "$file" ] && sources+=("$file"); done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do [ -f "$file" ] && lists+=("$file"); done
  [ ${#sources[@]} -eq 0 ] || url=$(deb822_archive "$suite" "${sources[@]}")
  [ -n "$url" ] || [ ${#lists[@]} -eq 0 ] || url=$(list_archive "$suite" "${lists[@]}")
  if [[ $url == mirror+file:* ]]; then
    url=$(grep -v '^[[:space:]]*#' "${url#mirror+file:}" 2>/dev/null | awk 'NF { print $1; exit }') || url=""
  fi
  case $url in
    http://* | https://*) echo "${url%/}" ;;
    *) return 1 ;;
  esac
}

if [ -n "${TRELK_DEBIAN_MIRROR:-}" ]; then
  pool=${TRELK_DEBIAN_MIRROR%/}
else
  # The pool is shared by every suite, so the machine's own release serves as well.
  codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}") || codename=""
  if ! pool=$(apt_archive "$release") && ! { [ -n "$codename" ] && pool=$(apt_archive "$codename"); }; then
    log "no Debian archive for $release${codename:+ or $codename} in /etc/apt; set TRELK_DEBIAN_MIRROR"
    exit 1
  fi
fi

# Where a source package lives in the pool: lib* packages are filed under four letters.
pool_dir() {
  case $1 in
    lib?*) echo "$1" | cut -c1-4 ;;
    *) echo "$1" | cut -c1 ;;
  esac
}

# Looks a source package up in trixie's Sources list, for when a pinned file has
# been superseded and removed from the pool. Prints "version sha256 orig-file
# [sha256 debian-file]" (the Debian part only when asked for).
trixie_source() {
  local package=$1 with_debian=$2 list="$cache/src/trixie-Sources"
  if [ ! -s "$list" ]; then
    curl -fsSL "$pool/dists/trixie/main/source/Sources.xz" | xz -d >"$list.part"
    mv "$list.part" "$list"
  fi
  awk -v pkg="$package" -v with_debian="$with_debian" '
    function emit() {
      sub(/-[^-]*$/, "", version); sub(/^[0-9]+:/, "", version)
      if (with_debian != "yes") print version, orig
      else if (debian != "") print version, orig, debian
      done = 1; exit
    }
    /^Package: / { inpkg = ($2 == pkg); version = ""; insha = 0; orig = debian = ""; next }
    inpkg && /^Version: / { version = $2 }
    inpkg && /^Checksums-Sha256:/ { insha = 1; next }
    inpkg && insha && /^ / {
      if ($3 ~ /\.orig\.tar\.(gz|xz)$/) orig = $1 " " $3
      if ($3 ~ /\.debian\.tar\.xz$/) debian = $1 " " $3
      next
    }
    inpkg && insha && orig != "" { emit() }
    { insha = 0 }
    END { if (!done && inpkg && orig != "") emit() }
  ' "$list"
}

# download <package> <file> <sha256>: the verified file in the cache, or failure.
download() {
  local package=$1 file=$2 sha=$3 out="$cache/src/$2"
  if [ -f "$out" ] && echo "$sha  $out" | sha256sum -c --status; then return 0; fi
  curl -fsSL -o "$out.part" "$pool/pool/main/$(pool_dir "$package")/$package/$file" || {
    rm -f "$out.part"
    return 1
  }
  echo "$sha  $out.part" | sha256sum -c --status || {
    log "checksum mismatch for $file"
    rm -f "$out.part"
    exit 1
  }
  mv "$out.part" "$out"
}

# fetch <package> <version> <orig-file> <sha256> [<debian-file> <sha256>] -> prints the
# version (which may differ from the pinned one after a fallback), the verified orig
# tarball and, when asked for, the Debian tarball.
fetch() {
  local package=$1 version=$2 orig=$3 orig_sha=$4 debian=${5:-} debian_sha=${6:-}
  if ! download "$package" "$orig" "$orig_sha" || { [ -n "$debian" ] && ! download "$package" "$debian" "$debian_sha"; }; then
    log "$orig${debian:+ or $debian} is gone from the pool; asking trixie's package list"
    read -r version orig_sha orig debian_sha debian < <(trixie_source "$package" "$([ -n "$debian" ] && echo yes || echo no)")
    [ -n "${orig:-}" ] || {
      log "no source tarballs for $package in trixie"
      exit 1
    }
    download "$package" "$orig" "$orig_sha" || exit 1
    [ -z "${debian:-}" ] || download "$package" "$debian" "$debian_sha" || exit 1
  fi
  echo "$version $cache/src/$orig${debian:+ $cache/src/$debian}"
}

key() { echo "$*" | sha256sum | cut -c1-12; }

read -r openssl_version openssl_tar < <(fetch openssl "$openssl_version" "openssl_$openssl_version.orig.tar.gz" "$openssl_sha256")
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

read -r curl_version curl_tar < <(fetch curl "$curl_version" "curl_$curl_version.orig.tar.gz" "$curl_sha256")
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

read -r libarchive_version libarchive_tar libarchive_debian_tar < <(fetch libarchive "$libarchive_version" \
  "libarchive_$libarchive_version.orig.tar.xz" "$libarchive_sha256" \
  "libarchive_$libarchive_debian.debian.tar.xz" "$libarchive_debian_sha256")
libarchive_prefix="$cache/libarchive-$libarchive_version-$(key "$libarchive_flags" "$(basename "$libarchive_debian_tar")")"
if [ ! -f "$libarchive_prefix/.complete" ]; then
  log "building libarchive $libarchive_version"
  work=$(mktemp -d "$cache/build.XXXXXX")
  tar -xf "$libarchive_tar" -C "$work" --strip-components=1
  tar -xf "$libarchive_debian_tar" -C "$work"
  if [ -f "$work/debian/patches/series" ]; then
    while read -r patch _; do
      case $patch in '' | \#*) continue ;; esac
      patch -d "$work" -p1 -s --no-backup-if-mismatch <"$work/debian/patches/$patch"
    done <"$work/debian/patches/series"
  fi
  cmake -S "$work" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli $libarchive_flags >/dev/null
  # The static library alone: no shared object in the prefix can be picked up by mistake.
  cmake --build "$work/build" --target archive_static >/dev/null
  rm -rf "$libarchive_prefix"
  mkdir -p "$libarchive_prefix/lib" "$libarchive_prefix/include"
  cp "$work/build/libarchive/libarchive.a" "$libarchive_prefix/lib/"
  cp "$work/libarchive/archive.h" "$work/libarchive/archive_entry.h" "$libarchive_prefix/include/"
  rm -rf "$work"
  touch "$libarchive_prefix/.complete"
fi

echo "OPENSSL_PREFIX=$openssl_prefix"
echo "CURL_PREFIX=$curl_prefix"
echo "LIBARCHIVE_PREFIX=$libarchive_prefix"
