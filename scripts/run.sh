#!/usr/bin/env bash
# Installs what is needed, builds QUVOConnect and runs it against the softphone
# simulator (and the stand-in Extension Mobility service), in this terminal.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--on-bus" ]; then
  bash scripts/install-deps.sh
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$(nproc)" >/dev/null
  # Use the user's session bus when there is one, else a private one for this run.
  if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
       org.freedesktop.DBus.GetId >/dev/null 2>&1; then
    exec "$0" --on-bus
  fi
  exec dbus-run-session -- "$0" --on-bus
fi

build=build/linux
config="${XDG_CONFIG_HOME:-$HOME/.config}"
case "$config" in /*) ;; *) config="$HOME/.config" ;; esac
settings="$config/Quelbo/QUVO.ini"

# Records name=value in the softphone's settings file, keeping every other line.
set_value() {
  mkdir -p "$(dirname "$settings")"
  touch "$settings"
  grep -v -i "^$1=" "$settings" >"$settings.tmp" || true
  echo "$1=$2" >>"$settings.tmp"
  mv "$settings.tmp" "$settings"
}

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$build/softphone-sim/quvo-softphone-sim" ctl quit >/dev/null 2>&1 || true
}
trap cleanup EXIT

# The call server's Extension Mobility application, on a free loopback port.
exec {em}< <("$build/emapp-sim/quvo-emapp-sim" --port 0 --user alice:secret --device SEPQUVO0001)
pids+=($!)
read -r -u "$em" line
port=${line##*:}
set_value IpAddress "127.0.0.1:$port"
set_value sDeviceName SEPQUVO0001

# The softphone; it places an incoming call after 20 idle seconds.
"$build/softphone-sim/quvo-softphone-sim" --quiet --incoming-after 20 &
pids+=($!)
for _ in $(seq 50); do
  "$build/softphone-sim/quvo-softphone-sim" ctl log >/dev/null 2>&1 && break
  sleep 0.1
done

cat <<TEXT
The softphone simulator and the Extension Mobility stand-in run (user alice, password secret).
Try: MakeCall 1234, EndCall, Answer (after the simulator rings), Hold, Resume 0, DTMF 12#,
IPCCLogin 42 pw 1001, IPCCState ready, EMLogin alice secret, EMLogout, ExitProgram, RunProgram,
Help, Quit. From another terminal on the same bus: $build/softphone-sim/quvo-softphone-sim ctl --help
TEXT

"$build/quvoconnect"
