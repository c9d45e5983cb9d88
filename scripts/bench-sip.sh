#!/usr/bin/env bash
# The SIP benchmark (not a timed test): call set-up from the console's MakeCall line to its
# PartyPickup event through quvo-sipphone, against the SIP library alone in process and
# against baresip and linphonec driven through their own standard input, all to the same
# auto-answering far end through a Kamailio proxy on loopback; then idle and in-call CPU and
# memory side by side. Installs what it needs (scripts/install-deps.sh test, which holds the
# SIP group).
#
#   scripts/bench-sip.sh [CALLS] [IDLE_SECONDS]     (50 calls, 60 s by default)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
cmake --preset bench >/dev/null
targets=(quvoconnect quvo_sip_call_bench)
if grep -q '^build quvo-sipphone\b\|sipphone/quvo-sipphone:' build/bench/build.ninja 2>/dev/null; then
  targets+=(quvo-sipphone)
fi
cmake --build --preset bench -j "$(nproc)" --target "${targets[@]}" >/dev/null
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
XDG_RUNTIME_DIR=$runtime python3 tests/bench/sip_bench.py build/bench "${1:-50}" "${2:-60}"
