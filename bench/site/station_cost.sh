#!/usr/bin/env bash
# What publishing costs a station: two stations run side by side for --seconds (600), storing
# every second, one with [mqtt] pointing at a private mosquitto and one without; the CPU time
# (user + system, all threads) each used after its first 30 s is compared. Side by side, both
# meet the same load from the rest of the machine.
#
# --station qzmonitor (default): the real station offscreen (qzmonitor --home --start), each
# on its own qzsim. --station sitelink: bench_sitelink, the station's cadence (an answer every
# 1.5 s, a record every second) without serial line or window.
#
# Usage: bench/site/station_cost.sh [--seconds 600] [--station qzmonitor|sitelink] [--build DIR] [--work DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
seconds=600
station_kind=qzmonitor
build="${QZ_BUILD_DIR:-$here/build}"
work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --station) station_kind="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    *) sed -n '2,12p' "$0" >&2; exit 2 ;;
  esac
done
source "$here/bench/lib/proc.sh"
source "$here/bench/lib/site.sh"
[ -n "$work" ] || work="$(mktemp -d /tmp/qz-cost.XXXXXX)"
mkdir -p "$work/bin"
case "$station_kind" in
  qzmonitor) needed="src/app/qzmonitor tools/qzsim/qzsim" ;;
  sitelink) needed="bench/site/bench_sitelink" ;;
  *) echo "station_cost.sh: --station qzmonitor or sitelink" >&2; exit 2 ;;
esac
need_programs station_cost.sh "$build" "$work/bin" $needed
pid=(); sim=()
broker=""
trap 'for p in "${pid[@]:-}" "${sim[@]:-}" "$broker"; do [ -n "$p" ] && kill "$p" 2>/dev/null; done; wait 2>/dev/null || true' EXIT

broker_conf 300
start_broker
for mode in off on; do
  home="$work/$mode"
  mkdir -p "$home/Data"
  printf '[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%s\r\n' "$work/tty-$mode" > "$home/KTcom.ini"
  [ "$mode" = on ] && printf '[mqtt]\r\nHost=127.0.0.1\r\nPort=%s\r\nStation=cost\r\n' "$broker_port" >> "$home/KTcom.ini"
  printf '16\r\n1000\r\n' > "$home/Sys_Para.Pf"
  if [ "$station_kind" = qzmonitor ]; then
    "$work/bin/qzsim" --channels 16 --link "$work/tty-$mode" >/dev/null 2>>"$work/qzsim-$mode.err" &
    sim[${#sim[@]}]=$!
    wait_for_path "$work/tty-$mode" 10
    QT_QPA_PLATFORM=offscreen "$work/bin/qzmonitor" --home "$home" --start >"$home/out" 2>"$home/err" &
  else
    "$work/bin/bench_sitelink" --home "$home" --seconds $((seconds + 60)) >"$home/out" 2>"$home/err" &
  fi
  pid[${#pid[@]}]=$!
done
sleep 30
c_off0=$(proc_cpu_seconds "${pid[0]}"); c_on0=$(proc_cpu_seconds "${pid[1]}")
echo "station_cost: $station_kind, $seconds s measured after 30 s of start-up"
sleep "$seconds"
c_off=$(echo "$(proc_cpu_seconds "${pid[0]}") - $c_off0" | bc)
c_on=$(echo "$(proc_cpu_seconds "${pid[1]}") - $c_on0" | bc)
records=$(sqlite3 "$work/on/wwdd.db" 'SELECT count(*) FROM wwdd;')
cursor=$(sqlite3 "$work/on/Data/site_cursor.db" "SELECT position FROM cursor WHERE stream = 'record';" 2>/dev/null || echo none)
echo "station_cost: publishing off: $c_off s CPU = $(echo "scale=3; 100 * $c_off / $seconds" | bc) % of one core"
echo "station_cost: publishing on:  $c_on s CPU = $(echo "scale=3; 100 * $c_on / $seconds" | bc) % of one core ($records records stored, acknowledged cursor at $cursor)"
echo "station_cost: extra: $(echo "scale=3; 100 * ($c_on - $c_off) / $seconds" | bc) % of one core (goal under 0.5 %)"
