#!/usr/bin/env bash
# Collector ingest: qzflood publishes --records `record` messages (32 channels) from 100
# station names as fast as the broker takes them; qzcollect writes them into PostgreSQL.
# Prints the rate into PostgreSQL (rows committed per second, from the first to the last row),
# the collector's resident memory every 5 s (it should stay flat), and the CPU time of each
# process, which says where the time goes. Then the same rows are written with psql's \copy
# into a table like qz_record (same primary key), in the same run on the same server: the
# floor of what PostgreSQL takes, and the collector's rate as a share of it (goal: at least
# 20,000 records/s).
# The live rate cannot exceed what the publisher gets through the broker. So a second phase
# measures the collector alone: with the collector stopped, --backlog more records are queued
# at the broker (as after an outage), then the collector is started and drains them.
#
# Usage: bench/site/ingest.sh [--records N] [--backlog N] [--batch N] [--build DIR] [--work DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
records=1000000
backlog=300000
batch=5000
build="${QZ_BUILD_DIR:-$here/build}"
work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --records) records="$2"; shift 2 ;;
    --backlog) backlog="$2"; shift 2 ;;
    --batch) batch="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    *) sed -n '2,15p' "$0" >&2; exit 2 ;;
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

# The backlog: queued while the collector is away, drained when it comes back.
if [ "$backlog" -gt 0 ]; then
  "$build/bench/site/qzflood" --port "$broker_port" --records "$backlog" --stations 100 --prefix backlog >"$work/flood2.log" 2>&1
  cat "$work/flood2.log"
  "$build/tools/qzcollect/qzcollect" --broker "127.0.0.1:$broker_port" --db "$pg_url" --batch "$batch" \
    2>"$work/collector2.log" &
  collector=$!
  b_start=$(now); b_end=""; last=0; still=0
  while :; do
    sleep 0.5
    count=$(psql_value "SELECT count(*) FROM qz_record WHERE station LIKE 'backlog-%'"); count=${count:-0}
    if [ "$count" -ge "$backlog" ]; then b_end=$(now); break; fi
    if [ "$count" = "$last" ]; then still=$((still + 1)); else still=0; fi
    [ "$still" -ge 60 ] && { echo "ingest: backlog: no progress for 30 s" >&2; break; }
    last=$count
  done
  echo "ingest: collector RSS while draining: $(proc_rss_kb "$collector") kB"
  kill -TERM "$collector"; wait "$collector" || true; collector=""
  tail -1 "$work/collector2.log"
  if [ -n "$b_end" ]; then
    backlog_rate=$(echo "$backlog / ($b_end - $b_start)" | bc)
    echo "ingest: backlog of $backlog records drained at $backlog_rate records/s (from the collector's start, its connecting included)"
  fi
fi

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
  echo "ingest: collector live $rate records/s = $(echo "scale=1; 100 * $rate / $copy_rate" | bc) % of \\copy (goal: at least 20000 records/s)"
fi
if [ -n "${backlog_rate:-}" ]; then
  echo "ingest: collector draining a backlog $backlog_rate records/s = $(echo "scale=1; 100 * $backlog_rate / $copy_rate" | bc) % of \\copy"
fi
