#!/usr/bin/env bash
# Collector ingest: qzflood publishes --records `record` messages (32 channels) from 100
# station names as fast as the broker takes them; qzcollect writes them into PostgreSQL.
# Prints the rate into PostgreSQL (rows committed per second, from the first to the last row),
# the collector's resident memory every 5 s (it should stay flat), and the CPU time of each
# process, which says where the time goes. Then the same rows are written with psql's \copy
# into a table like qz_record (same primary key), in the same run on the same server: the
# floor of what PostgreSQL takes, and the collector's rate as a share of it (goal: at least
# 20,000 records/s).
#
# Usage: bench/site/ingest.sh [--records N] [--batch N] [--build DIR] [--work DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
records=1000000
batch=5000
build="${QZ_BUILD_DIR:-$here/build}"
work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --records) records="$2"; shift 2 ;;
    --batch) batch="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    *) sed -n '2,12p' "$0" >&2; exit 2 ;;
  esac
done
source "$here/bench/lib/proc.sh"
source "$here/bench/lib/site.sh"
[ -n "$work" ] || work="$(mktemp -d /tmp/qz-ingest.XXXXXX)"
need_programs ingest.sh "$build" "" tools/qzcollect/qzcollect bench/site/qzflood
broker=""; collector=""; flood=""
trap '[ -n "$flood" ] && kill "$flood" 2>/dev/null; [ -n "$collector" ] && kill "$collector" 2>/dev/null; [ -n "$broker" ] && kill "$broker" 2>/dev/null; stop_pg; wait 2>/dev/null || true' EXIT

# Time-based autosave: saving the broker's whole database on every change would measure the
# broker's disk, not the collector.
broker_conf 300
start_broker
start_pg
"$build/tools/qzcollect/qzcollect" --broker "127.0.0.1:$broker_port" --db "$pg_url" --batch "$batch" \
  2>"$work/collector.log" &
collector=$!
for i in $(seq 100); do grep -q "subscribed at" "$work/collector.log" && break; sleep 0.1; done

echo "ingest: $records records, batch $batch, work $work"
"$build/bench/site/qzflood" --port "$broker_port" --records "$records" --stations 100 >"$work/flood.log" 2>&1 &
flood=$!
start=$(now)
t_first=""; c_first=0; t_end=""
rss_list=""
last_count=0; still=0; n=0
while :; do
  sleep 1
  n=$((n + 1))
  count=$(psql_value "SELECT count(*) FROM qz_record"); count=${count:-0}
  if [ -z "$t_first" ] && [ "$count" -gt 0 ]; then t_first=$(now); c_first=$count; fi
  if [ $((n % 5)) -eq 0 ]; then
    rss_list="$rss_list $(proc_rss_kb "$collector")"
    printf 'ingest: %6.1f s  %9s rows  collector %s kB\n' "$(echo "$(now) - $start" | bc)" "$count" "$(proc_rss_kb "$collector")"
  fi
  if [ "$count" -ge "$records" ]; then t_end=$(now); break; fi
  if [ "$count" = "$last_count" ]; then still=$((still + 1)); else still=0; fi
  [ "$still" -ge 30 ] && { echo "ingest: no progress for 30 s" >&2; break; }
  last_count=$count
done
wait "$flood" || true; flood=""
cat "$work/flood.log"
if [ -n "$t_end" ] && [ -n "$t_first" ]; then
  echo "ingest: $(echo "($records - $c_first) / ($t_end - $t_first)" | bc) records/s into PostgreSQL (from the first committed row to the last)"
fi
echo "ingest: CPU seconds: collector $(proc_cpu_seconds "$collector"), broker $(proc_cpu_seconds "$broker"), postgres (all backends) $(ps -o cputimes= --ppid "$pg_pid" 2>/dev/null | awk '{s+=$1} END {print s+0}')"
kill -TERM "$collector"; wait "$collector" || true; collector=""
tail -1 "$work/collector.log"
echo "ingest: $(psql_value "SELECT count(*) FROM qz_record") rows in qz_record, $(psql_value "SELECT count(DISTINCT station) FROM qz_record") stations"
echo "ingest: collector RSS (kB) every 5 s:$rss_list"

# The floor: the same rows through \copy (COPY FROM STDIN of psql, one transaction).
rows=$(psql_value "SELECT count(*) FROM qz_record")
"$pg_bin/psql" -XAtq "$pg_url" -c "\\copy qz_record TO '$work/rows.copy'"
psql_value "CREATE TABLE qz_record_copy (LIKE qz_record INCLUDING ALL)" >/dev/null
c_start=$(now)
"$pg_bin/psql" -XAtq "$pg_url" -c "\\copy qz_record_copy FROM '$work/rows.copy'"
c_end=$(now)
copy_rate=$(echo "$rows / ($c_end - $c_start)" | bc)
echo "ingest: \\copy of the same $rows rows into a table like qz_record: $copy_rate rows/s"
if [ -n "$t_end" ] && [ -n "$t_first" ]; then
  rate=$(echo "($records - $c_first) / ($t_end - $t_first)" | bc)
  echo "ingest: collector $rate records/s = $(echo "scale=1; 100 * $rate / $copy_rate" | bc) % of \\copy (goal: at least 20000 records/s)"
fi
