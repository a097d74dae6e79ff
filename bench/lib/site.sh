# Shared by the site network scripts (sourced): a private mosquitto and a private PostgreSQL 15
# under $work, on free loopback ports, the way the tests start them. PostgreSQL runs as the
# `postgres` user when the script runs as root. Expects $work.

pg_bin=/usr/lib/postgresql/15/bin

# A loopback port nothing answers on (from the range the kernel does not hand out itself).
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 12000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}

# as_pg CMD...: runs a command as the postgres user when root, else as ourselves.
as_pg() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

# broker_conf AUTOSAVE: writes $work/broker/mosquitto.conf; AUTOSAVE "changes" saves the
# persistence file on every change (kill -9 loses least), a number saves every so many seconds.
broker_conf() {
  mkdir -p "$work/broker"
  [ -n "${broker_port:-}" ] || broker_port=$(free_port)
  {
    echo "listener $broker_port 127.0.0.1"
    echo "allow_anonymous true"
    echo "persistence true"
    echo "persistence_location $work/broker/"
    if [ "$1" = changes ]; then echo "autosave_on_changes true"; echo "autosave_interval 1"
    else echo "autosave_interval $1"; fi
    echo "max_queued_messages 0"
    echo "max_inflight_messages 0"
    echo "log_dest file $work/broker/mosquitto.log"
    [ "$(id -u)" -eq 0 ] && echo "user root"
  } > "$work/broker/mosquitto.conf"
}

# shipped_broker_conf ACCOUNT:PASSWORD...: writes $work/broker/mosquitto.conf from the broker
# configuration the package ships (packaging/mosquitto: accounts only, one per station, the ACL,
# client ids that are account names, TLS), its TLS listener on $broker_port and its plain
# loopback listener on $broker_plain_port, its files under $work/broker: a CA of its own
# ($broker_ca), the broker's certificate for 127.0.0.1, the accounts given. Needs $here.
shipped_broker_conf() {
  local d="$work/broker" a
  mkdir -p "$d/certs" "$d/ca_certificates"
  [ -n "${broker_port:-}" ] || broker_port=$(free_port)
  [ -n "${broker_plain_port:-}" ] || broker_plain_port=$(free_port)
  local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  openssl req -x509 "${ec[@]}" -days 2 -keyout "$d/ca.key" -out "$d/ca_certificates/qz-ca.crt" \
    -subj "/CN=qz bench CA" 2>/dev/null
  openssl req "${ec[@]}" -keyout "$d/certs/qz-broker.key" -out "$d/broker.csr" -subj "/CN=127.0.0.1" 2>/dev/null
  echo "subjectAltName=IP:127.0.0.1" > "$d/broker.ext"
  openssl x509 -req -in "$d/broker.csr" -CA "$d/ca_certificates/qz-ca.crt" -CAkey "$d/ca.key" -CAcreateserial \
    -days 2 -out "$d/certs/qz-broker.crt" -extfile "$d/broker.ext" 2>/dev/null
  rm -f "$d/qzmonitor.passwd"
  for a in "$@"; do
    if [ -f "$d/qzmonitor.passwd" ]; then mosquitto_passwd -b "$d/qzmonitor.passwd" "${a%%:*}" "${a#*:}"
    else mosquitto_passwd -c -b "$d/qzmonitor.passwd" "${a%%:*}" "${a#*:}"; fi
  done
  cp "$here/packaging/mosquitto/qzmonitor.acl" "$d/"
  {
    sed -e "s|^listener 8883\$|listener $broker_port 127.0.0.1|" \
        -e "s|^listener 1883 127.0.0.1\$|listener $broker_plain_port 127.0.0.1|" \
        -e "s|/etc/mosquitto/|$d/|g" "$here/packaging/mosquitto/qzmonitor.conf"
    echo "persistence_location $d/"
    echo "log_dest file $d/mosquitto.log"
    [ "$(id -u)" -eq 0 ] && echo "user root"
  } > "$d/mosquitto.conf"
  broker_ca="$d/ca_certificates/qz-ca.crt"
}

# start_broker: starts mosquitto from $work/broker/mosquitto.conf; sets $broker.
start_broker() {
  /usr/sbin/mosquitto -c "$work/broker/mosquitto.conf" >>"$work/broker/stderr.log" 2>&1 &
  broker=$!
  wait_for_port "$broker_port" 10 || { echo "$(basename "$0"): mosquitto did not come up" >&2; exit 1; }
}

# start_pg: initdb on the first call, then postgres; sets $pg_port, $pg_url, $pg_pid.
start_pg() {
  if [ ! -d "$work/pg/data" ]; then
    mkdir -p "$work/pg"
    # The postgres user must be able to reach its directory.
    [ "$(id -u)" -eq 0 ] && chmod a+x "$work" && chown postgres: "$work/pg"
    as_pg "$pg_bin/initdb" -D "$work/pg/data" -U postgres -A trust -E UTF8 --no-locale >/dev/null
    pg_port=$(free_port)
  fi
  as_pg "$pg_bin/postgres" -D "$work/pg/data" -p "$pg_port" -k '' -c listen_addresses=127.0.0.1 \
    >>"$work/pg/postgres.log" 2>&1 &
  pg_url="postgresql://postgres@127.0.0.1:$pg_port/postgres"
  local i
  for i in $(seq 600); do
    if "$pg_bin/pg_isready" -q -h 127.0.0.1 -p "$pg_port"; then
      pg_pid=$(head -1 "$work/pg/data/postmaster.pid")
      return 0
    fi
    sleep 0.1
  done
  echo "$(basename "$0"): postgres did not come up" >&2; exit 1
}

stop_pg() {
  [ -f "$work/pg/data/postmaster.pid" ] || return 0
  local pid; pid=$(head -1 "$work/pg/data/postmaster.pid")
  kill -INT "$pid" 2>/dev/null || true
  local i; for i in $(seq 300); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
}

# psql_value SQL: the first column of the first row.
psql_value() { "$pg_bin/psql" -XAtq "$pg_url" -c "$1" 2>/dev/null | head -1; }

wait_for_port() {
  local port=$1 limit=$2 i
  for i in $(seq $((limit * 20))); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

now() { date +%s.%N; }

# need_programs SCRIPT BUILD DEST PROGRAM...: each program (a path under the build tree) must be
# built; it is copied into DEST (when DEST is not empty), so a rebuild during a run changes nothing.
need_programs() {
  local script=$1 build=$2 dest=$3 p
  shift 3
  for p in "$@"; do
    [ -x "$build/$p" ] || { echo "$script: $build/$p missing (build it first)" >&2; exit 2; }
    if [ -n "$dest" ]; then cp "$build/$p" "$dest/"; fi
  done
}
