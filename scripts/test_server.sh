#!/usr/bin/env bash
# A private MariaDB server for the database tests and the demo.
#
#   test_server.sh start DIR   create a fresh server under DIR, start it on a
#                              free loopback port, load the test data and
#                              write DIR/server.env
#   test_server.sh stop DIR    stop the server recorded in DIR and remove its
#                              data
#
# The server reads no option file (--no-defaults), listens on 127.0.0.1 only
# and on a unix socket under DIR, so it never meets the system's own server.
# DIR/server.env holds KEY=VALUE lines: HOST, PORT, SOCKET, USER, PASSWORD,
# DATABASE, PID, and the extra account EMPTY_USER (no password).
#
# Test data in the database kivrel_test:
#   samples(id, num, word, maybe)  five rows, read-only for the test user
#   empty_table(id)                no rows
#   scratch(id, num)               one row; the test user may change it
set -euo pipefail

readonly TEST_USER=kivrel
readonly TEST_PASSWORD=kivrel-Secret-1
readonly TEST_EMPTY_USER=kivrel_nopw
readonly TEST_DATABASE=kivrel_test
readonly START_TIMEOUT=60
readonly STOP_TIMEOUT=60

die() {
  echo "test_server.sh: $*" >&2
  exit 1
}

usage() {
  echo "usage: $0 start|stop DIR" >&2
  exit 2
}

find_program() {
  local name
  for name in "$@"; do
    if command -v "$name" >/dev/null 2>&1; then
      command -v "$name"
      return 0
    fi
    if [[ -x "/usr/sbin/$name" ]]; then
      echo "/usr/sbin/$name"
      return 0
    fi
  done
  return 1
}

# The socket may live outside DIR (see choose_socket); its folder is noted
# here so that stop can remove it.
socket_dir_note() { echo "$DIR/socket_dir"; }

read_env_value() {  # read_env_value KEY: value of KEY in server.env, if any
  local key=$1 line
  [[ -f "$DIR/server.env" ]] || return 0
  while IFS= read -r line; do
    if [[ "$line" == "$key="* ]]; then
      echo "${line#*=}"
      return 0
    fi
  done <"$DIR/server.env"
}

# Is PID a mariadbd working on our data directory? A recorded pid may have
# been reused by an unrelated process since; such a process is left alone.
is_our_server() {
  local pid=$1 args=""
  [[ "$pid" =~ ^[0-9]+$ ]] || return 1
  kill -0 "$pid" 2>/dev/null || return 1
  if [[ -r "/proc/$pid/cmdline" ]]; then
    args=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null || true)
  else
    args=$(ps -o args= -p "$pid" 2>/dev/null || true)
  fi
  [[ "$args" == *"--datadir=$DATADIR "* ]]
}

recorded_pid() {
  local pid=""
  if [[ -s "$DIR/server.pid" ]]; then
    pid=$(head -n1 "$DIR/server.pid" | tr -dc '0-9')
  fi
  if [[ -z "$pid" ]]; then
    pid=$(read_env_value PID)
  fi
  echo "$pid"
}

wait_gone() {  # wait_gone PID SECONDS: 0 when the process has ended
  local pid=$1 tenths=$(($2 * 10))
  while ((tenths > 0)); do
    is_our_server "$pid" || return 0
    # A zombie child of this shell (start failing) is reaped here.
    wait "$pid" 2>/dev/null || true
    sleep 0.1
    tenths=$((tenths - 1))
  done
  ! is_our_server "$pid"
}

stop_server() {
  local pid socket
  pid=$(recorded_pid)
  socket=$(read_env_value SOCKET)
  [[ -n "$socket" ]] || socket=${SOCKET:-}
  if [[ -z "$socket" ]]; then
    # A start that failed before writing server.env: the socket is where
    # choose_socket put it.
    if [[ -f "$(socket_dir_note)" ]]; then
      socket="$(cat "$(socket_dir_note)")/mysqld.sock"
    else
      socket="$DIR/mysqld.sock"
    fi
  fi
  if [[ -n "$pid" ]] && is_our_server "$pid"; then
    # An orderly shutdown over our own socket first; signals only as a
    # fallback (mariadbd also shuts down cleanly on TERM).
    local asked=0
    if [[ -S "$socket" ]] && "$ADMIN" --no-defaults --socket="$socket" \
      --user="$ADMIN_USER" --connect-timeout=5 shutdown >/dev/null 2>&1; then
      asked=1
    fi
    if ((asked == 0)) || ! wait_gone "$pid" "$STOP_TIMEOUT"; then
      ((asked == 0)) || echo "test_server.sh: server $pid did not shut down; sending TERM" >&2
      kill -TERM "$pid" 2>/dev/null || true
      if ! wait_gone "$pid" "$STOP_TIMEOUT"; then
        echo "test_server.sh: server $pid ignores TERM; sending KILL" >&2
        kill -KILL "$pid" 2>/dev/null || true
        wait_gone "$pid" 10 || die "cannot stop server $pid"
      fi
    fi
  fi
  if [[ -f "$(socket_dir_note)" ]]; then
    local sdir
    sdir=$(cat "$(socket_dir_note)")
    # Only a folder that this script made for a socket is removed.
    if [[ "$sdir" == */kivrel-sock.* && -d "$sdir" ]]; then
      rm -rf -- "$sdir"
    fi
    rm -f -- "$(socket_dir_note)"
  fi
  rm -rf -- "$DATADIR" "$DIR/tmp"
  rm -f -- "$DIR/server.env" "$DIR/server.pid" "$DIR/mysqld.sock"
}

# A unix socket path must fit sun_path (108 bytes with the terminator). A
# long DIR gets its socket in a short private folder under /tmp instead.
choose_socket() {
  local sock="$DIR/mysqld.sock" base sdir
  if ((${#sock} > 100)); then
    base=${TMPDIR:-/tmp}
    ((${#base} > 60)) && base=/tmp
    sdir=$(mktemp -d "$base/kivrel-sock.XXXXXX")
    echo "$sdir" >"$(socket_dir_note)"
    sock="$sdir/mysqld.sock"
  fi
  echo "$sock"
}

port_in_use() {
  # A successful connect means some server already listens there.
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

pick_port() {
  local port tries=0
  while ((tries < 200)); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    if ! port_in_use "$port"; then
      echo "$port"
      return 0
    fi
    tries=$((tries + 1))
  done
  die "no free TCP port found on 127.0.0.1"
}

# Start mariadbd on PORT in the background; 0 when it answers on the socket,
# 1 when it lost a race for the port, and the script ends on other failures.
launch() {
  local port=$1 pid tenths=$((START_TIMEOUT * 10)) logstart
  logstart=$(($(wc -l <"$DIR/error.log") + 1))
  local -a args=(
    --no-defaults
    --datadir="$DATADIR"
    --tmpdir="$DIR/tmp"
    --socket="$SOCKET"
    --bind-address=127.0.0.1
    --port="$port"
    --pid-file="$DIR/server.pid"
    --log-error="$DIR/error.log"
    # Accounts are matched by address: the test user has entries for
    # 'localhost' (socket) and '127.0.0.1' (TCP), and no lookups can stall.
    --skip-name-resolve
    --skip-log-bin
    --skip-slave-start
    --innodb-buffer-pool-size=16M
    --innodb-log-file-size=8M
    --innodb-flush-log-at-trx-commit=2
    --innodb-doublewrite=0
    --max-connections=64
    --performance-schema=OFF
    --loose-skip-feedback
  )
  ((EUID == 0)) && args+=(--user=root)
  # A session of its own and no inherited descriptors, so that whoever runs
  # this script (ctest, a terminal) does not wait for the server to end.
  setsid "$MARIADBD" "${args[@]}" </dev/null >>"$DIR/error.log" 2>&1 &
  pid=$!
  while ((tenths > 0)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid" 2>/dev/null || true
      if tail -n "+$logstart" "$DIR/error.log" | grep -qi "address already in use"; then
        return 1
      fi
      echo "test_server.sh: the server ended during start-up; its log:" >&2
      tail -n "+$logstart" "$DIR/error.log" >&2
      exit 1
    fi
    if "$ADMIN" --no-defaults --socket="$SOCKET" --user="$ADMIN_USER" \
      --connect-timeout=2 ping >/dev/null 2>&1; then
      SERVER_PID=$pid
      return 0
    fi
    sleep 0.1
    tenths=$((tenths - 1))
  done
  echo "test_server.sh: the server did not answer within ${START_TIMEOUT}s; its log:" >&2
  tail -n "+$logstart" "$DIR/error.log" >&2
  kill -TERM "$pid" 2>/dev/null || true
  wait_gone "$pid" 30 || kill -KILL "$pid" 2>/dev/null || true
  exit 1
}

load_test_data() {
  "$CLIENT" --no-defaults --socket="$SOCKET" --user="$ADMIN_USER" <<SQL
CREATE DATABASE $TEST_DATABASE;
USE $TEST_DATABASE;
CREATE TABLE samples (
  id INT PRIMARY KEY,
  num INT NOT NULL,
  word VARCHAR(20) NOT NULL,
  maybe DOUBLE NULL
);
INSERT INTO samples VALUES
  (1, 15, 'fifteen', 1.5),
  (2, 5, 'five', NULL),
  (3, 25, 'twenty-five', -2.25),
  (4, -3, 'abc', 0),
  (5, 0, '12abc', NULL);
CREATE TABLE empty_table (id INT PRIMARY KEY);
CREATE TABLE scratch (id INT PRIMARY KEY, num INT NOT NULL);
INSERT INTO scratch VALUES (1, 0);

CREATE USER '$TEST_USER'@'localhost' IDENTIFIED BY '$TEST_PASSWORD';
CREATE USER '$TEST_USER'@'127.0.0.1' IDENTIFIED BY '$TEST_PASSWORD';
CREATE USER '$TEST_EMPTY_USER'@'localhost';
CREATE USER '$TEST_EMPTY_USER'@'127.0.0.1';
GRANT SELECT ON $TEST_DATABASE.* TO
  '$TEST_USER'@'localhost', '$TEST_USER'@'127.0.0.1',
  '$TEST_EMPTY_USER'@'localhost', '$TEST_EMPTY_USER'@'127.0.0.1';
GRANT INSERT, UPDATE, DELETE ON $TEST_DATABASE.scratch TO
  '$TEST_USER'@'localhost', '$TEST_USER'@'127.0.0.1';
-- What a monitoring account needs for server status and replica status.
GRANT PROCESS, SLAVE MONITOR ON *.* TO
  '$TEST_USER'@'localhost', '$TEST_USER'@'127.0.0.1';
FLUSH PRIVILEGES;
SQL
}

start_server() {
  # A server left over from an earlier run is stopped first.
  stop_server
  rm -f -- "$DIR/error.log"
  mkdir -p -- "$DATADIR" "$DIR/tmp"
  : >"$DIR/error.log"
  SOCKET=$(choose_socket)
  rm -f -- "$SOCKET"

  local -a install_args=(
    --no-defaults
    --datadir="$DATADIR"
    --auth-root-authentication-method=socket
    --auth-root-socket-user="$ADMIN_USER"
    --skip-test-db
    --skip-name-resolve
    --innodb-log-file-size=8M
  )
  ((EUID == 0)) && install_args+=(--user=root)
  if ! "$INSTALL_DB" "${install_args[@]}" >"$DIR/install.log" 2>&1; then
    cat "$DIR/install.log" >&2
    die "mariadb-install-db failed"
  fi

  local port attempt=0
  SERVER_PID=""
  while :; do
    port=$(pick_port)
    if launch "$port"; then
      break
    fi
    attempt=$((attempt + 1))
    ((attempt < 10)) || die "lost the race for a free port ten times"
  done

  # From here on a failure stops the server again.
  trap 'stop_server' ERR
  load_test_data
  local pid
  pid=$(recorded_pid)
  [[ -n "$pid" ]] || pid=$SERVER_PID
  cat >"$DIR/server.env.tmp" <<ENV
HOST=127.0.0.1
PORT=$port
SOCKET=$SOCKET
USER=$TEST_USER
PASSWORD=$TEST_PASSWORD
DATABASE=$TEST_DATABASE
EMPTY_USER=$TEST_EMPTY_USER
PID=$pid
ENV
  mv -f -- "$DIR/server.env.tmp" "$DIR/server.env"
  trap - ERR
  echo "test server $pid listening on 127.0.0.1:$port and $SOCKET"
}

[[ $# -eq 2 ]] || usage
ACTION=$1
[[ -n "$2" ]] || usage
mkdir -p -- "$2"
DIR=$(cd -- "$2" && pwd -P)
readonly DIR
DATADIR="$DIR/data"
SOCKET=""
MARIADBD=$(find_program mariadbd mysqld) || die "mariadbd not found (install mariadb-server)"
INSTALL_DB=$(find_program mariadb-install-db mysql_install_db) || die "mariadb-install-db not found"
ADMIN=$(find_program mariadb-admin mysqladmin) || die "mariadb-admin not found (install mariadb-client)"
CLIENT=$(find_program mariadb mysql) || die "mariadb client not found (install mariadb-client)"
# The server's administrator logs in over the socket as the user running
# this script (unix_socket authentication); it has no password at all.
ADMIN_USER=$(id -un)

case "$ACTION" in
  start) start_server ;;
  stop) stop_server ;;
  *) usage ;;
esac
