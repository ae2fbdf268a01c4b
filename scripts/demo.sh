#!/usr/bin/env bash
# The main job: build everything, seed a demo data directory with the reference launcher from its
# initial package, and start the bootstrap twice in the CLI surface.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" release
echo "demo: building (first run takes a few minutes)"
cmake --build "$root/build/release" >/dev/null
build="$root/build/release"
bootstrap="$build/bin/trelk-bootstrap"
package="$build/packages/launcher"
archive=$(ls "$package"/*.tar.zst)

data=$(mktemp -d "${TMPDIR:-/tmp}/trelk-demo.XXXXXX")
trap 'rm -rf "$data"' EXIT
export TRELK_NO_DIALOGS=1

echo "demo: data directory $data"
reference=$("$build/tools/trelk-seed" "$data" "$package/release.json" "$archive")
echo "demo: seeded the reference launcher as the candidate: $reference"

echo
echo "\$ trelk-bootstrap --data-dir \$DATA --cli -- self status    # first start"
# Each run prints the bootstrap's pid first, then what the launcher reports (its own pid included).
start() { bash -c 'echo "bootstrap pid $$"; exec "$@"' _ "$bootstrap" --data-dir "$data" --cli -- self status; }
start
echo "demo: first start: the staged candidate ran as a supervised child (another pid), reported health under"
echo "      its nonce while holding its lease, and was confirmed as the active version"

echo
echo "\$ trelk-bootstrap --data-dir \$DATA --cli -- self status    # second start"
start
echo "demo: second start: the confirmed version replaced the bootstrap's process image directly (same pid)"

echo
echo "\$ trelk-bootstrap --data-dir \$DATA --cli -- --json no-such-command"
"$bootstrap" --data-dir "$data" --cli -- --json no-such-command || echo "demo: exit status $? (usage)"
