#!/usr/bin/env bash
# Installs what running needs, builds QUVOConnect (release preset) and runs it in
# this terminal against the softphone simulator and the Extension Mobility
# stand-in.
#
# The demonstration lives apart from the user's own softphone: it has its own
# session bus, its own runtime folder (so its own presence lock) and its own
# settings folder (XDG_CONFIG_HOME), all in one private folder that is removed at
# the end. So the user's settings are never written, and runs started side by side
# do not disturb each other.
#
# Usage: scripts/run.sh [--build-dir DIR]
#   --build-dir DIR   run the programs already built in DIR; install and build nothing
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n 's/^# \{0,1\}//; 12,13p' "$0"; }

build=build/release
prebuilt=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir)
      [ $# -ge 2 ] || { echo "run.sh: --build-dir needs a folder" >&2; exit 2; }
      build=$2
      prebuilt=1
      shift 2
      ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

# Ends the script with the failed step's status and one line that says why.
step() {
  local reason=$1
  shift
  local status=0
  "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "run.sh: $reason (status $status)" >&2
    exit "$status"
  fi
}

if [ "$prebuilt" -eq 0 ]; then
  step "installing the packages needed to build and run failed" bash scripts/install-deps.sh run
  echo "=== Configuring (preset release)"
  step "configuring the build failed; see CMake's messages above" cmake --preset release
  echo "=== Building in $build"
  step "the build failed; the compiler's errors are above" cmake --build --preset release -j "$(nproc)"
fi

build=$(cd "$build" && pwd)
console=$build/quvoconnect
simulator=$build/softphone-sim/quvo-softphone-sim
emapp=$build/emapp-sim/quvo-emapp-sim
for program in "$console" "$simulator" "$emapp"; do
  [ -x "$program" ] || { echo "run.sh: $program is missing; build it first" >&2; exit 1; }
done

private=$(mktemp -d "${TMPDIR:-/tmp}/quvo-run.XXXXXX")
export XDG_CONFIG_HOME=$private/config
export XDG_RUNTIME_DIR=$private/runtime
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$private" "$XDG_RUNTIME_DIR"

pids=()
# Stops what this run started, the last started first (the bus last of all).
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$private"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The private session bus; its socket lives in the private folder.
exec {bus_out}< <(exec dbus-daemon --session --nofork --nopidfile --print-address=1 \
  --address="unix:dir=$private" 2>/dev/null)
pids+=($!)
read -r -t 10 -u "$bus_out" address || { echo "run.sh: the private session bus did not start" >&2; exit 1; }
exec {bus_out}<&-
export DBUS_SESSION_BUS_ADDRESS=$address

# Records name=value in the demonstration's settings file, keeping every other line.
settings=$XDG_CONFIG_HOME/Quelbo/QUVO.ini
set_value() {
  mkdir -p "$(dirname "$settings")"
  touch "$settings"
  grep -v -i "^$1=" "$settings" >"$settings.tmp" || true
  echo "$1=$2" >>"$settings.tmp"
  mv "$settings.tmp" "$settings"
}

# The call server's Extension Mobility application, on a free loopback port.
exec {em_out}< <(exec "$emapp" --port 0 --user alice:secret --device SEPQUVO0001)
pids+=($!)
read -r -t 10 -u "$em_out" line || { echo "run.sh: the Extension Mobility stand-in did not start" >&2; exit 1; }
exec {em_out}<&-
set_value IpAddress "127.0.0.1:${line##*:}"
set_value sDeviceName SEPQUVO0001

# The softphone; it places an incoming call after 20 idle seconds.
"$simulator" --quiet --incoming-after 20 </dev/null &
pids+=($!)
"$simulator" ctl wait 10 || { echo "run.sh: the softphone simulator did not start" >&2; exit 1; }

cat <<TEXT
The softphone simulator and the Extension Mobility stand-in run on a private session bus,
with settings of their own (user alice, password secret). The simulator rings (an
incoming call) after 20 idle seconds.
Try: MakeCall 1234, EndCall, Answer (when it rings), Hold, Resume 0, DTMF 12#,
IPCCLogin 42 pw 1001, IPCCState ready, EMLogin alice secret, EMLogout, ExitProgram,
RunProgram, Help, Quit.
To drive the simulator from another terminal, paste (ctl --help lists the commands):
  DBUS_SESSION_BUS_ADDRESS='$address' $simulator ctl incoming 5551234
TEXT

status=0
"$console" || status=$?
exit "$status"
