#!/usr/bin/env bash
# Builds the Windows benchmark (Release, mingw-w64) and measures the softphone link
# over COM under Wine, in a private headless prefix, with the benchmark playing the
# softphone: (a) commands through the console against the raw cross-process round
# trip, (b) events per second to the console's output against a raw sink.
#   scripts/bench-windows.sh [commands] [events]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build_dir="$(pwd)/build/windows-bench"

export WINEPREFIX="$build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY

cmake --preset windows -B "$build_dir" -DQUVO_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j2 --target quvo_com_bench quvoconnect quvo-softphone-sim >/dev/null

# Wine's background processes must not hold this script's pipes: they start here
# with their output elsewhere, and the prefix's server is stopped at the end.
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
if [[ ! -f "$WINEPREFIX/.quvo-ready" ]]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wine wineboot --init </dev/null >/dev/null 2>&1
    wineserver -w
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.quvo-ready"
fi
stop_wine
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
# The softphone's class and type library, as the simulator registers them.
wine "$build_dir/softphone-sim/win32/quvo-softphone-sim.exe" /RegServer </dev/null >/dev/null 2>&1

console=$(winepath -w "$build_dir/quvoconnect.exe")
timeout 600 wine "$build_dir/tests/bench/quvo_com_bench.exe" "$console" "${1:-2000}" "${2:-5000}" </dev/null
