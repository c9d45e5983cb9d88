#!/usr/bin/env bash
# Installs the Debian 12 packages that QUVOConnect needs.
#
# Usage: install-deps.sh [run|sip|test]
#   run   what building and running the console and the simulators needs
#         (scripts/run.sh, the release preset, cmake --install)
#   sip   run, and the SIP phone quvo-sipphone with what tries it on loopback:
#         liblinphone, a registrar (Kamailio) and two SIP clients (scripts/run.sh --sip)
#   test  everything (the default): also sip, the tests, the sanitizer and fuzzing
#         builds, the benchmarks, the Windows build under Wine and the package checks
set -euo pipefail

# Building and running.
run_packages=(
  build-essential cmake ninja-build pkg-config
  # the softphone link, settings, program control and Extension Mobility
  libsdbus-c++-dev libsystemd-dev dbus dbus-daemon dbus-bin libx11-dev libxcb1-dev libxau-dev libcurl4-openssl-dev libxml2-dev
  # the terminal line editor
  libedit-dev
)

# The SIP phone (liblinphone), the registrar and proxy, and the far ends of the SIP tests.
sip_packages=(
  liblinphone-dev kamailio baresip-core linphone-cli
)

# Everything else that scripts/test.sh and scripts/bench.sh use.
test_packages=(
  # the fuzzing build and the format check
  clang libclang-rt-14-dev clang-format
  # unit, end-to-end and benchmark programs
  libgtest-dev libgmock-dev googletest libbenchmark-dev python3 xvfb icewm x11-utils xdotool procps
  # the Debian packages (cpack finds the programs' libraries with file) and their check
  file lintian
  # the SIP tests' registrar checking passwords (auth_db over SQLite) and speaking TLS, its certificates
  kamailio-sqlite-modules kamailio-tls-modules openssl
  # the SIP tests behind NAT (namespaces, masquerading, a STUN and TURN server) and with sound devices
  iproute2 nftables coturn pulseaudio pulseaudio-utils
  # the login service's unit check
  systemd
  # the Windows build and its tests
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 libwine-dev
)

case "${1:-test}" in
  run) packages=("${run_packages[@]}") ;;
  sip) packages=("${run_packages[@]}" "${sip_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${sip_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "usage: $0 [run|sip|test]" >&2
    exit 2
    ;;
esac

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
