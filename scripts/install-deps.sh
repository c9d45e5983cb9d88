#!/usr/bin/env bash
# Installs everything QUVOConnect needs to build, run and test on Debian 12.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format
  # the softphone link, settings, program control and Extension Mobility
  libsdbus-c++-dev libsystemd-dev dbus dbus-daemon libx11-dev libcurl4-openssl-dev libxml2-dev
  # the terminal line editor
  libedit-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev python3 xvfb icewm x11-utils xdotool procps
  # the Windows build and its tests
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 libwine-dev
)

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
