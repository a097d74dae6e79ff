#!/usr/bin/env bash
# Runs the ExecStart of a systemd service unit and starts it again the way systemd's service
# manager does, for machines where no systemd user manager can run: Restart= (no, on-failure,
# always), RestartSec=, RestartPreventExitStatus= and the start rate limit
# (StartLimitIntervalSec=, StartLimitBurst=). On-failure counts a non-zero exit status and
# death by a signal other than SIGHUP, SIGINT, SIGTERM and SIGPIPE.
#
# Usage: supervise.sh UNIT_FILE PID_FILE
# PID_FILE holds the id of the running process (systemctl show -p MainPID). SIGTERM ends the
# process and the supervisor. Exit status 1 when the rate limit gave up.
set -u
unit=$1
pidfile=$2

setting() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
seconds() { local v=${1%s}; echo "${v:-0}"; }

exec_start=$(setting ExecStart)
restart=$(setting Restart)
restart=${restart:-no}
restart_sec=$(seconds "$(setting RestartSec)")
[ "$restart_sec" = 0 ] && restart_sec=0.1
prevent=" $(setting RestartPreventExitStatus) "
interval=$(seconds "$(setting StartLimitIntervalSec)")
[ "$interval" = 0 ] && interval=10
burst=$(setting StartLimitBurst)
burst=${burst:-5}
if [ -z "$exec_start" ]; then
  echo "supervise: no ExecStart= in $unit" >&2
  exit 2
fi
read -r -a command <<< "$exec_start"

child=0
stop() {
  if [ "$child" -gt 0 ]; then
    kill -TERM "$child" 2>/dev/null
    wait "$child" 2>/dev/null
  fi
  rm -f "$pidfile"
  exit 0
}
trap stop TERM INT

starts=()
while :; do
  now=$(date +%s)
  kept=()
  for t in "${starts[@]+"${starts[@]}"}"; do
    [ $((now - t)) -lt "$interval" ] && kept+=("$t")
  done
  starts=("${kept[@]+"${kept[@]}"}")
  if [ "${#starts[@]}" -ge "$burst" ]; then
    echo "supervise: start request repeated too quickly, giving up" >&2
    rm -f "$pidfile"
    exit 1
  fi
  starts+=("$now")

  "${command[@]}" &
  child=$!
  echo "$child" > "$pidfile.new" && mv "$pidfile.new" "$pidfile"
  echo "supervise: started ${command[0]} as $child" >&2
  wait "$child"
  status=$?
  child=0
  rm -f "$pidfile"
  echo "supervise: process ended with status $status" >&2

  again=0
  case "$restart" in
    always) again=1 ;;
    on-failure)
      case "$status" in
        0 | 129 | 130 | 141 | 143) again=0 ;; # success, or SIGHUP, SIGINT, SIGPIPE, SIGTERM
        *) again=1 ;;
      esac ;;
  esac
  [[ "$prevent" == *" $status "* ]] && again=0
  [ "$again" = 1 ] || exit 0
  sleep "$restart_sec"
done
