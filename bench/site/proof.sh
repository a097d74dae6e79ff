#!/usr/bin/env bash
# Site network under faults: three stations, each with its own home (storing every second)
# publishing over TLS with accounts of their own to a private mosquitto that runs the broker
# configuration the package ships (packaging/mosquitto; persistence on, saved on every change);
# qzcollect, on its own broker account and its own PostgreSQL role (lock_timeout 2 s), writes
# into a private PostgreSQL 15. During --seconds (600) the broker is killed (-9) and restarted
# 5 times, the collector 5 times, PostgreSQL twice and station 1 twice. Then two more phases,
# each followed by a check that every record each station stored is in qz_record, once:
#   - database faults, 10 s each: INSERT revoked from the collector's role (42501), the server
#     read-only (25006), qz_record locked beyond the collector's lock_timeout (55P03); nothing
#     may be refused as bad data meanwhile;
#   - poison, sent by an intruder account: a message of 17 MiB, a record of 31 February, an
#     event with a NUL, a record forged for station 1; the date and the NUL must land in
#     qz_rejected, the forged record nowhere.
# Afterwards:
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
    *) sed -n '2,26p' "$0" >&2; exit 2 ;;
  esac
done
source "$here/bench/lib/proc.sh"
source "$here/bench/lib/site.sh"
[ -n "$work" ] || work="$(mktemp -d /tmp/qz-proof.XXXXXX)"
mkdir -p "$work/bin"
needed="tools/qzcollect/qzcollect bench/site/qzflood"
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

# One account per station, the collector's, and an intruder's (a station account no station uses).
shipped_broker_conf qzcollect:collector-pw proof-1:station-pw-1 proof-2:station-pw-2 proof-3:station-pw-3 \
  intruder:intruder-pw
start_broker
start_pg
# The collector's own role: not a superuser, so permissions count.
psql_value "CREATE ROLE qzcollector LOGIN" >/dev/null
psql_value "GRANT CREATE ON SCHEMA public TO qzcollector" >/dev/null
collector_url="postgresql://qzcollector@127.0.0.1:$pg_port/postgres?options=-c%20lock_timeout%3D2000"

start_collector() {
  QZ_MQTT_PASSWORD=collector-pw "$work/bin/qzcollect" --broker "127.0.0.1:$broker_port" --tls --cafile "$broker_ca" \
    --user qzcollect --db "$collector_url" 2>>"$work/collector.log" &
  collector=$!
}

home_of() { echo "$work/station$1"; }

make_station_home() {
  local n=$1 home; home=$(home_of "$n")
  mkdir -p "$home/Data"
  printf '[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%s\r\n[mqtt]\r\nHost=127.0.0.1\r\nPort=%s\r\nStation=proof-%s\r\nUser=proof-%s\r\nPassword=station-pw-%s\r\nTLS=1\r\nCAFile=%s\r\n' \
    "$work/tty$n" "$broker_port" "$n" "$n" "$n" "$broker_ca" > "$home/KTcom.ini"
  chmod 600 "$home/KTcom.ini"
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

epoch_ms="(CAST(strftime('%s', datim, 'utc') AS INTEGER) * 1000 + CAST(substr(datim, 21, 3) AS INTEGER))"
pg_ms="(extract(epoch FROM datim) * 1000)::bigint"
failures=0

# check_equal PHASE: every record each station has stored by now is in qz_record, exactly once.
check_equal() {
  local phase=$1 n cut want have i
  for n in 1 2 3; do
    cut=$(sqlite3 "$(home_of "$n")/wwdd.db" "SELECT max($epoch_ms) FROM wwdd;")
    want=$(sqlite3 "$(home_of "$n")/wwdd.db" "SELECT count(*) FROM wwdd WHERE $epoch_ms <= $cut;")
    for i in $(seq 240); do
      have=$(psql_value "SELECT count(*) FROM qz_record WHERE station = 'proof-$n' AND $pg_ms <= $cut")
      [ "$have" = "$want" ] && break
      sleep 0.5
    done
    if [ "$have" = "$want" ]; then log "$phase: station $n: $want records stored, the same $have in qz_record"
    else failures=$((failures + 1)); log "$phase: station $n: MISMATCH: $want records stored, $have in qz_record"; fi
  done
}

# Database faults, 10 s each, while the stations go on storing.
rejected_before=$(psql_value "SELECT count(*) FROM qz_rejected")
log "database faults: INSERT revoked from the collector's role for 10 s (42501)"
psql_value "REVOKE INSERT ON qz_record, qz_event, qz_station, qz_rejected FROM qzcollector" >/dev/null
sleep 10
psql_value "GRANT INSERT ON qz_record, qz_event, qz_station, qz_rejected TO qzcollector" >/dev/null
check_equal "after 42501"
log "database faults: the server read-only for 10 s (25006)"
psql_value "ALTER SYSTEM SET default_transaction_read_only = on" >/dev/null
psql_value "SELECT pg_reload_conf()" >/dev/null
sleep 10
psql_value "ALTER SYSTEM RESET default_transaction_read_only" >/dev/null
psql_value "SELECT pg_reload_conf()" >/dev/null
check_equal "after 25006"
log "database faults: qz_record locked for 10 s (55P03 beyond the collector's lock_timeout of 2 s)"
"$pg_bin/psql" -XAtq "$pg_url" -c "BEGIN; LOCK TABLE qz_record IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep(10); COMMIT;" >/dev/null
check_equal "after 55P03"
for state in 42501 25006 55P03; do
  log "collector: SQLSTATE $state reported $(grep -c "cannot take the batch (SQLSTATE $state" "$work/collector.log" || true) time(s)"
done
rejected_after=$(psql_value "SELECT count(*) FROM qz_rejected")
if [ "$rejected_after" = "$rejected_before" ]; then log "database faults: nothing refused as bad data"
else failures=$((failures + 1)); log "database faults: MISMATCH: $((rejected_after - rejected_before)) rows went to qz_rejected"; fi

# Poison, from an account that is no running station's.
poison() { QZ_MQTT_PASSWORD=intruder-pw "$work/bin/qzflood" --port "$broker_port" --cafile "$broker_ca" --user intruder "$@" 2>&1; }
log "poison: $(poison --publish qz/intruder/event --payload-size $((17 << 20)))"
log "poison: $(poison --publish qz/intruder/record --payload '{"datim":"2026-02-31T08:00:00.000+08:00","values":[1]}')"
log "poison: $(poison --publish qz/intruder/event --payload '{"id":1,"time":"2026-03-01T08:00:00.000+08:00","source":"s","channel":null,"name":"a\u0000b","kind":"k","value":null,"transition":"t","user":"","detail":""}')"
log "poison: $(poison --publish qz/proof-1/record --payload '{"datim":"2030-01-01T00:00:00.000+08:00","values":[666]}')"
check_equal "after the poison"
expect() { # WHAT EXPECTED SQL
  local have; have=$(psql_value "$3")
  if [ "$have" = "$2" ]; then log "poison: $1: $have, as it should"
  else failures=$((failures + 1)); log "poison: MISMATCH: $1: $have, not $2"; fi
}
for i in $(seq 20); do [ "$(psql_value "SELECT count(*) FROM qz_rejected WHERE topic LIKE 'qz/intruder/%'")" -ge 2 ] && break; sleep 0.5; done
expect "the 31 February in qz_rejected" 1 "SELECT count(*) FROM qz_rejected WHERE topic = 'qz/intruder/record' AND error LIKE '%real time%'"
expect "the NUL in qz_rejected" 1 "SELECT count(*) FROM qz_rejected WHERE topic = 'qz/intruder/event' AND error LIKE '%NUL%'"
expect "the 17 MiB message, kept back by the broker" 0 "SELECT count(*) FROM qz_rejected WHERE length(payload) > 60000"
expect "the forged record, stored" 0 "SELECT count(*) FROM qz_record WHERE station = 'proof-1' AND aa1 = 666"
expect "the forged record, in qz_rejected" 0 "SELECT count(*) FROM qz_rejected WHERE topic = 'qz/proof-1/record'"

while [ "$(echo "$(now) - $t0 < $seconds" | bc)" = 1 ]; do sleep 1; done

# The comparison covers what each station had stored at this moment (they go on storing).
declare -a cut
for n in 1 2 3; do cut[$n]=$(sqlite3 "$(home_of "$n")/wwdd.db" "SELECT max($epoch_ms) FROM wwdd;"); done
log "comparing the records stored up to now"

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
log "collector: $(grep -c "refused a message" "$work/collector.log" || true) messages refused into qz_rejected (logged one by one)"
[ $failures -eq 0 ] && log "PASS" || log "FAIL ($failures)"
exit $failures
