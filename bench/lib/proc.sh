# Shared helpers of the fault loops and the soak (sourced, not run): process figures from
# /proc and small waits.

# CPU time (user + system) of a process in seconds, with two decimals.
proc_cpu_seconds() {
  local pid=$1 hz
  hz=$(getconf CLK_TCK)
  # Fields 14 and 15 of /proc/PID/stat, counted after the command name in parentheses.
  awk -v hz="$hz" '{ sub(/^.*\) /, ""); printf "%.2f\n", ($12 + $13) / hz }' "/proc/$pid/stat" 2>/dev/null || echo 0
}

# Resident memory in kB.
proc_rss_kb() {
  awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0
}

# Open descriptors.
proc_fd_count() {
  local n
  n=$(ls "/proc/$1/fd" 2>/dev/null | wc -l)
  echo "$n"
}

# Waits until a path exists (a symbolic link's target included), at most $2 seconds.
wait_for_path() {
  local path=$1 limit=$2 i
  for i in $(seq $((limit * 20))); do
    [ -e "$path" ] && return 0
    sleep 0.05
  done
  return 1
}
