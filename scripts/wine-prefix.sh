# Sourced by the Windows scripts: a private, headless Wine prefix for QUVOConnect.
#
# use_wine_prefix DIR  exports the Wine environment for the prefix DIR, makes the
#                      prefix on first use (null graphics driver, no crash dialog),
#                      stops a server left over from an earlier run and starts the
#                      prefix's server with its output elsewhere, so that Wine's
#                      background processes never hold the caller's pipes.
# stop_wine            stops the prefix's server.

stop_wine() { wineserver -k </dev/null >/dev/null 2>&1 || true; }

use_wine_prefix() {
  export WINEPREFIX=$1
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=" # no prompts for Mono or Gecko
  export WINEARCH=win64
  unset DISPLAY WAYLAND_DISPLAY
  if [[ ! -f "$WINEPREFIX/.quvo-ready" ]]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wine wineboot --init </dev/null >/dev/null 2>&1
    wineserver -w
    # Windows without an X server: FindWindowA and friends still work.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    # A crashing program ends instead of waiting behind a dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.quvo-ready"
  fi
  stop_wine
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
}
