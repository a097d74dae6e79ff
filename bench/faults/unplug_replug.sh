#!/usr/bin/env bash
# Fault loop: the simulator's line unplugged and plugged in again under a running station.
#
# Unplugging kills qzsim with SIGKILL: its pseudo-terminals vanish, the station's open port
# hangs up, and the device name (a symbolic link) is removed. Plugging in starts qzsim
# again on the same name, with new pseudo-terminals. The station (qzstation_probe: the station,
# printing every answer it accepts) polls every 1.5 s throughout. Per cycle:
#   - the station lets go of the dead port (its descriptor closes);
#   - its CPU time while the line is gone (a few seconds) stays near zero;
#   - after the plug-in it opens the port at its next poll and has an answer within one poll
#     period plus one drain of the port (1.5 s + 1 s);
# and after the loop it holds as many descriptors as before it.
# Not a timed test; prints a summary and exits non-zero when a cycle fails.
#
# Usage: bench/faults/unplug_replug.sh [--cycles N] [--gone SECONDS] [--build DIR] [--work DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cycles=100
gone=3
build="${QZ_BUILD_DIR:-$here/build-robust}"
work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --cycles) cycles="$2"; shift 2 ;;
    --gone) gone="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    *) sed -n '2,17p' "$0" >&2; exit 2 ;;
  esac
done
source "$here/bench/lib/proc.sh"
source "$here/bench/lib/station.sh"
[ -n "$work" ] || work="$(mktemp -d /tmp/qz-unplug.XXXXXX)"
copy_programs
home="$work/home"
link="$work/ttyQZ"
make_home "$home" "$link" 16 5000
sim=""; station=""
trap '[ -n "$station" ] && kill "$station" 2>/dev/null; [ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null || true' EXIT
start_sim "$link" "$work/qzsim.err"

log="$work/station.log"
QT_QPA_PLATFORM=offscreen "$work/bin/qzstation_probe" --home "$home" --start --log-answers >"$log" 2>"$work/station.err" &
station=$!

answers() { grep -c ' answer ' "$log" || true; }
# The station's descriptor for the line, if any.
port_fd() { ls -l "/proc/$station/fd" 2>/dev/null | grep -c ' -> /dev/pts/' || true; }
# Waits until the condition holds, at most $2 seconds; prints the time taken.
wait_until() {
  local cond=$1 limit=$2 t0 i
  t0=$(now)
  for i in $(seq $((limit * 50))); do
    if eval "$cond"; then echo "$(now) - $t0" | bc; return 0; fi
    sleep 0.02
  done
  return 1
}

# Warm up: a few answers, and start-up's pooled threads gone (Qt lets them expire after 30 s
# idle, with their descriptors), then the figures to compare with.
wait_until '[ "$(answers)" -ge 3 ]' 20 >/dev/null || { echo "unplug: no answers at start" >&2; exit 1; }
wait_until '[ "$(ls /proc/$station/task | wc -l)" -le 1 ]' 45 >/dev/null || true
fd_before=$(proc_fd_count "$station")
ls -l "/proc/$station/fd" > "$work/fds-before.txt"

failed=0
csv="$work/cycles.csv"
echo "cycle,release_s,cpu_gone_s,gone_s,cpu_percent,reopen_s,answer_s" > "$csv"
for i in $(seq "$cycles"); do
  { kill -9 "$sim"; wait "$sim"; } 2>/dev/null || true; sim=""
  # The device name goes with the device, as /dev/ttyUSB0 does: left behind, the link could
  # come to name a pseudo-terminal the system hands to another program meanwhile.
  rm -f "$link"
  release=$(wait_until '[ "$(port_fd)" -eq 0 ]' 5) || { echo "cycle $i: the station kept the dead port" >&2; release=-1; failed=$((failed + 1)); }
  c0=$(proc_cpu_seconds "$station"); g0=$(now)
  sleep "$gone"
  c1=$(proc_cpu_seconds "$station"); g1=$(now)
  n=$(answers)
  start_sim "$link" "$work/qzsim.err"
  reopen=$(wait_until '[ "$(port_fd)" -ge 1 ]' 10) || reopen=-1
  answer=$(wait_until "[ \"\$(answers)\" -gt $n ]" 10) && answer=$(echo "$reopen + $answer" | bc) || answer=-1
  gone_s=$(echo "$g1 - $g0" | bc)
  cpu=$(echo "$c1 - $c0" | bc)
  pct=$(echo "scale=3; $cpu * 100 / $gone_s" | bc)
  echo "$i,$release,$cpu,$gone_s,$pct,$reopen,$answer" >> "$csv"
  if [ "$reopen" = -1 ] || [ "$answer" = -1 ] || [ "$(echo "$answer > 2.6" | bc)" = 1 ] || [ "$(echo "$pct > 5" | bc)" = 1 ]; then
    echo "cycle $i: reopen $reopen s, answer $answer s, CPU $pct % while gone" >&2
    failed=$((failed + 1))
  fi
  kill -0 "$station" 2>/dev/null || { echo "unplug: the station died in cycle $i" >&2; exit 1; }
done

# Settle: a couple of answers more, then the descriptors again.
n=$(answers)
wait_until "[ \"\$(answers)\" -ge $((n + 2)) ]" 10 >/dev/null || true
fd_after=$(proc_fd_count "$station")
ls -l "/proc/$station/fd" > "$work/fds-after.txt"
[ "$fd_after" -eq "$fd_before" ] || { echo "unplug: $fd_before descriptors before, $fd_after after" >&2; failed=$((failed + 1)); }

awk -F, -v cycles="$cycles" -v fb="$fd_before" -v fa="$fd_after" -v msgs="$(grep -c ' message \| error ' "$log" || true)" '
  NR > 1 {
    n++; cpu += $3; gone += $4
    if ($5 > maxpct) maxpct = $5
    if ($2 > maxrel) maxrel = $2
    if ($6 > maxre) maxre = $6; re += $6
    if ($7 > maxans) maxans = $7; ans += $7
  }
  END {
    printf "unplug/replug loop: %d cycles\n", n
    printf "  dead port let go of within        max %.2f s\n", maxrel
    printf "  CPU while the line was gone       %.2f s over %.0f s: %.3f %% of one core on average, max %.2f %% in one cycle\n", cpu, gone, cpu / gone * 100, maxpct
    printf "  port open again after plug-in     mean %.2f s, max %.2f s\n", re / n, maxre
    printf "  first answer after plug-in        mean %.2f s, max %.2f s\n", ans / n, maxans
    printf "  descriptors                       %d before the loop, %d after\n", fb, fa
    printf "  messages shown by the station     %d\n", msgs
  }' "$csv"
echo "  failed cycles: $failed (details in $csv)"
[ "$failed" -eq 0 ]
