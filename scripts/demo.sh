#!/usr/bin/env bash
# The main job: builds everything and runs the bootstrap on a sample command line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" release
cmake --build "$root/build/release" >/dev/null
bootstrap="$root/build/release/bin/trelk-bootstrap"
echo "\$ trelk-bootstrap --help-bootstrap"
"$bootstrap" --help-bootstrap || true
echo "\$ trelk-bootstrap --bogus"
"$bootstrap" --bogus || echo "(exit status $?)"
