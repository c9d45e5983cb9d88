#!/usr/bin/env bash
# Configures, builds and tests the Windows (mingw-w64) build; the tests run under
# Wine in a private, headless prefix under the build directory. Exits with ctest's
# status. Needs no display and no input.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source_dir=$(pwd)
build_dir="$source_dir/build/windows"

# shellcheck source=scripts/wine-prefix.sh
source scripts/wine-prefix.sh

seconds() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.1f", b - a }'; }

step=$(seconds)
cmake --preset windows
cmake --build --preset windows
echo "-- configure and build: $(elapsed "$step") s"

# Wine's background processes must never inherit the pipes of this script or of
# ctest: they would keep them open and the caller would wait for ever. So the
# prefix's server starts with its output sent elsewhere, and is stopped whatever
# happens below.
trap stop_wine EXIT

step=$(seconds)
use_wine_prefix "$build_dir/wineprefix" || {
    echo "test-windows.sh: no working Wine prefix; the tests did not run" >&2
    exit 1
}
# The simulator's class and type library (HKLM: Wine ignores HKCU\Software\Classes); the
# console never starts it, the tests do.
run_quiet wine "$build_dir/softphone-sim/win32/quvo-softphone-sim.exe" /RegServer || {
    echo "test-windows.sh: registering the softphone simulator failed; the tests did not run" >&2
    exit 1
}
echo "-- wine prefix: $(elapsed "$step") s"

# The Extension Mobility cases run the Linux stand-in service, which the console under
# Wine reaches on loopback: the linux preset's build, brought up to date when that
# build exists (scripts/test.sh builds it first). Without it those cases are skipped.
if [[ -z "${QUVO_EMAPP_SIM:-}" ]]; then
    if [[ -f "$source_dir/build/linux/CMakeCache.txt" ]]; then
        run_quiet cmake --build --preset linux --target quvo-emapp-sim || true
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
