#!/usr/bin/env bash
# Builds one configuration (default: release) and runs the crash tests at every kill point instead of the
# sample the ordinary test run takes: each installed program is killed before each of its mutating calls.
#   scripts/crash-test.sh [release|debug|asan]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-release}
"$root/scripts/setup.sh" "$preset"
cmake --build "$root/build/$preset" --target installed_tests
status=0
TRELK_CRASH_ALL=1 "$root/build/$preset/tests/installed_tests" --gtest_filter='CrashConsistency.*' || status=$?

# A killed program's children must not outlive the run either.
leaked=$(pgrep -a -f "$root/build/$preset/(test-programs|tools|bin)/" || true)
if [ -n "$leaked" ]; then
  echo "crash-test: processes left running after the tests:" >&2
  echo "$leaked" >&2
  status=1
fi
exit $status
