#!/usr/bin/env bash
# Setup, build and run every test of one configuration (default: release).
#   scripts/test.sh [release|debug|asan]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-release}
"$root/scripts/setup.sh" "$preset"
cmake --build "$root/build/$preset"
status=0
ctest --test-dir "$root/build/$preset" --output-on-failure -j"$(nproc)" || status=$?

# No program started by the tests may outlive them.
leaked=$(pgrep -a -f "$root/build/$preset/(test-programs|tools|bin)/" || true)
if [ -n "$leaked" ]; then
  echo "test: processes left running after the tests:" >&2
  echo "$leaked" >&2
  pkill -KILL -f "$root/build/$preset/(test-programs|tools|bin)/" || true
  status=1
fi
exit $status
