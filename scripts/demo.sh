#!/usr/bin/env bash
# The main job: the whole update cycle on a fresh machine, with the real programs. A publisher releases the
# reference launcher and the bootstrap from a signed repository that a loopback nginx serves over HTTPS;
# trelk-install lays out an installation whose bootstrap picks the releases up, proves them, keeps or
# rejects them, and resumes an interrupted download.
#   scripts/demo.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/release"
view() { /usr/bin/python3 "$root/scripts/demo-view.py" "$@"; }

# Everything the demo makes lives in this one directory; nothing outside it is written after the build.
work=$(mktemp -d "${TMPDIR:-/tmp}/trelk-demo.XXXXXX")
nginx_pid=""
update_pid=""
stop_nginx() {
  [ -n "$nginx_pid" ] || return 0
  kill -KILL "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=""
}
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  [ -z "$update_pid" ] || kill -KILL "$update_pid" 2>/dev/null || true
  stop_nginx
  # Launchers the bootstrap started run from the demo's data directory; none may outlive the demo.
  local exe pid
  for exe in /proc/[0-9]*/exe; do
    pid=${exe#/proc/}
    pid=${pid%/exe}
    case $(readlink "$exe" 2>/dev/null) in "$work"/*) kill -KILL "$pid" 2>/dev/null || true ;; esac
  done
  wait 2>/dev/null || true
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$root/scripts/setup.sh" release
echo "demo: building (the first run takes a few minutes)"
if ! cmake --build "$build" >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  exit 1
fi
started=$SECONDS

repo="$work/repo"
home="$work/home"
data="$home/data"
entry="$data/native/bootstrap/bin/trelk-bootstrap"
downloads="$data/launcher/downloads"
pki="$work/pki"
web="$work/nginx"
mkdir -p "$home" "$pki" "$web"

# Commands are shown as typed, with the demo's directories abbreviated and the tools by name.
abbreviated() {
  local text="$1"
  text=${text//$build\/tools\//}
  text=${text//$build\//\$BUILD\/}
  text=${text//$data/\$DATA}
  text=${text//$work/\$WORK}
  echo "$text"
}
shown() {
  local word words=()
  for word in "$@"; do
    [[ $word =~ ^[][A-Za-z0-9_./=:,+@%{}\&-]+$ ]] || word="'$word'"
    words+=("$word")
  done
  echo "\$ $(abbreviated "${words[*]}")"
}
shown_text() { echo "\$ $(abbreviated "$1")"; }
abbreviated_lines() {
  local line
  while IFS= read -r line; do abbreviated "$line"; done
}
run() {
  shown "$@"
  "$@"
}
# Runs a command whose output says nothing interesting; the output is shown only when the command fails.
quiet() {
  shown "$@"
  "$@" >"$work/quiet.log" 2>&1 || { cat "$work/quiet.log" >&2; return 1; }
}
step() {
  echo
  echo "== $*"
}
note() { echo "# $*"; }
indented() { sed "s/^/  ${1-}/"; }

# The installed programs see only the demo's home and never open dialogs.
product() {
  env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u XDG_CACHE_HOME -u XDG_STATE_HOME -u DISPLAY -u WAYLAND_DISPLAY \
    HOME="$home" TRELK_NO_DIALOGS=1 "$@"
}
store() { view record "$data/launcher/installation.json"; }
# The installed bootstrap's directory and the release its image carries.
native() {
  shown ls "$data/native"
  echo "  $(ls "$data/native" | paste -sd ' ')"
  shown cat "$data/native/bootstrap/share/release.txt"
  indented <"$data/native/bootstrap/share/release.txt"
}

# The installed bootstrap answering `self status`: a shell prints its own pid and then becomes the bootstrap,
# so the bootstrap's pid can be compared with the one the launcher reports. The store is shown after it ends.
start_status() {
  shown "$entry" --cli -- self status
  local out status=0
  out=$(product bash -c 'echo "$$"; exec "$@"' _ "$entry" --cli -- self status 2>"$work/stderr") || status=$?
  indented "(stderr) " <"$work/stderr"
  [ "$status" -eq 0 ] || { echo "demo: self status failed with exit status $status${out:+: $out}" >&2; exit 1; }
  view status "$(head -n 1 <<<"$out")" <<<"$(tail -n +2 <<<"$out")"
  store
}
self_update() {
  shown "$entry" --cli -- self update
  local out status=0
  out=$(product "$entry" --cli -- self update 2>"$work/stderr") || status=$?
  indented "(stderr) " <"$work/stderr"
  [ "$status" -eq 0 ] || { echo "demo: self update failed with exit status $status${out:+: $out}" >&2; exit 1; }
  view update <<<"$out"
}

# A launcher release: the reference launcher's payload (or from=DIR's) with its own identity document, packed as
# a publisher would. Extra arguments are FILE MIB pairs: incompressible files added to the payload.
launcher() {
  local id=$1 behaviour=$2 hold=$3
  shift 3
  local payload="$work/payload-$id"
  quiet cp -r "${from:-$build/packages/launcher-payload}" "$payload"
  local identity="{\"schema_version\":1,\"kind\":\"trelk-reference-launcher\",\"build_id\":\"$id\""
  identity+=",\"behaviour\":\"$behaviour\"$([ "$hold" -eq 0 ] || echo ",\"hold_ms\":$hold")}"
  shown_text "echo '$identity' > $payload/launcher.json"
  rm -f "$payload/launcher.json"
  echo "$identity" >"$payload/launcher.json"
  while [ $# -gt 0 ]; do
    mkdir -p "$(dirname "$payload/$1")"
    shown_text "head -c ${2}M /dev/urandom > $payload/$1"
    head -c "${2}M" /dev/urandom >"$payload/$1"
    shift 2
  done
  run "$build/tools/trelk-pack" launcher "$payload" "$work/$id.tar.zst" --build-id "$id" --executable bin/trelk \
    --gui bin/trelk-gui --helper bin/trelk-maintenance=maintenance --helper bin/trelk-maintenance-gui=maintenance-gui \
    --manifest "$work/$id.json"
  view release "$work/$id.json"
}
# A bootstrap release: the built bootstrap plus a note naming the release, so each image differs.
bootstrap() {
  local id=$1 image="$work/image-$1"
  mkdir -p "$image/bin" "$image/share"
  quiet cp "$build/bin/trelk-bootstrap" "$image/bin/trelk-bootstrap"
  shown_text "echo $id > $image/share/release.txt"
  echo "$id" >"$image/share/release.txt"
  run "$build/tools/trelk-pack" bootstrap "$image" "$work/$id.tar.zst" --build-id "$id" --manifest "$work/$id.json"
  view release "$work/$id.json"
}
# Each release document under its fixed target, each archive under the target its document names.
publish() {
  local id target archive
  for id in "$@"; do
    case $id in
      launcher-*) target=launcher-linux-x86_64.release.json ;;
      *) target=bootstrap-linux-x86_64.manifest.json ;;
    esac
    archive=$(view archive "$work/$id.json")
    quiet "$build/tools/trelk-repo" "$repo" add-target "$target" "$work/$id.json"
    quiet "$build/tools/trelk-repo" "$repo" add-target "$archive" "$work/$id.tar.zst"
  done
  shown "$build/tools/trelk-repo" "$repo" publish
  echo "  new versions: $("$build/tools/trelk-repo" "$repo" publish | paste -sd ' ' | sed 's/ \([a-z]\)/, \1/g')"
}

# nginx with its own configuration, pid, logs and temporary paths (the tests' fixture writes the same file):
# one process, in a background job. A modest link, so that a large download takes a few seconds and can be cut
# short.
port=""
write_nginx_conf() {
  "$root/scripts/nginx-conf.sh" "$web" "$port" "$repo/published" "$pki/server.pem" "$pki/server.key" 32m
}
start_nginx() {
  rm -f "$web/nginx.pid"
  shown /usr/sbin/nginx -p "$web/" -c "$web/nginx.conf" -e "$web/error.log" "&"
  /usr/sbin/nginx -p "$web/" -c "$web/nginx.conf" -e "$web/error.log" </dev/null >>"$web/stdout.log" 2>&1 &
  nginx_pid=$!
  # nginx writes its pid file once it listens.
  for _ in $(seq 100); do
    if [ "$(cat "$web/nginx.pid" 2>/dev/null)" = "$nginx_pid" ] && (: <"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "  nginx pid $nginx_pid serves https://localhost:$port/"
      return 0
    fi
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  stop_nginx
  return 1
}
free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

echo "demo: WORK=$work (removed at exit), DATA=\$WORK/home/data, BUILD=$build, tools from \$BUILD/tools"
echo "demo: the installed programs run with HOME=\$WORK/home and TRELK_NO_DIALOGS=1"

step "1. A publisher releases launcher 1.0 and bootstrap 1.0 from a signed repository served over HTTPS"
note "The repository's root role needs two signatures: an ed25519 key and an ML-DSA-65 key."
run "$build/tools/trelk-repo" "$repo" init --root ed25519,ml-dsa-65/1 --root-threshold 2
view root "$repo/published/metadata/root.json"
note "Launcher 1.0 is the reference launcher's payload with an identity document naming the release."
launcher launcher-1.0 normal 0
note "Bootstrap 1.0 is the bootstrap just built, with a note naming the release."
bootstrap bootstrap-1.0
publish launcher-1.0 bootstrap-1.0

note "A demo certificate authority, and a certificate it signs for localhost and 127.0.0.1 (the tests' own)."
quiet "$root/scripts/test-pki.sh" "$pki"
note "nginx on a free loopback port, with its configuration, pid and logs under \$WORK/nginx."
for attempt in 1 2 3 4 5; do
  port=$(free_port)
  write_nginx_conf
  start_nginx && break
  # Another program may have taken the port between the probe and nginx's bind.
  if [ "$attempt" -lt 5 ] && grep -qs "Address already in use" "$web/error.log" "$web/stdout.log"; then continue; fi
  echo "demo: nginx did not start:" >&2
  cat "$web/error.log" "$web/stdout.log" >&2 2>/dev/null || true
  exit 1
done
url="https://localhost:$port"
shown curl -sS --cacert "$pki/ca.pem" "$url/metadata/timestamp.json"
curl -sS --cacert "$pki/ca.pem" "$url/metadata/timestamp.json" | view metadata

step "2. Install, then start twice"
note "trelk-install lays out the bootstrap image and the repository settings (the trusted root, the URLs and"
note "the demo CA), and seeds launcher 1.0 as the candidate for the first start."
install=("$build/tools/trelk-install" "$data" --bootstrap-release "$work/bootstrap-1.0.json"
  --bootstrap-archive "$work/bootstrap-1.0.tar.zst" --launcher-release "$work/launcher-1.0.json"
  --launcher-archive "$work/launcher-1.0.tar.zst" --root "$repo/published/metadata/root.json"
  --metadata-url "$url/metadata/" --targets-url "$url/targets/" --ca-bundle "$pki/ca.pem")
shown "${install[@]}"
product "${install[@]}" | view install | abbreviated_lines
store
note "First start: the bootstrap supervises the candidate as its child; it reports health and is confirmed."
start_status
note "Second start: the confirmed version replaces the bootstrap's process image (the same pid)."
start_status
note "Nothing newer is published yet."
self_update

step "3. Launcher 1.1 and bootstrap 1.1: one self update stages both, the next start applies and proves them"
launcher launcher-1.1 normal 0
bootstrap bootstrap-1.1
publish launcher-1.1 bootstrap-1.1
self_update
store
note "The staged bootstrap waits beside the installed image until the next start."
native
note "The next start first replaces its own image with bootstrap 1.1, then supervises launcher 1.1."
start_status
native

step "4. Launcher 1.2 never reports health: the next start rejects it and runs 1.1"
note "Its identity says no_health and to stay busy for a minute, far longer than the 10 s startup limit."
launcher launcher-1.2 no_health 60000
publish launcher-1.2
self_update
store
before=$(date +%s%N)
start_status
echo "  (that start took $((($(date +%s%N) - before) / 1000000)) ms)"
note "A further self update reports the release as rejected and does not stage it again."
self_update
store

step "5. A large launcher 1.3: its download is cut short, kept, and resumed"
launcher launcher-1.3 normal 0 share/content.bin 200
publish launcher-1.3
note "self update runs in the background; once its partial download holds 40 MiB, nginx is stopped."
shown "$entry" --cli -- --json self update "&"
product "$entry" --cli -- --json self update >"$work/update.out" 2>"$work/update.err" </dev/null &
update_pid=$!
# The partial file is preallocated to its full length; its state document says how much of it arrived.
partial=""
for _ in $(seq 600); do
  for file in "$downloads"/*.tar.zst.*.partial; do [ -e "$file" ] && partial=$file; done
  if [ -n "$partial" ]; then
    received=$(view received "$partial.resume.json")
    [ "${received:-0}" -lt $((40 << 20)) ] || break
  fi
  kill -0 "$update_pid" 2>/dev/null || break
  sleep 0.05
done
[ -n "$partial" ] || { echo "demo: no partial download appeared" >&2; exit 1; }
view resume "$partial.resume.json"
shown kill "$nginx_pid"
kill "$nginx_pid"
wait "$nginx_pid" 2>/dev/null || true
nginx_pid=""
status=0
wait "$update_pid" || status=$?
update_pid=""
echo "  self update ended with exit status $status"
indented "(stderr) " <"$work/update.err"
view update <"$work/update.out"
[ "$status" -ne 0 ] || { echo "demo: the interrupted self update did not fail" >&2; exit 1; }
note "The partial file and its state document are kept for the next attempt."
shown ls -l "$downloads"
ls -l "$downloads" | tail -n +2 | indented
view resume "$partial.resume.json"
resume_at=$(view received "$partial.resume.json")
store
note "nginx comes back on the same port; self update continues from the recorded prefix."
start_nginx || { echo "demo: nginx did not start again on port $port" >&2; exit 1; }
self_update
shown grep launcher-1.3.tar.zst "$web/access.log"
grep -F "launcher-1.3.tar.zst" "$web/access.log" | indented
if ! grep -qF "\" 206 range=\"bytes=$resume_at-" "$web/access.log"; then
  echo "demo: no request asked for the archive from byte $resume_at on" >&2
  exit 1
fi
echo "  the resumed request asked for the archive from byte $resume_at on, where the state document said"
store
note "The next start proves launcher 1.3."
start_status

step "6. Launcher 1.4 changes one small file of 1.3: self update downloads a patch instead of the archive"
note "1.4 is 1.3's payload with only its identity document changed."
from="$work/payload-launcher-1.3" launcher launcher-1.4 normal 0
note "trelk-pack delta makes the patch from 1.3's tar stream to 1.4's and prints what its target must carry;"
note "the patch is published under a name derived from 1.3's release document, so a client finds it by one lookup."
shown "$build/tools/trelk-pack" delta "$work/launcher-1.3.tar.zst" "$work/launcher-1.4.tar.zst" \
  "$work/launcher-1.4.patch"
custom=$("$build/tools/trelk-pack" delta "$work/launcher-1.3.tar.zst" "$work/launcher-1.4.tar.zst" \
  "$work/launcher-1.4.patch")
echo "  $custom"
patch_target="launcher-1.4.tar.zst.from-$(sha256sum "$work/launcher-1.3.json" | cut -c1-16).patch"
quiet "$build/tools/trelk-repo" "$repo" add-target "$patch_target" "$work/launcher-1.4.patch" --custom "$custom"
publish launcher-1.4
echo "  archive $(stat -c %s "$work/launcher-1.4.tar.zst") bytes, patch $(stat -c %s "$work/launcher-1.4.patch") bytes"
note "self update regenerates 1.3's tar stream from the installed tree, checks it against the signed digest,"
note "downloads the patch and expands its result exactly as it would expand the archive."
self_update
shown grep launcher-1.4 "$web/access.log"
grep -F "launcher-1.4" "$web/access.log" | indented
if grep -qF "GET /targets/launcher-1.4.tar.zst " "$web/access.log"; then
  echo "demo: the full archive of launcher 1.4 was downloaded" >&2
  exit 1
fi
store
note "The next start proves launcher 1.4."
start_status

stop_nginx
echo
echo "demo: done in $((SECONDS - started)) s after the build"
