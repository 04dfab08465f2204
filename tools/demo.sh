#!/usr/bin/env bash
# Runs Kestrelix on the simulated target. With a display: on it, until the user closes the window.
# Without one: under Xvfb for a fixed time, saving screenshots under out/demo/ and printing their
# paths and the last lines of the log.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
tools/wine_rig.sh prefix
export WINEPREFIX="$ROOT/build/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
OUT="$ROOT/out/demo"
mkdir -p "$OUT"
LOG="$OUT/kestrelix.log"
rm -f "$LOG"
ARGS=("--log=Z:${LOG//\//\\}")
[ -f out/win64/demo.elf ] && ARGS+=("Z:${ROOT//\//\\}\\out\\win64\\demo.elf")
[ -f tools/demo_args.txt ] && read -r -a EXTRA < tools/demo_args.txt && ARGS+=("${EXTRA[@]}")

# Waits until the log has a line matching the pattern (at most $2 seconds).
wait_log() {
  local pattern="$1" limit="${2:-60}" i=0
  while [ $i -lt $((limit * 10)) ]; do
    grep -q -- "$pattern" "$LOG" 2>/dev/null && return 0
    sleep 0.1; i=$((i + 1))
  done
  echo "demo: no log line '$pattern' within $limit s" >&2
  return 1
}

# Connects to the simulated target and starts acquisition through the toolbar buttons a user
# clicks: "连接" (2002), then "开始采集" (2004).
autopilot() {
  export LC_ALL=C.UTF-8
  wait_log "设备扫描" 60 || return 0
  wine out/win64/kxpoke.exe click --class=KestrelixMain --child-id=2002 --wait=20000 >/dev/null 2>&1 || true
  wait_log "已连接" 20 || return 0
  wine out/win64/kxpoke.exe click --class=KestrelixMain --child-id=2004 --wait=20000 >/dev/null 2>&1 || true
}

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "demo: running on display $DISPLAY (close the window to end)"
  wine out/win64/Kestrelix.exe "${ARGS[@]}" &
  WPID=$!
  autopilot
  wait $WPID || true
  exit 0
fi

SECS=${KX_DEMO_SECONDS:-20}
N=77
while [ -e /tmp/.X11-unix/X$N ]; do N=$((N + 1)); done
Xvfb :$N -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
XPID=$!
trap 'kill $XPID 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
export DISPLAY=:$N
sleep 1
echo "demo: no display; running under Xvfb $DISPLAY for $SECS s"
wine out/win64/Kestrelix.exe "${ARGS[@]}" "--net-exit=$((SECS * 1000))" &
WPID=$!
autopilot
shots=()
for i in 1 2 3; do
  sleep $((SECS / 4))
  f="$OUT/screen-$i.png"
  import -display "$DISPLAY" -window root "$f" && shots+=("$f")
done
wait $WPID || true
echo
echo "screenshots:"
for f in "${shots[@]}"; do echo "  $f"; done
for f in "$OUT"/*.bmp; do [ -e "$f" ] && echo "  $f"; done
echo
echo "log ($LOG), last lines:"
tail -n 15 "$LOG" | sed 's/^\xEF\xBB\xBF//'
