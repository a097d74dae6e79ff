#!/usr/bin/env bash
# Soak: the station against the instrument simulator for a long run (default one hour).
# Reports, asserts nothing: CPU time per wall-clock hour, resident memory at start and end,
# descriptors, records stored and their spacing. Samples go to soak.csv in the work directory.
#
# Usage: bench/soak/soak.sh [--duration SECONDS] [--period-ms MS] [--channels 16|32]
#                           [--sample SECONDS] [--build DIR] [--work DIR]
#   --duration   wall-clock length of the run (default 3600)
#   --period-ms  storage period written to Sys_Para.Pf (default 5000)
#   --build      build tree holding src/app/qzmonitor and tools/qzsim/qzsim (default build-robust)
#   --work       directory for the station's home and the report (default a fresh temp dir)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
duration=3600
period=5000
channels=16
sample=60
build="${QZ_BUILD_DIR:-$here/build-robust}"
work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --duration) duration="$2"; shift 2 ;;
    --period-ms) period="$2"; shift 2 ;;
    --channels) channels="$2"; shift 2 ;;
    --sample) sample="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    *) sed -n '2,11p' "$0" >&2; exit 2 ;;
  esac
done
for b in "$build/src/app/qzmonitor" "$build/tools/qzsim/qzsim"; do
  [ -x "$b" ] || { echo "soak: $b missing (build it first)" >&2; exit 2; }
done
command -v sqlite3 >/dev/null || { echo "soak: sqlite3 missing" >&2; exit 2; }
[ -n "$work" ] || work="$(mktemp -d /tmp/qz-soak.XXXXXX)"
mkdir -p "$work/home" "$work/bin"
# Copies, so a rebuild during a long run cannot touch the programs under test.
cp "$build/src/app/qzmonitor" "$build/tools/qzsim/qzsim" "$work/bin/"
station_bin="$work/bin/qzmonitor"
sim_bin="$work/bin/qzsim"
home="$work/home"
link="$work/ttyQZ"
printf '[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%s\r\n' "$link" > "$home/KTcom.ini"
printf '%s\r\n%s\r\n' "$channels" "$period" > "$home/Sys_Para.Pf"

source "$here/bench/lib/proc.sh"

sim=""; station=""
cleanup() {
  [ -n "$station" ] && kill "$station" 2>/dev/null && wait "$station" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null || true
}
trap cleanup EXIT

"$sim_bin" --channels "$channels" --link "$link" >"$work/qzsim.out" 2>"$work/qzsim.err" &
sim=$!
wait_for_path "$link" 10 || { echo "soak: qzsim did not come up" >&2; exit 1; }

QT_QPA_PLATFORM=offscreen "$station_bin" --home "$home" --start >"$work/station.out" 2>"$work/station.err" &
station=$!
t0=$(date +%s.%N)
echo "soak: station pid $station, simulator pid $sim, $duration s, storage period $period ms, work $work" >&2

csv="$work/soak.csv"
echo "elapsed_s,station_cpu_s,station_rss_kb,station_fds,sim_cpu_s" > "$csv"
sample_once() {
  local now; now=$(date +%s.%N)
  printf '%.1f,%.2f,%s,%s,%.2f\n' "$(echo "$now - $t0" | bc)" "$(proc_cpu_seconds "$station")" \
    "$(proc_rss_kb "$station")" "$(proc_fd_count "$station")" "$(proc_cpu_seconds "$sim")" >> "$csv"
}
# First sample once start-up is over (Qt's pooled start-up threads expire after 30 s idle,
# with their descriptors); then every $sample seconds.
sleep 40
sample_once
ls -l "/proc/$station/fd" > "$work/fds-start.txt" 2>&1 || true
end=$(echo "$t0 + $duration" | bc)
while :; do
  now=$(date +%s.%N)
  left=$(echo "$end - $now" | bc)
  if [ "$(echo "$left <= 0" | bc)" = 1 ]; then break; fi
  if ! kill -0 "$station" 2>/dev/null; then
    rc=0; wait "$station" || rc=$?; station=""
    echo "soak: the station ended by itself after $(echo "$(date +%s.%N) - $t0" | bc) s, status $rc$([ $rc -gt 128 ] && echo " (signal $((rc - 128)))")" >&2
    exit 1
  fi
  if [ "$(echo "$left < $sample" | bc)" = 1 ]; then sleep "$left"; else sleep "$sample"; fi
  sample_once
done
t1=$(date +%s.%N)
ls -l "/proc/$station/fd" > "$work/fds-end.txt" 2>&1 || true
kill -TERM "$station"; wait "$station" 2>/dev/null || true; station=""
kill -TERM "$sim"; wait "$sim" 2>/dev/null || true; sim=""

db="$home/wwdd.db"
integrity=$(sqlite3 "$db" 'PRAGMA integrity_check;')
# Spacing of consecutive records, in ms (datim is ISO local time with milliseconds).
read -r count first last mingap maxgap offgrid < <(sqlite3 -separator ' ' "$db" "
  WITH t AS (SELECT (julianday(datim) - julianday(LAG(datim) OVER (ORDER BY datim))) * 86400000.0 AS gap
             FROM wwdd)
  SELECT (SELECT count(*) FROM wwdd), (SELECT replace(min(datim),' ','T') FROM wwdd),
         (SELECT replace(max(datim),' ','T') FROM wwdd),
         CAST(min(gap) AS INTEGER), CAST(max(gap) AS INTEGER),
         sum(abs(gap - $period) > $period / 2) FROM t;")
span_ms=$(sqlite3 "$db" "SELECT CAST((julianday(max(datim)) - julianday(min(datim))) * 86400000.0 AS INTEGER) FROM wwdd;")

awk -F, -v wall="$(echo "$t1 - $t0" | bc)" -v count="$count" -v span="$span_ms" -v period="$period" \
    -v first="$first" -v last="$last" -v mingap="$mingap" -v maxgap="$maxgap" -v offgrid="$offgrid" \
    -v integrity="$integrity" '
  NR == 2 { c0 = $2; r0 = $3; f0 = $4; e0 = $1; s0 = $5 }
  NR > 1  { c1 = $2; r1 = $3; f1 = $4; e1 = $1; s1 = $5; n++; t[n] = $1; r[n] = $3 }
  END {
    span_s = e1 - e0
    printf "wall clock          %.0f s (%.2f h)\n", wall, wall / 3600
    printf "station CPU         %.2f s over %.0f s sampled: %.1f s per wall hour, %.3f %% of one core\n", c1 - c0, span_s, (c1 - c0) / span_s * 3600, (c1 - c0) / span_s * 100
    printf "simulator CPU       %.2f s (%.3f %% of one core)\n", s1 - s0, (s1 - s0) / span_s * 100
    printf "resident memory     %d kB at %.0f s, %d kB at %.0f s: %+d kB, %+.0f kB per hour\n", r0, e0, r1, e1, r1 - r0, (r1 - r0) / span_s * 3600
    # Growth over the second half alone, where start-up caches no longer count.
    h = int(n / 2) + 1
    if (n >= 4) printf "  second half       %+d kB over %.0f s: %+.0f kB per hour\n", r[n] - r[h], t[n] - t[h], (r[n] - r[h]) / (t[n] - t[h]) * 3600
    printf "descriptors         %d at start, %d at end\n", f0, f1
    expected = int(span / period + 0.5) + 1
    printf "records stored      %d (%s … %s); one per %d ms over that span is %d\n", count, first, last, period, expected
    printf "record spacing      %d … %d ms; %d gaps off the period by more than half a period\n", mingap, maxgap, offgrid
    printf "integrity_check     %s\n", integrity
  }' "$csv" | tee "$work/report.txt"
