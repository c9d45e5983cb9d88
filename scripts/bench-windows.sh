#!/usr/bin/env bash
# Builds the Windows benchmark (Release, mingw-w64) and measures the softphone link
# over COM under Wine, in a private headless prefix, with the benchmark playing the
# softphone: (a) commands through the console against the raw cross-process round
# trip, (b) events per second to the console's output against a raw sink.
#   scripts/bench-windows.sh [commands] [events]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build_dir="$(pwd)/build/windows-bench"

# shellcheck source=scripts/wine-prefix.sh
source scripts/wine-prefix.sh

cmake --preset windows -B "$build_dir" -DQUVO_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j2 --target quvo_com_bench quvoconnect quvo-softphone-sim >/dev/null

trap stop_wine EXIT
use_wine_prefix "$build_dir/wineprefix" || { echo "bench-windows.sh: no working Wine prefix" >&2; exit 1; }
# The softphone's class and type library, as the simulator registers them.
run_quiet wine "$build_dir/softphone-sim/win32/quvo-softphone-sim.exe" /RegServer ||
  { echo "bench-windows.sh: registering the softphone simulator failed" >&2; exit 1; }

console=$(winepath -w "$build_dir/quvoconnect.exe")
timeout 600 wine "$build_dir/tests/bench/quvo_com_bench.exe" "$console" "${1:-2000}" "${2:-5000}" </dev/null
