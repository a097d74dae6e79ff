#!/usr/bin/env bash
# Starts the station on the demo instrument bank: the simulator qzsim on a pseudo-terminal,
# the station in a demo home whose KTcom.ini maps COM1 to it, the run started.
# Usage: scripts/demo.sh [--channels 16|32] [--outage SECONDS]
# Environment: QZ_DEMO_HOME (default: ./demo-home), QZ_BUILD_DIR (default: ./build).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QZ_BUILD_DIR:-$here/build}"
home="${QZ_DEMO_HOME:-$here/demo-home}"
channels=16
outage=15
while [ $# -gt 0 ]; do
  case "$1" in
    --channels) channels="$2"; shift 2 ;;
    --outage) outage="$2"; shift 2 ;;
    *) echo "usage: $0 [--channels 16|32] [--outage SECONDS]" >&2; exit 2 ;;
  esac
done

"$here/scripts/build.sh" "$build"
mkdir -p "$home"
link="$home/ttyQZ"

# A fresh demo home gets settings for the simulated bank; an existing one keeps the operator's.
if [ ! -f "$home/KTcom.ini" ]; then
  printf '[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%s\r\n' "$link" > "$home/KTcom.ini"
fi
if [ ! -f "$home/Sys_Para.Pf" ]; then
  # The simulated bank has 16 (or 32) channels; store a record every 10 seconds.
  printf '%s\r\n10000\r\n' "$channels" > "$home/Sys_Para.Pf"
fi

"$build/tools/qzsim/qzsim" --channels "$channels" --link "$link" --outage "$outage" --outage-every 120 &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
[ -e "$link" ] || { echo "demo: qzsim did not come up" >&2; exit 1; }

station=("$build/src/app/qzmonitor" --home "$home" --start)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: no display; running the station on a virtual one (xvfb-run)" >&2
  xvfb-run -a -s "-screen 0 1280x800x24" bash -c 'openbox >/dev/null 2>&1 & exec "$@"' _ "${station[@]}"
else
  "${station[@]}"
fi
