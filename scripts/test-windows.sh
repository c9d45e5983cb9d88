#!/usr/bin/env bash
# Configures, builds and tests the Windows (mingw-w64) build; the tests run under
# Wine in a private, headless prefix under the build directory. Exits with ctest's
# status. Needs no display and no input.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source_dir=$(pwd)
build_dir="$source_dir/build/windows"

export WINEPREFIX="$build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no prompts for Mono or Gecko
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY

seconds() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.1f", b - a }'; }

step=$(seconds)
cmake --preset windows
cmake --build --preset windows
echo "-- configure and build: $(elapsed "$step") s"

# Wine's background processes must never inherit the pipes of this script or of
# ctest: they would keep them open and the caller would wait for ever. So the
# server and the prefix's services start here with their output sent elsewhere,
# and the server is stopped whatever happens below.
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT

step=$(seconds)
if [[ ! -f "$WINEPREFIX/.quvo-ready" ]]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wine wineboot --init </dev/null >/dev/null 2>&1
    wineserver -w
    # Windows without an X server: FindWindowA and friends still work.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.quvo-ready"
fi
stop_wine  # a server left over from an earlier run of this prefix
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
# A crashing program must end, not wait for ever on a crash dialog.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
# The simulator's class and type library (HKLM: Wine ignores HKCU\Software\Classes); the
# console never starts it, the tests do.
wine "$build_dir/softphone-sim/win32/quvo-softphone-sim.exe" /RegServer </dev/null >/dev/null 2>&1
echo "-- wine prefix: $(elapsed "$step") s"

# The Extension Mobility cases run the Linux stand-in service, which the console under
# Wine reaches on loopback: the linux preset's build, brought up to date when that
# build exists (scripts/test.sh builds it first). Without it those cases are skipped.
if [[ -z "${QUVO_EMAPP_SIM:-}" ]]; then
    if [[ -f "$source_dir/build/linux/CMakeCache.txt" ]]; then
        cmake --build --preset linux --target quvo-emapp-sim >/dev/null
    fi
    if [[ -x "$source_dir/build/linux/emapp-sim/quvo-emapp-sim" ]]; then
        export QUVO_EMAPP_SIM="$source_dir/build/linux/emapp-sim/quvo-emapp-sim"
    else
        echo "-- no build/linux/emapp-sim/quvo-emapp-sim: the Extension Mobility cases are skipped"
    fi
fi

step=$(seconds)
status=0
ctest --preset windows "$@" || status=$?
echo "-- tests under wine: $(elapsed "$step") s"
exit "$status"
