# Shared by the fault loops (sourced): a work directory with copies of the programs, a station
# home wired to a simulator link, and the simulator itself. Expects $build and $work.

# Copies qzmonitor, qzstation_probe and qzsim into $work/bin, so a rebuild during a loop
# cannot touch the programs under test.
copy_programs() {
  mkdir -p "$work/bin"
  local p
  for p in src/app/qzmonitor bench/faults/qzstation_probe tools/qzsim/qzsim; do
    [ -x "$build/$p" ] || { echo "$(basename "$0"): $build/$p missing (build it first)" >&2; exit 2; }
    cp "$build/$p" "$work/bin/"
  done
}

# make_home DIR LINK CHANNELS PERIOD_MS: settings for COM1 on LINK, the channel count and the
# storage period.
make_home() {
  mkdir -p "$1"
  printf '[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%s\r\n' "$2" > "$1/KTcom.ini"
  printf '%s\r\n%s\r\n' "$3" "$4" > "$1/Sys_Para.Pf"
}

# start_sim LINK [LOG]: starts qzsim serving the station's end at LINK; sets $sim.
start_sim() {
  "$work/bin/qzsim" --channels 16 --link "$1" >/dev/null 2>>"${2:-/dev/null}" &
  sim=$!
  wait_for_path "$1" 10 || { echo "$(basename "$0"): qzsim did not come up" >&2; exit 1; }
}

# The records of wwdd in DIR (the station must not hold it).
record_count() { sqlite3 "$1/wwdd.db" 'SELECT count(*) FROM wwdd;'; }
integrity() { sqlite3 "$1/wwdd.db" 'PRAGMA integrity_check;' 2>&1 | tr '\n' ' ' | sed 's/ $//'; }

now() { date +%s.%N; }
