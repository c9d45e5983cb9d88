#!/usr/bin/env bash
# Builds the Windows build of QUVOConnect (windows preset, mingw-w64) and runs it in
# this terminal under Wine against the Windows softphone simulator.
#
# Everything runs in a private Wine prefix (build/windows/wineprefix-run), never in
# the user's own: the simulator's class registration and the settings it records
# (HKCU\Software\Quelbo\QUVO) stay in there. The prefix is made on the first run
# and kept for the next ones. At the end the simulator and the prefix's Wine server
# are stopped. Needs no display (Wine's null graphics driver serves the window).
#
# Usage: scripts/run-windows.sh [--no-build]
#   --no-build   run what build/windows already holds; build nothing
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n 's/^# \{0,1\}//; 11,12p' "$0"; }

build_it=1
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) build_it=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run-windows.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

fail() {
  echo "run-windows.sh: $1" >&2
  exit 1
}

for tool in wine wineserver x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-widl; do
  command -v "$tool" >/dev/null || fail "$tool is missing; install the Windows tools with scripts/install-deps.sh test"
done

build=$(pwd)/build/windows
if [ "$build_it" -eq 1 ]; then
  echo "=== Building (preset windows)"
  cmake --preset windows >/dev/null || fail "configuring the windows preset failed"
  cmake --build --preset windows -j "$(nproc)" --target quvoconnect quvo-softphone-sim ||
    fail "the build failed; the compiler's errors are above"
fi
console=$build/quvoconnect.exe
simulator=$build/softphone-sim/win32/quvo-softphone-sim.exe
for program in "$console" "$simulator"; do
  [ -f "$program" ] || fail "$program is missing; build it first"
done

# shellcheck source=scripts/wine-prefix.sh
source scripts/wine-prefix.sh

# Wine's helpers must not hold this terminal: they start here with their output elsewhere.
quiet() { "$@" </dev/null >/dev/null 2>&1; }

[ -f "$build/wineprefix-run/.quvo-ready" ] || echo "=== Preparing the Wine prefix $build/wineprefix-run (once)"
use_wine_prefix "$build/wineprefix-run" || fail "no working Wine prefix in $build/wineprefix-run"
run_quiet wine "$simulator" /RegServer || fail "registering the simulator failed"

sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    quiet wine "$simulator" ctl quit || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  quiet wineserver -k || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The softphone (its class and type library are registered above); it records its
# program path and window title in the prefix's registry (so RunProgram can start it
# again after ExitProgram) and places an incoming call after 20 idle seconds. Should
# the console start before the class object is up, it binds at its first presence poll.
wine "$simulator" --quiet --incoming-after 20 </dev/null >"$build/run-windows-sim.log" 2>&1 &
sim_pid=$!
quiet wine "$simulator" ctl wait 20 || fail "the softphone simulator did not start (see $build/run-windows-sim.log)"

cat <<TEXT
The Windows softphone simulator runs under Wine in the private prefix
$WINEPREFIX. It rings (an incoming call) after 20 idle seconds.
Try: MakeCall 1234, EndCall, Answer (when it rings), Hold, Resume 0, DTMF 12#,
IPCCLogin 42 pw 1001, IPCCState ready, HideProgram, ShowProgram, ExitProgram,
RunProgram, Help, Quit.
To drive the simulator from another terminal, paste (ctl --help lists the commands):
  WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all wine '$simulator' ctl incoming 5551234
TEXT

status=0
wine "$console" || status=$?
exit "$status"
