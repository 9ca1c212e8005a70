# Sourced by the scripts that run Windows programs of build/windows under
# Wine.  Wine keeps its "C:" tree (the prefix) in build/windows/wine, made
# once per build folder by the user running the job (Wine refuses a prefix
# someone else owns), with Wine's own fonts copied in, since Debian's Wine
# does not find fonts-wine by itself.
#
#   dotvane_wine_up     starts a persistent wineserver and Wine's helper
#                       processes before any test runs: started by the
#                       first test instead, they would keep ctest waiting
#                       (seconds per test, or for ever)
#                       and, once the Windows build has made it, a program
#                       that keeps Wine's desktop open until the server
#                       stops (tests/windows/desktop_keeper.cpp)
#   dotvane_wine_down   stops them and waits until they are gone

export WINEDEBUG=-all
export WINEPREFIX
WINEPREFIX="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/windows/wine"
# Wine's own Mono and Gecko installers are not wanted, nor asked for.
export WINEDLLOVERRIDES="mscoree,mshtml="

dotvane_wine_up() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  local fresh=0
  if [[ ! -d $WINEPREFIX/drive_c/windows ]]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    fresh=1
  fi
  wineserver -p || true  # exits 2 when a server already runs for the prefix
  if ((fresh)); then
    echo "wine: creating the prefix $WINEPREFIX" >&2
    wineboot -i >/dev/null 2>&1
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
  else
    wineboot >/dev/null 2>&1  # starts the helper processes now, outside any test
  fi
  local keeper
  keeper="$(dirname "${BASH_SOURCE[0]}")/../build/windows/tests/windows/desktop_keeper.exe"
  if [[ -f $keeper ]]; then
    wine "$keeper" 7200 </dev/null >/dev/null 2>&1 &
    disown
  fi
}

dotvane_wine_down() {
  wineserver -k 2>/dev/null || true
  timeout 60 wineserver -w 2>/dev/null || true
}
