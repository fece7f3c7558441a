#!/usr/bin/env bash
# Runs the end-to-end tests with every engine process under valgrind's memcheck: any invalid read
# or write, use of uninitialised memory, or leak makes the engine exit with 99 and its test fail.
#   bench/valgrind.sh [build dir]     (default build/memcheck, built first)
# The engine is linked dynamically there: memcheck watches the heap through the shared C library.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/memcheck}
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSAMER_BUILD_TESTS=ON -DTESSAMER_STATIC_ENGINE=OFF >/dev/null
cmake --build "$dir" --target tessamer cli_test faults_test scale_test
logs=$(mktemp -d "${TMPDIR:-/tmp}/tessamer-memcheck-XXXXXX")
chmod 1777 "$logs"  # the permission tests run the engine as an unprivileged user
# Reports go to files, not to the engine's standard error, which the tests compare byte for byte.
export TESSAMER_TEST_WRAPPER="valgrind -q --log-file=$logs/%p.log --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect"
status=0
for test in cli/cli_test faults/faults_test scale/scale_test; do
  echo "== $test under memcheck" >&2
  "$dir/tests/$test" || status=1
done
for log in "$logs"/*.log; do
  [ -s "$log" ] && { echo "== memcheck report $log" >&2; cat "$log" >&2; status=1; }
done
rm -rf "$logs"
[ $status = 0 ] && echo "memcheck: clean" >&2
exit $status
