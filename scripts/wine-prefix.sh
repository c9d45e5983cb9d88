# shellcheck shell=bash
# Sourced by the Windows scripts: a private, headless Wine prefix for QUVOConnect.
#
# use_wine_prefix DIR  exports the Wine environment for the prefix DIR, makes the
#                      prefix on first use (null graphics driver, no crash dialog),
#                      stops a server left over from an earlier run and starts the
#                      prefix's server with its output elsewhere, so that Wine's
#                      background processes never hold the caller's pipes. Making the
#                      prefix and starting Wine are each tried a second time when the
#                      first try fails (the very first Wine start on a machine can);
#                      when the second fails too, it says so and returns non-zero.
# run_quiet CMD...     runs CMD with no input and its output kept in a file, not on
#                      the caller's pipes. On failure it prints the command, its exit
#                      status and its output on stderr, and returns that status.
# stop_wine            stops the prefix's server.

stop_wine() { wineserver -k </dev/null >/dev/null 2>&1 || true; }

run_quiet() {
  local log status=0
  log=$(mktemp "${TMPDIR:-/tmp}/quvo-wine.XXXXXX") || return 1
  "$@" </dev/null >"$log" 2>&1 || status=$?
  if [[ $status -ne 0 ]]; then
    echo "${0##*/}: '$*' failed with exit status $status; its output:" >&2
    if [[ -s "$log" ]]; then tail -n 40 "$log" | sed 's/^/    /' >&2; else echo "    (none)" >&2; fi
  fi
  rm -f "$log"
  return "$status"
}

# Every step is chained: in a function called from a condition, set -e stops nothing.
make_wine_prefix() {
  # A server still running for a half-made prefix would serve the new one.
  stop_wine
  rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX" &&
    run_quiet wine wineboot --init &&
    run_quiet wineserver -w &&
    # Windows without an X server: FindWindowA and friends still work.
    run_quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
    # A crashing program ends instead of waiting behind a dialog.
    run_quiet wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f &&
    run_quiet wineserver -w &&
    touch "$WINEPREFIX/.quvo-ready"
}

start_wine() {
  stop_wine
  run_quiet wineserver -p && run_quiet wine cmd /c exit
}

use_wine_prefix() {
  export WINEPREFIX=$1
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=" # no prompts for Mono or Gecko
  export WINEARCH=win64
  unset DISPLAY WAYLAND_DISPLAY
  if [[ ! -f "$WINEPREFIX/.quvo-ready" ]]; then
    if ! make_wine_prefix; then
      echo "wine-prefix.sh: making the Wine prefix $WINEPREFIX failed; trying once more" >&2
      stop_wine
      if ! make_wine_prefix; then
        echo "wine-prefix.sh: could not make the Wine prefix $WINEPREFIX" >&2
        stop_wine
        return 1
      fi
    fi
  fi
  if ! start_wine; then
    echo "wine-prefix.sh: starting Wine in $WINEPREFIX failed; trying once more" >&2
    if ! start_wine; then
      echo "wine-prefix.sh: could not start Wine in $WINEPREFIX" >&2
      stop_wine
      return 1
    fi
  fi
}
