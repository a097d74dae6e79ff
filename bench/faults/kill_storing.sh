#!/usr/bin/env bash
# Fault loop: kill -9 of a storing station at random moments.
#
# The station (qzstation_probe: the station, printing "stored <records>" after each record it
# posts) runs against qzsim with storage every second and is killed with SIGKILL at a random
# moment 0.05 … --max-wait seconds after it was started, again and again. After every kill:
#   - wwdd passes PRAGMA integrity_check;
#   - it holds every record the station had reported stored, and at most one more (the record
#     being written when the kill came, posted but not yet reported);
#   - nothing else changed: the records before this run are still there.
# Not a timed test; prints a summary and exits non-zero on any violation.
#
# With --aim the moments are not uniform: each kill comes within a few milliseconds of a storage
# tick (the period after the last record the station reported, -10 … +5 ms), where the record
# is being written, so that case is met often rather than by chance.
#
# Usage: bench/faults/kill_storing.sh [--kills N] [--max-wait SECONDS] [--period-ms MS] [--aim]
#                                     [--build DIR] [--work DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
kills=100
maxwait=4
period=1000
build="${QZ_BUILD_DIR:-$here/build-robust}"
work=""
aim=0
while [ $# -gt 0 ]; do
  case "$1" in
    --kills) kills="$2"; shift 2 ;;
    --max-wait) maxwait="$2"; shift 2 ;;
    --period-ms) period="$2"; shift 2 ;;
    --aim) aim=1; shift ;;
    --build) build="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    *) sed -n '2,19p' "$0" >&2; exit 2 ;;
  esac
done
source "$here/bench/lib/proc.sh"
source "$here/bench/lib/station.sh"
[ -n "$work" ] || work="$(mktemp -d /tmp/qz-kill.XXXXXX)"
copy_programs
home="$work/home"
link="$work/ttyQZ"
make_home "$home" "$link" 16 "$period"
sim=""; station=""
trap '[ -n "$station" ] && kill -9 "$station" 2>/dev/null; [ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null || true' EXIT
start_sim "$link" "$work/qzsim.err"

violations=0
killed_in_start=0   # kills before the first record of the run
one_more=0          # kills that left a posted record not yet reported
total_reported=0
log="$work/kills.csv"
echo "kill,after_s,records_before,reported,records_after,integrity,verdict" > "$log"
for i in $(seq "$kills"); do
  before=0
  [ -f "$home/wwdd.db" ] && before=$(record_count "$home")
  out="$work/run-$i.log"
  : > "$out"
  QT_QPA_PLATFORM=offscreen "$work/bin/qzstation_probe" --home "$home" --start --log-stores >"$out" 2>"$work/run-$i.err" &
  station=$!
  t_start=$(now)
  if [ "$aim" = 1 ]; then
    # Wait for one to three records, then for the tick after the last one.
    want=$(( RANDOM % 3 + 1 ))
    for _ in $(seq 200); do [ "$(grep -c ' stored ' "$out" 2>/dev/null || true)" -ge "$want" ] && break; sleep 0.02; done
    last=$(awk '$2 == "stored" { t = $1 } END { print t }' "$out")
    [ -n "$last" ] || last=$(now)
    target=$(awk -v t="$last" -v p="$period" -v seed="$RANDOM$i" 'BEGIN { srand(seed); printf "%.6f", t + p / 1000 + (rand() * 15 - 10) / 1000 }')
    pause=$(echo "$target - $(now)" | bc)
    [ "$(echo "$pause > 0" | bc)" = 1 ] && sleep "$pause"
  else
    sleep "$(awk -v seed="$RANDOM$i" -v max="$maxwait" 'BEGIN { srand(seed); printf "%.3f", 0.05 + rand() * (max - 0.05) }')"
  fi
  { kill -9 "$station"; wait "$station"; } 2>/dev/null || true
  delay=$(echo "$(now) - $t_start" | bc)
  station=""

  reported=$(awk '$2 == "stored" { n = $3 } END { print n + 0 }' "$out")
  stored_lines=$(grep -c ' stored ' "$out" || true)
  [ "$stored_lines" -gt 0 ] || reported=$before
  after=$(record_count "$home")
  check=$(integrity "$home")
  verdict=ok
  if [ "$check" != ok ]; then
    verdict="integrity_check: $check"
  elif [ "$after" -lt "$reported" ]; then
    verdict="lost $((reported - after)) reported record(s)"
  elif [ "$after" -gt $((reported + 1)) ]; then
    verdict="$((after - reported)) records beyond the reported ones"
  elif [ "$after" -lt "$before" ]; then
    verdict="earlier records lost"
  fi
  [ "$stored_lines" -eq 0 ] && killed_in_start=$((killed_in_start + 1))
  [ "$after" -eq $((reported + 1)) ] && one_more=$((one_more + 1))
  total_reported=$((total_reported + stored_lines))
  echo "$i,$delay,$before,$reported,$after,$check,$verdict" >> "$log"
  if [ "$verdict" != ok ]; then
    violations=$((violations + 1))
    echo "kill $i after $delay s: $verdict" >&2
  fi
  rm -f "$out" "$work/run-$i.err"
done

if [ "$aim" = 1 ]; then
  echo "kill -9 loop: $kills kills, each within -10 … +5 ms of a storage tick, storage every $period ms"
else
  echo "kill -9 loop: $kills kills at random moments 0.05 … $maxwait s after start, storage every $period ms"
fi
echo "  records in wwdd at the end: $(record_count "$home"), integrity_check: $(integrity "$home")"
echo "  records reported stored over all runs: $total_reported"
echo "  kills before the run's first record: $killed_in_start"
echo "  kills that left the record being written (posted, not yet reported): $one_more"
echo "  violations: $violations (details in $log)"
[ "$violations" -eq 0 ]
