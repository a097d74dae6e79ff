#!/usr/bin/env bash
# Site network under faults: three stations, each with its own home (storing every second)
# publishing to a private mosquitto (persistence on, saved on every change); qzcollect writes
# into a private PostgreSQL 15. During --seconds (600) the broker is killed (-9) and restarted
# 5 times, the collector 5 times, PostgreSQL twice and station 1 twice. Afterwards:
#   - every wwdd record of every station is in qz_record exactly once, with equal values
#     (compared as epoch milliseconds and values rounded to the stored 3 decimals);
#   - every journal event (Data/events.db, when the station keeps one) is in qz_event;
#   - the lag after the last recovery: seconds until PostgreSQL held every record stored
#     before that moment (goal: under 10 s).
#
# --station qzmonitor (default) runs the real station offscreen (qzmonitor --home --start) on
# its own qzsim, with [mqtt] in its KTcom.ini; --station sitelink runs bench_sitelink, the
# publisher with the station's storing cadence and no serial line.
#
# Usage: bench/site/proof.sh [--seconds 600] [--station qzmonitor|sitelink] [--build DIR] [--work DIR]
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
    *) sed -n '2,19p' "$0" >&2; exit 2 ;;
  esac
done
source "$here/bench/lib/proc.sh"
source "$here/bench/lib/site.sh"
[ -n "$work" ] || work="$(mktemp -d /tmp/qz-proof.XXXXXX)"
mkdir -p "$work/bin"
needed="tools/qzcollect/qzcollect"
case "$station_kind" in
  qzmonitor) needed="$needed src/app/qzmonitor tools/qzsim/qzsim" ;;
  sitelink) needed="$needed bench/site/bench_sitelink" ;;
  *) echo "proof.sh: --station qzmonitor or sitelink" >&2; exit 2 ;;
esac
need_programs proof.sh "$build" "$work/bin" $needed

log() { printf '[%5.0f s] %s\n' "$(echo "$(now) - $t0" | bc)" "$*" | tee -a "$work/proof.log"; }

declare -a station_pid sim_pid
broker=""; collector=""
cleanup() {
  local p
  for p in "${station_pid[@]:-}" "${sim_pid[@]:-}" "$collector" "$broker"; do
    [ -n "$p" ] && kill "$p" 2>/dev/null || true
  done
  sleep 1
  for p in "${station_pid[@]:-}" "${sim_pid[@]:-}" "$collector" "$broker"; do
    [ -n "$p" ] && kill -9 "$p" 2>/dev/null || true
  done
  stop_pg
  wait 2>/dev/null || true
}
trap cleanup EXIT

broker_conf changes
start_broker
start_pg

start_collector() {
  "$work/bin/qzcollect" --broker "127.0.0.1:$broker_port" --db "$pg_url" 2>>"$work/collector.log" &
  collector=$!
}

home_of() { echo "$work/station$1"; }

make_station_home() {
  local n=$1 home; home=$(home_of "$n")
  mkdir -p "$home/Data"
  printf '[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%s\r\n[mqtt]\r\nHost=127.0.0.1\r\nPort=%s\r\nStation=proof-%s\r\n' \
    "$work/tty$n" "$broker_port" "$n" > "$home/KTcom.ini"
  printf '16\r\n1000\r\n' > "$home/Sys_Para.Pf"
}

start_station() {
  local n=$1 home; home=$(home_of "$n")
  if [ "$station_kind" = qzmonitor ]; then
    QT_QPA_PLATFORM=offscreen "$work/bin/qzmonitor" --home "$home" --start >>"$home/station.out" 2>>"$home/station.err" &
  else
    "$work/bin/bench_sitelink" --home "$home" --seconds 100000 --period-ms 1000 >>"$home/station.out" 2>>"$home/station.err" &
  fi
  station_pid[$n]=$!
}

# The collector's session must exist before the stations publish.
start_collector
for i in $(seq 100); do grep -q "subscribed at" "$work/collector.log" 2>/dev/null && break; sleep 0.1; done
for n in 1 2 3; do
  make_station_home "$n"
  if [ "$station_kind" = qzmonitor ]; then
    "$work/bin/qzsim" --channels 16 --link "$work/tty$n" >/dev/null 2>>"$work/qzsim$n.err" &
    sim_pid[$n]=$!
    wait_for_path "$work/tty$n" 10
  fi
  start_station "$n"
done
t0=$(now)
log "work $work; broker :$broker_port, PostgreSQL :$pg_port; stations: $station_kind"

# The faults, as seconds from the start: what, when.
schedule=$(awk -v s="$seconds" 'BEGIN {
  for (i = 1; i <= 5; i++) printf "broker %d\n", s * (0.10 + 0.15 * (i - 1));
  for (i = 1; i <= 5; i++) printf "collector %d\n", s * (0.15 + 0.15 * (i - 1));
  printf "postgres %d\npostgres %d\n", s * 0.20, s * 0.50;
  printf "station %d\nstation %d\n", s * 0.33, s * 0.66;
}' | sort -k2 -n)

last_recovery=""
while read -r what at; do
  while [ "$(echo "$(now) - $t0 < $at" | bc)" = 1 ]; do sleep 0.2; done
  case "$what" in
    broker)
      kill -9 "$broker"; wait "$broker" 2>/dev/null || true
      log "broker killed"; sleep 3; start_broker; log "broker restarted" ;;
    collector)
      kill -9 "$collector"; wait "$collector" 2>/dev/null || true
      log "collector killed"; sleep 3; start_collector; log "collector restarted" ;;
    postgres)
      kill -9 "$pg_pid"; sleep 1
      log "PostgreSQL killed"; sleep 4; start_pg; log "PostgreSQL restarted (crash recovery done)" ;;
    station)
      kill -9 "${station_pid[1]}"; wait "${station_pid[1]}" 2>/dev/null || true
      log "station 1 killed"; sleep 3; start_station 1; log "station 1 restarted" ;;
  esac
  last_recovery=$(now)
done <<< "$schedule"

wwdd_count() { sqlite3 "$(home_of "$1")/wwdd.db" 'SELECT count(*) FROM wwdd;' 2>/dev/null || echo 0; }
pg_count() { psql_value "SELECT count(*) FROM qz_record WHERE station = 'proof-$1'"; }

# Lag: until PostgreSQL holds what each station had stored at the last recovery.
declare -a target
for n in 1 2 3; do target[$n]=$(wwdd_count "$n"); done
lag=""
while [ "$(echo "$(now) - $last_recovery < 120" | bc)" = 1 ]; do
  ok=1
  for n in 1 2 3; do [ "$(pg_count "$n")" -ge "${target[$n]}" ] || ok=0; done
  if [ $ok = 1 ]; then lag=$(echo "$(now) - $last_recovery" | bc); break; fi
  sleep 0.2
done
log "lag after the last recovery: ${lag:-more than 120} s (goal under 10 s)"

while [ "$(echo "$(now) - $t0 < $seconds" | bc)" = 1 ]; do sleep 1; done

# The comparison covers what each station had stored at this moment (they go on storing).
epoch_ms="(CAST(strftime('%s', datim, 'utc') AS INTEGER) * 1000 + CAST(substr(datim, 21, 3) AS INTEGER))"
declare -a cut
for n in 1 2 3; do cut[$n]=$(sqlite3 "$(home_of "$n")/wwdd.db" "SELECT max($epoch_ms) FROM wwdd;"); done
log "comparing the records stored up to now"

failures=0
for n in 1 2 3; do
  home=$(home_of "$n")
  want=$(sqlite3 "$home/wwdd.db" "SELECT count(*) FROM wwdd WHERE $epoch_ms <= ${cut[$n]};")
  for i in $(seq 60); do
    [ "$(psql_value "SELECT count(*) FROM qz_record WHERE station = 'proof-$n' AND (extract(epoch FROM datim) * 1000)::bigint <= ${cut[$n]}")" -ge "$want" ] && break
    sleep 0.5
  done
  # One line per record: epoch milliseconds and 32 values rounded to 3 decimals ('' for none).
  vals_sqlite=""; vals_pg=""
  for k in $(seq 32); do
    vals_sqlite="$vals_sqlite || '|' || CASE WHEN aa$k IS NULL OR trim(aa$k) = '' OR CAST(aa$k AS REAL) = -1000 THEN '' ELSE printf('%.3f', CAST(aa$k AS REAL)) END"
    vals_pg="$vals_pg || '|' || coalesce(to_char(round(aa$k::numeric, 3), 'FM999999990.000'), '')"
  done
  sqlite3 "$home/wwdd.db" "SELECT $epoch_ms $vals_sqlite FROM wwdd WHERE $epoch_ms <= ${cut[$n]} ORDER BY 1;" > "$work/wwdd$n.txt"
  "$pg_bin/psql" -XAtq "$pg_url" -c "SELECT (extract(epoch FROM datim) * 1000)::bigint::text $vals_pg FROM qz_record WHERE station = 'proof-$n' AND (extract(epoch FROM datim) * 1000)::bigint <= ${cut[$n]} ORDER BY 1;" > "$work/pg$n.txt"
  if cmp -s "$work/wwdd$n.txt" "$work/pg$n.txt"; then
    log "station $n: $(wc -l < "$work/wwdd$n.txt") records in wwdd, the same in qz_record once each, values equal"
  else
    failures=$((failures + 1))
    diff "$work/wwdd$n.txt" "$work/pg$n.txt" > "$work/diff$n.txt" || true
    log "station $n: MISMATCH: wwdd $(wc -l < "$work/wwdd$n.txt"), qz_record $(wc -l < "$work/pg$n.txt") (see $work/diff$n.txt)"
  fi
  if [ -f "$home/Data/events.db" ]; then
    ev_want=$(sqlite3 "$home/Data/events.db" 'SELECT count(*) FROM events;')
    for i in $(seq 20); do
      ev_have=$(psql_value "SELECT count(*) FROM qz_event WHERE station = 'proof-$n'")
      [ "$ev_have" -ge "$ev_want" ] && break; sleep 0.5
    done
    if [ "$ev_want" = "$ev_have" ]; then log "station $n: $ev_want journal events, all in qz_event"
    else failures=$((failures + 1)); log "station $n: MISMATCH: $ev_want journal events, $ev_have in qz_event"; fi
  else
    log "station $n: no event journal"
  fi
done
for n in 1 2 3; do kill -TERM "${station_pid[$n]}" 2>/dev/null || true; done
for n in 1 2 3; do wait "${station_pid[$n]}" 2>/dev/null || true; station_pid[$n]=""; done
sleep 1
log "stations stopped; online in qz_station: $(psql_value "SELECT string_agg(name || '=' || online, ' ' ORDER BY name) FROM qz_station")"
log "collector CPU $(proc_cpu_seconds "$collector") s, RSS $(proc_rss_kb "$collector") kB; broker CPU $(proc_cpu_seconds "$broker") s"
log "collector: $(grep -c "dropped a message\|refused a row" "$work/collector.log" || true) messages dropped or refused"
[ $failures -eq 0 ] && log "PASS" || log "FAIL ($failures)"
exit $failures
