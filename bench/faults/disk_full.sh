#!/usr/bin/env bash
# Fault loop: the disk fills up while the station stores, then space comes back.
#
# The station's home lies on a small tmpfs (mounted here; needs root). The station
# (qzstation_probe: the station, printing every message it shows and "stored <records>" after
# each record it posts) runs against qzsim storing every second. Each cycle fills the file
# system to the last block, keeps it full for a while, then frees the space. Per cycle:
#   - the station shows exactly one message, and a clear one, while storing fails;
#   - storing resumes within a few storage periods once there is space again;
# and at the end wwdd passes PRAGMA integrity_check and holds every record reported stored.
# Not a timed test; prints a summary and exits non-zero when a cycle fails.
#
# Usage: bench/faults/disk_full.sh [--cycles N] [--full SECONDS] [--size KB] [--build DIR]
#                                  [--work DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cycles=5
full=8
size_kb=8192
build="${QZ_BUILD_DIR:-$here/build-robust}"
work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --cycles) cycles="$2"; shift 2 ;;
    --full) full="$2"; shift 2 ;;
    --size) size_kb="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    *) sed -n '2,15p' "$0" >&2; exit 2 ;;
  esac
done
source "$here/bench/lib/proc.sh"
source "$here/bench/lib/station.sh"
[ -n "$work" ] || work="$(mktemp -d /tmp/qz-diskfull.XXXXXX)"
copy_programs
fs="$work/fs"
mkdir -p "$fs"
sim=""; station=""; mounted=0
cleanup() {
  [ -n "$station" ] && kill "$station" 2>/dev/null && wait "$station" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null || true
  [ "$mounted" = 1 ] && umount "$fs" 2>/dev/null || true
}
trap cleanup EXIT
mount -t tmpfs -o size="${size_kb}k" qzdiskfull "$fs" || { echo "disk_full: cannot mount a tmpfs here (needs root)" >&2; exit 2; }
mounted=1
home="$fs/home"
link="$work/ttyQZ"
make_home "$home" "$link" 16 1000
start_sim "$link" "$work/qzsim.err"

log="$work/station.log"
QT_QPA_PLATFORM=offscreen "$work/bin/qzstation_probe" --home "$home" --start --log-stores >"$log" 2>"$work/station.err" &
station=$!

stored() { grep -c ' stored ' "$log" || true; }
messages() { grep -c ' message \| error ' "$log" || true; }
wait_for() { # condition, seconds
  local i
  for i in $(seq $(($2 * 20))); do eval "$1" && return 0; sleep 0.05; done
  return 1
}
wait_for '[ "$(stored)" -ge 3 ]' 20 || { echo "disk_full: the station stores nothing" >&2; cat "$work/station.err" >&2; exit 1; }

failed=0
csv="$work/cycles.csv"
echo "cycle,messages_while_full,stores_while_full,resume_s" > "$csv"
for i in $(seq "$cycles"); do
  m0=$(messages)
  # Every last block: big writes first, then small ones.
  dd if=/dev/zero of="$fs/filler" bs=64k status=none 2>/dev/null || true
  dd if=/dev/zero of="$fs/filler2" bs=512 status=none 2>/dev/null || true
  s_full=$(stored)
  sleep "$full"
  s_after=$(stored)
  m1=$(messages)
  rm -f "$fs/filler" "$fs/filler2"
  t0=$(now)
  if wait_for "[ \"\$(stored)\" -gt $s_after ]" 15; then resume=$(echo "$(now) - $t0" | bc); else resume=-1; fi
  # Stores while full can be one or two that fit in what the filler left (a page of the log).
  echo "$i,$((m1 - m0)),$((s_after - s_full)),$resume" >> "$csv"
  if [ $((m1 - m0)) -ne 1 ] || [ "$resume" = -1 ]; then
    echo "cycle $i: $((m1 - m0)) messages while full, storing resumed after $resume s" >&2
    failed=$((failed + 1))
  fi
  kill -0 "$station" 2>/dev/null || { echo "disk_full: the station died in cycle $i" >&2; exit 1; }
  sleep 2
done

kill -9 "$station"; wait "$station" 2>/dev/null || true; station=""
reported=$(awk '$2 == "stored" { n = $3 } END { print n + 0 }' "$log")
records=$(record_count "$home")
check=$(integrity "$home")
[ "$check" = ok ] || { echo "disk_full: integrity_check: $check" >&2; failed=$((failed + 1)); }
[ "$records" -ge "$reported" ] && [ "$records" -le $((reported + 1)) ] \
  || { echo "disk_full: $reported records reported stored, $records in wwdd" >&2; failed=$((failed + 1)); }

echo "disk-full loop: $cycles cycles on a tmpfs of $size_kb kB, full for $full s each, storage every second"
awk -F, 'NR > 1 { n++; if ($2 == 1) one++; r += $4; if ($4 > mr) mr = $4; s += $3 }
  END { printf "  cycles with exactly one message: %d of %d\n  storing resumed after space returned: mean %.2f s, max %.2f s\n  records stored while full (fitting in the last free pages): %d\n", one, n, r / n, mr, s }' "$csv"
echo "  the message: $(grep -m1 ' message \| error ' "$log" | cut -d' ' -f2-)"
echo "  records reported stored: $reported, in wwdd after kill -9: $records, integrity_check: $check"
echo "  failed cycles: $failed (details in $csv)"
[ "$failed" -eq 0 ]
