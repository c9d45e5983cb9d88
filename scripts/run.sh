#!/usr/bin/env bash
# Installs what running needs, builds QUVOConnect (release preset) and runs it in
# this terminal against the softphone simulator and the Extension Mobility
# stand-in; with --sip, against the real SIP phone quvo-sipphone instead, which
# registers with a private Kamailio on loopback where a second quvo-sipphone
# (number 1002) answers every call with a tone.
#
# The demonstration lives apart from the user's own softphone: it has its own
# session bus, its own runtime folder (so its own presence lock) and its own
# settings folder (XDG_CONFIG_HOME), all in one private folder that is removed at
# the end. So the user's settings are never written, and runs started side by side
# do not disturb each other.
#
# Usage: scripts/run.sh [--sip] [--build-dir DIR]
#   --sip             real SIP calls on loopback: quvo-sipphone, Kamailio, a far end
#   --build-dir DIR   run the programs already built in DIR; install and build nothing
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n 's/^# \{0,1\}//; 15,16p' "$0"; }

build=build/release
prebuilt=0
sip=0
while [ $# -gt 0 ]; do
  case "$1" in
    --sip)
      sip=1
      shift
      ;;
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
  step "installing the packages needed to build and run failed" bash scripts/install-deps.sh \
    "$([ "$sip" -eq 1 ] && echo sip || echo run)"
  echo "=== Configuring (preset release)"
  step "configuring the build failed; see CMake's messages above" cmake --preset release
  echo "=== Building in $build"
  step "the build failed; the compiler's errors are above" cmake --build --preset release -j "$(nproc)"
fi

build=$(cd "$build" && pwd)
console=$build/quvoconnect
simulator=$build/softphone-sim/quvo-softphone-sim
emapp=$build/emapp-sim/quvo-emapp-sim
sipphone=$build/sipphone/quvo-sipphone
programs=("$console" "$emapp")
if [ "$sip" -eq 1 ]; then programs+=("$sipphone"); else programs+=("$simulator"); fi
for program in "${programs[@]}"; do
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

# Starts a private session bus with its socket in folder $1; sets bus_address.
start_bus() {
  local out
  exec {out}< <(exec dbus-daemon --session --nofork --nopidfile --print-address=1 \
    --address="unix:dir=$1" 2>/dev/null)
  pids+=($!)
  read -r -t 10 -u "$out" bus_address || { echo "run.sh: a private session bus did not start" >&2; exit 1; }
  exec {out}<&-
}

# Waits up to 10 s until the softphone owns its bus name on the session bus in the environment.
wait_for_softphone() {
  local i
  for ((i = 0; i < 100; i++)); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
      string:com.quelbo.QUVO 2>/dev/null | grep -q "boolean true" && return 0
    sleep 0.1
  done
  return 1
}

# The private session bus; its socket lives in the private folder.
start_bus "$private"
address=$bus_address
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

if [ "$sip" -eq 1 ]; then
  # Loopback addresses of this run's own: the registrar .1, this phone .11, the far end .12.
  net=127.$((RANDOM % 150 + 100)).$((RANDOM % 250 + 1))
  registrar=$net.1
  mkdir -p "$private/kamailio"
  sed "s/QUVO_LISTEN/$registrar:5070/" scripts/sip/kamailio.cfg >"$private/kamailio/kamailio.cfg"
  kamailio -DD -E -f "$private/kamailio/kamailio.cfg" -Y "$private/kamailio" -P "$private/kamailio/pid" \
    -m 32 -M 8 </dev/null >"$private/kamailio/log" 2>&1 &
  pids+=($!)
  proxy="sip:$registrar:5070;transport=tcp"

  # The far end: number 1002 with a bus, settings and state of its own; it answers every
  # call at once and speaks a 1 kHz tone.
  far=$private/far
  mkdir -p "$far/config/Quelbo" "$far/runtime" "$far/state" "$far/bus"
  chmod 700 "$far/runtime"
  printf 'sSipUser=1002\nsSipDomain=%s\nsSipProxy=%s\nsSipListen=%s:5060\n' "$registrar" "$proxy" "$net.12" \
    >"$far/config/Quelbo/QUVO.ini"
  start_bus "$far/bus"
  far_bus=$bus_address
  DBUS_SESSION_BUS_ADDRESS=$far_bus XDG_CONFIG_HOME=$far/config XDG_RUNTIME_DIR=$far/runtime \
    XDG_STATE_HOME=$far/state "$sipphone" --quiet --no-window --no-audio --tone 1000 --auto-answer \
    </dev/null &
  pids+=($!)
  DBUS_SESSION_BUS_ADDRESS=$far_bus wait_for_softphone || { echo "run.sh: the far end did not start" >&2; exit 1; }

  # This phone: number 1001.
  export XDG_STATE_HOME=$private/state
  set_value sSipUser 1001
  set_value sSipDomain "$registrar"
  set_value sSipProxy "$proxy"
  set_value sSipListen "$net.11:5060"
  "$sipphone" --quiet --no-audio --record "$private/heard.wav" </dev/null &
  pids+=($!)
  wait_for_softphone || { echo "run.sh: quvo-sipphone did not start" >&2; exit 1; }
  sleep 1 # both register within about 0.1 s

  cat <<TEXT
quvo-sipphone (number 1001) runs on a private session bus and registers with a private
Kamailio at $registrar:5070 (TCP). Number 1002 is a second quvo-sipphone that answers
every call at once with a 1 kHz tone. Calls are real SIP and RTP on loopback.
Try: MakeCall 1002, CallStats, Hold, Resume 0, DTMF 12#, Mute 1, EndCall,
TransferInitiate 1002, Snapshot, ExitProgram, Quit.
TEXT
  status=0
  "$console" || status=$?
  exit "$status"
fi

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
