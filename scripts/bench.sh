#!/usr/bin/env bash
# Builds the benchmarks and measures the softphone link on a private session bus:
# commands per second through the console against the raw method round trip, and
# events per second to the console's output against the raw signal rate.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target quvo_link_bench quvoconnect >/dev/null
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
XDG_RUNTIME_DIR=$runtime dbus-run-session -- build/bench/tests/bench/quvo_link_bench build/bench/quvoconnect \
  "${1:-20000}" "${2:-20000}" 2> >(grep -v AccessDenied >&2)
