#!/usr/bin/env bash
# Installs what is needed, checks the layout of the C++ files, builds every
# configuration and runs every test: Linux, the release build with its Debian
# packages, Linux under AddressSanitizer + UndefinedBehaviorSanitizer, Linux
# under ThreadSanitizer, the Windows build under Wine, and a short fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
failed=()
passed=()

step() {
  local name=$1
  shift
  echo "=== $name"
  if "$@"; then passed+=("$name"); else failed+=("$name"); fi
}

linux_suite() {
  local preset=$1
  cmake --preset "$preset" >/dev/null &&
    cmake --build --preset "$preset" -j "$jobs" &&
    ctest --preset "$preset" -j "$jobs"
}

# The release build, its packages (cpack), lintian, and the console and the
# simulators run from the extracted packages.
package_suite() {
  cmake --preset release >/dev/null &&
    cmake --build --preset release -j "$jobs" &&
    python3 tests/package/test_package.py build/release
}

fuzz_suite() {
  cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$jobs" || return 1
  local corpus
  corpus=$(mktemp -d)
  local status=0
  for target in build/fuzz/tests/fuzz/*_fuzz; do
    [ -x "$target" ] || continue
    "$target" -max_total_time="${QUVO_FUZZ_SECONDS:-30}" -print_final_stats=1 "$corpus" 2>&1 | tail -n 3 || status=1
  done
  rm -rf "$corpus"
  return $status
}

# The layout first: a file that is not formatted fails the run before anything is built.
if ! bash scripts/check-format.sh; then
  echo "suites failed: format"
  exit 1
fi

step linux linux_suite linux
step package package_suite
step linux-asan linux_suite linux-asan
step linux-tsan linux_suite linux-tsan
step windows bash scripts/test-windows.sh
step fuzz fuzz_suite

echo
echo "suites passed: ${passed[*]:-none}"
echo "suites failed: ${failed[*]:-none}"
echo "${#passed[@]} passed, ${#failed[@]} failed"
[ "${#failed[@]}" -eq 0 ]
