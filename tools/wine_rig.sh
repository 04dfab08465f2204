#!/usr/bin/env bash
# The Wine test rig: a per-build Wine prefix prepared once (virtual desktop, CJK font link),
# an Xvfb display, and runners for the Windows unit tests and the e2e suite.
#   tools/wine_rig.sh prefix            prepare build/wineprefix (idempotent)
#   tools/wine_rig.sh unit EXE [ARGS]   run a Windows console test exe under Wine
#   tools/wine_rig.sh e2e [PYTEST ARGS] run tests/e2e with Debian's python3 and pytest
#   tools/wine_rig.sh env               print the environment lines the rig uses
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
STAMP="$WINEPREFIX/.kestrelix-rig-v2"
FONT=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc

LINKED_FACES=("Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif" "Segoe UI")
KEPT_LINKS=("MS Shell Dlg" "MS Shell Dlg 2" "Segoe UI")
REPLACED_FACES=("SimSun" "Microsoft YaHei UI" "Microsoft YaHei" "PMingLiU" "Microsoft JhengHei UI" "MS UI Gothic")

# Chinese text needs the CJK font behind the dialog faces. Our links for Tahoma and Microsoft Sans
# Serif do not hold: Wine writes its own defaults for them again on later starts, and those name
# Windows' CJK faces (SimSun, Microsoft YaHei UI...). So those names are also made replacements
# for the installed CJK font, and every run checks that both are in place.
font_links_in_place() {
  local face
  for face in "${KEPT_LINKS[@]}"; do
    grep -q "^\"$face\"=str(7):\"wqy-microhei.ttc" "$WINEPREFIX/system.reg" 2>/dev/null || return 1
  done
  for face in "${REPLACED_FACES[@]}"; do
    grep -q "^\"$face\"=\"WenQuanYi Micro Hei\"" "$WINEPREFIX/user.reg" 2>/dev/null || return 1
  done
}

link_cjk_font() {
  font_links_in_place && return 0
  local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' face
  for face in "${LINKED_FACES[@]}"; do
    env -u DISPLAY wine reg add "$key" /v "$face" /t REG_MULTI_SZ /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f >/dev/null 2>&1
  done
  for face in "${REPLACED_FACES[@]}"; do
    env -u DISPLAY wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
  done
  wineserver -w || true
  font_links_in_place || echo "wine_rig: the CJK font links did not hold; Chinese text may show as boxes" >&2
}

prepare_prefix() {
  if [ -f "$STAMP" ]; then
    link_cjk_font
    return 0
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  env -u DISPLAY wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
  link_cjk_font
  # A virtual desktop gives every window a frame, and a root screenshot then looks like Windows.
  env -u DISPLAY wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  env -u DISPLAY wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1280x1024 /f >/dev/null 2>&1
  # No crash dialogs: a crashing test program must end, not wait for a click.
  env -u DISPLAY wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  [ -f "$FONT" ] && ln -sf "$FONT" "$WINEPREFIX/drive_c/windows/Fonts/wqy-microhei.ttc"
  wineserver -w || true
  touch "$STAMP"
}

case "${1:-}" in
  prefix)
    prepare_prefix ;;
  unit)
    shift
    prepare_prefix
    exe="$1"; shift
    # Console test programs need no display.
    env -u DISPLAY wine "$exe" "$@" ;;
  e2e)
    shift
    prepare_prefix
    cd "$ROOT"
    # GUI timing under Wine on a loaded 2-core machine is not always the same: a failed test runs
    # again (at most twice) and the summary line reports every rerun.
    rm -f out/e2e/reruns.txt
    # Files or node ids (tests/e2e/test_x.py::name) among the arguments run alone; without any,
    # the whole suite runs.
    targets=(tests/e2e)
    for arg in "$@"; do
      case "$arg" in -*) ;; *) [ -e "${arg%%::*}" ] && targets=() ;; esac
    done
    exec /usr/bin/python3 -m pytest -q -rR --reruns 2 --reruns-delay 2 "${targets[@]}" "$@" ;;
  env)
    echo "WINEPREFIX=$WINEPREFIX"; echo "WINEDEBUG=$WINEDEBUG"; echo "WINEDLLOVERRIDES=$WINEDLLOVERRIDES" ;;
  *)
    echo "usage: $0 prefix|unit EXE [ARGS]|e2e [ARGS]|env" >&2; exit 2 ;;
esac
