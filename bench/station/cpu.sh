#!/usr/bin/env bash
# CPU of the headless station beside the window station: both run at the same time, each on a
# program directory of its own against a simulator of its own (16 channels, a record every
# 10 s as the demo stores), the window under Xvfb when a display can be made (offscreen
# otherwise). After a warm-up, the processor time each uses (user + system, from
# /proc/PID/stat) over the measured span is printed, as a share of one core.
#
# Usage: bench/station/cpu.sh [--seconds S] [--warmup S] [--build DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
seconds=600
warmup=30
build="${QZ_BUILD_DIR:-$here/build}"
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --warmup) warmup="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    *) sed -n '2,9p' "$0" >&2; exit 2 ;;
  esac
done
source "$here/bench/lib/proc.sh"
work="$(mktemp -d /tmp/qz-cpu.XXXXXX)"
mkdir -p "$work/bin"
for p in src/app/qzmonitor src/station/qzstation tools/qzsim/qzsim; do
  [ -x "$build/$p" ] || { echo "cpu: $build/$p missing (build it first)" >&2; exit 2; }
  cp "$build/$p" "$work/bin/"
done
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

home() { # DIR LINK
  mkdir -p "$1"
  printf '[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%s\r\n' "$2" > "$1/KTcom.ini"
  printf '16\r\n10000\r\n' > "$1/Sys_Para.Pf"
}
for s in headless window; do
  "$work/bin/qzsim" --channels 16 --link "$work/tty-$s" >/dev/null 2>&1 &
  pids+=($!)
  home "$work/$s" "$work/tty-$s"
done
wait_for_path "$work/tty-headless" 10 && wait_for_path "$work/tty-window" 10

"$work/bin/qzstation" --home "$work/headless" 2>"$work/headless.err" &
headless=$!
pids+=($headless)
if command -v xvfb-run >/dev/null; then
  xvfb-run -a -s "-screen 0 1280x1024x24" "$work/bin/qzmonitor" --home "$work/window" --start 2>"$work/window.err" &
  pids+=($!)
  platform="Xvfb"
else
  QT_QPA_PLATFORM=offscreen "$work/bin/qzmonitor" --home "$work/window" --start 2>"$work/window.err" &
  pids+=($!)
  platform="offscreen"
fi
# The window station's own process (xvfb-run starts it as a child, after its display is up).
window=""
for i in $(seq 100); do
  window="$(pgrep -n -f "^$work/bin/qzmonitor --home $work/window" || true)"
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "cpu: the window station did not start" >&2; exit 1; }

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz="$(getconf CLK_TCK)"
sleep "$warmup"
h0="$(ticks "$headless")"; w0="$(ticks "$window")"
sleep "$seconds"
h1="$(ticks "$headless")"; w1="$(ticks "$window")"
share() { awk -v t="$1" -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.3f %% of one core (%.2f s)", 100 * t / hz / s, t / hz }'; }
echo "over $seconds s after a warm-up of $warmup s, 16 channels polled every 1.5 s, a record every 10 s:"
echo "  headless station (qzstation):   $(share $((h1 - h0)))"
echo "  window station (qzmonitor, $platform): $(share $((w1 - w0)))"
