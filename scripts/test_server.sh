#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Private MariaDB servers for the database tests and the demo: a primary, a
# second primary ("east") and a replica that copies both; and, apart from
# them, a three-node Galera cluster.
#
#   test_server.sh start DIR   create fresh servers under DIR, each on a free
#                              loopback port, load the test data into the
#                              primary, wait until the replica has it too, and
#                              write DIR/server.env
#   test_server.sh stop DIR [ROLE...]
#                              stop the servers recorded in DIR (replica
#                              first), or only those of the ROLEs named, and
#                              remove their data, sockets and TLS files;
#                              harmless when nothing runs
#   test_server.sh sql DIR ROLE SQL
#                              run SQL as the administrator of the server ROLE
#                              (primary, replica, east, node1, node2, node3)
#                              and print the result (batch output without
#                              column names)
#   test_server.sh cluster DIR start a Galera cluster of three nodes under DIR
#                              (see "The cluster" below) and write
#                              DIR/server.env
#   test_server.sh restart DIR primary|replica
#                              stop that server (by its pid) and start it
#                              again on its data, port and socket, and update
#                              its pid in DIR/server.env; then wait until the
#                              replica runs and has caught up again
#   test_server.sh sync DIR [SECONDS]
#                              wait until the replica has applied everything
#                              the primary has logged (default 30 s); fails on
#                              timeout, e.g. while its SQL thread is stopped
#
# The servers read no option file (--no-defaults), listen on 127.0.0.1 only
# and on unix sockets, so they never meet the system's own server. Each
# administrator is the user running this script, over the socket and without
# a password (unix_socket authentication).
#
# The primary (server id 1) keeps a binary log and offers TLS with
# certificates made at start under DIR/tls: a CA, a server certificate for
# localhost and 127.0.0.1 and a client certificate, both signed by the CA.
# The replica (server id 2, read-only, no binary log, no TLS) replicates from
# the primary over TCP by GTID; once start returns, both replication threads
# run and it has caught up, so it lags 0 seconds.
#
# The second primary, east (server id 3, GTID domain 1, binary log, no TLS),
# holds the database kivrel_east with the table rows(id), empty. The replica
# copies it through its named connection 'east', beside the default
# connection to the primary (GTID domain 0); once start returns, that
# connection runs and has caught up too. check_dbhealth -S, and any client
# that asks for one replica status, sees the default connection only.
#
# DIR/server.env holds KEY=VALUE lines:
#   HOST, PORT, SOCKET, PID       the primary (HOST is 127.0.0.1)
#   REPLICA_PORT, REPLICA_SOCKET, REPLICA_PID
#                                 the replica, on the same HOST
#   EAST_PORT, EAST_SOCKET, EAST_PID
#                                 the second primary, on the same HOST
#   USER, PASSWORD                the test user
#   EMPTY_USER                    a test user without a password
#   SSL_USER, SSL_PASSWORD        a test user that must use TLS
#   X509_USER, X509_PASSWORD      a test user that must show a client
#                                 certificate signed by the CA
#   TLS_CA, TLS_CLIENT_CERT, TLS_CLIENT_KEY
#                                 absolute paths of the CA certificate and of
#                                 the client certificate and its key
#   DATABASE                      the test database
# All test users exist for 'localhost' (socket) and '127.0.0.1' (TCP) on both
# servers (SSL_USER and X509_USER can log in to the primary only, as the
# replica offers no TLS). Every one may read the test database; all but
# EMPTY_USER have PROCESS and SLAVE MONITOR for server and replica status;
# USER may also change the table scratch (on the primary; the replica is
# read-only). The replica connects as kivrel_repl@127.0.0.1, an account with
# REPLICATION SLAVE only.
#
# Test data in the database kivrel_test:
#   samples(id, num, word, maybe)  five rows, read-only for the test users
#   empty_table(id)                no rows
#   scratch(id, num)               one row; the test user may change it
#
# The cluster: three MariaDB nodes with the Galera provider (wsrep), each on
# loopback ports of its own for clients, group communication, incremental
# and full state transfer. node1 starts a new cluster; node2 and node3 join
# it by a full state transfer with rsync. Once cluster returns, all three
# are Synced in one Primary component of size 3. Its DIR/server.env holds
# HOST, USER and PASSWORD (the test user, who may log in to every node and
# needs no privilege to read the wsrep status), and NODEn_PORT,
# NODEn_SOCKET and NODEn_PID for n = 1, 2, 3.
set -euo pipefail

readonly TEST_USER=kivrel
readonly TEST_PASSWORD=kivrel-Secret-1
readonly TEST_EMPTY_USER=kivrel_nopw
readonly TEST_SSL_USER=kivrel_ssl
readonly TEST_SSL_PASSWORD=kivrel-Ssl-Secret-1
readonly TEST_X509_USER=kivrel_x509
readonly TEST_X509_PASSWORD=kivrel-X509-Secret-1
readonly REPL_USER=kivrel_repl
readonly REPL_PASSWORD=kivrel-Repl-Secret-1
readonly TEST_DATABASE=kivrel_test
readonly START_TIMEOUT=60
readonly STOP_TIMEOUT=60
readonly SYNC_TIMEOUT=30
readonly EAST_DATABASE=kivrel_east
readonly GALERA_PROVIDER=/usr/lib/galera/libgalera_smm.so

die() {
  echo "test_server.sh: $*" >&2
  exit 1
}

usage() {
  cat >&2 <<USAGE
usage: $0 start|cluster DIR
       $0 stop DIR [primary|replica|east|node1|node2|node3...]
       $0 sql DIR primary|replica|east|node1|node2|node3 SQL
       $0 restart DIR primary|replica
       $0 sync DIR [SECONDS]
USAGE
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

# The files of one server: the primary's lie directly in DIR, every other's
# in DIR/ROLE (DIR/replica, DIR/east, DIR/node1). use_server ROLE points the
# variables below at one of them.
use_server() {
  ROLE=$1
  case "$ROLE" in
    primary)
      BASE=$DIR
      PID_KEY=PID
      SOCKET_KEY=SOCKET
      ;;
    replica | east | node[123])
      BASE=$DIR/$ROLE
      PID_KEY=${ROLE^^}_PID
      SOCKET_KEY=${ROLE^^}_SOCKET
      ;;
    *) usage ;;
  esac
  DATADIR=$BASE/data
}

# The socket may live outside DIR (see choose_socket); its folder is noted
# here so that stop can remove it.
socket_dir_note() { echo "$BASE/socket_dir"; }

# The socket of the current server: as recorded in server.env, or where
# choose_socket put it when a start failed before writing server.env.
server_socket() {
  local socket
  socket=$(read_env_value "$SOCKET_KEY")
  if [[ -z "$socket" ]]; then
    if [[ -f "$(socket_dir_note)" ]]; then
      socket="$(cat "$(socket_dir_note)")/mysqld.sock"
    else
      socket="$BASE/mysqld.sock"
    fi
  fi
  echo "$socket"
}

# Is PID a mariadbd working on the current data directory? A recorded pid
# may have been reused by an unrelated process since; such a process is left
# alone.
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

# The pids the current server may run under: the server's own pid file, the
# pid noted at launch (the server may die or be killed before writing its
# file) and server.env.
recorded_pids() {
  local file
  for file in "$BASE/server.pid" "$BASE/launch.pid"; do
    if [[ -s "$file" ]]; then
      head -n1 "$file" | tr -dc '0-9'
      echo
    fi
  done
  read_env_value "$PID_KEY"
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

stop_process() {  # stop the current server's process; its files stay
  local pid socket asked
  socket=$(server_socket)
  for pid in $(recorded_pids | sort -u); do
    is_our_server "$pid" || continue
    # An orderly shutdown over our own socket first; signals only as a
    # fallback (mariadbd also shuts down cleanly on TERM). The statement
    # rather than mariadb-admin, which polls for the end once a second.
    asked=0
    if [[ -S "$socket" ]] && "$CLIENT" --no-defaults --socket="$socket" \
      --user="$ADMIN_USER" --connect-timeout=5 -e SHUTDOWN >/dev/null 2>&1; then
      asked=1
    fi
    if ((asked == 0)) || ! wait_gone "$pid" "$STOP_TIMEOUT"; then
      ((asked == 0)) || echo "test_server.sh: $ROLE $pid did not shut down; sending TERM" >&2
      kill -TERM "$pid" 2>/dev/null || true
      if ! wait_gone "$pid" "$STOP_TIMEOUT"; then
        echo "test_server.sh: $ROLE $pid ignores TERM; sending KILL" >&2
        kill -KILL "$pid" 2>/dev/null || true
        wait_gone "$pid" 10 || die "cannot stop $ROLE $pid"
      fi
    fi
  done
}

stop_one() {  # stop the current server and remove its files but the logs
  stop_process
  if [[ -f "$(socket_dir_note)" ]]; then
    local sdir
    sdir=$(cat "$(socket_dir_note)")
    # Only a folder that this script made for a socket is removed.
    if [[ "$sdir" == */kivrel-sock.* && -d "$sdir" ]]; then
      rm -rf -- "$sdir"
    fi
    rm -f -- "$(socket_dir_note)"
  fi
  rm -rf -- "$DATADIR" "$BASE/tmp"
  rm -f -- "$BASE/server.pid" "$BASE/launch.pid" "$BASE/mysqld.sock"
}

stop_all() {
  # The replica first, so that it does not keep retrying a vanished primary;
  # the cluster's nodes last to first, so that node1 leaves last.
  local role
  for role in replica east node3 node2 node1 primary; do
    use_server "$role"
    stop_one
  done
  rm -rf -- "$DIR/tls"
  rm -f -- "$DIR/server.env" "$DIR/server.env.tmp"
}

# A unix socket path must fit sun_path (108 bytes with the terminator). A
# long DIR gets its socket in a short private folder under /tmp instead.
choose_socket() {
  local sock="$BASE/mysqld.sock" base sdir
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

# A throw-away CA and the server and client certificates it signs, under
# DIR/tls. EC keys, because RSA key generation would slow every start.
make_tls() {
  local tls="$DIR/tls" who cn
  rm -rf -- "$tls"
  mkdir -m 700 -- "$tls"
  cat >"$tls/extensions.cnf" <<'CNF'
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
# The README's examples connect to db.example.
subjectAltName = IP:127.0.0.1,DNS:localhost,DNS:db.example
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[client]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = clientAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
  # The system's openssl.cnf is not read, so that its defaults cannot change
  # the certificates.
  if ! (
    set -e
    cd -- "$tls"
    export OPENSSL_CONF=/dev/null
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ca-key.pem
    openssl req -x509 -new -key ca-key.pem -sha256 -days 3650 \
      -subj "/CN=kivrel test CA" \
      -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign,cRLSign" \
      -addext "subjectKeyIdentifier=hash" -out ca.pem
    for who in server client; do
      cn=localhost
      [[ "$who" == server ]] || cn="kivrel test client"
      openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$who-key.pem"
      openssl req -new -key "$who-key.pem" -subj "/CN=$cn" -out "$who.csr"
      openssl x509 -req -in "$who.csr" -CA ca.pem -CAkey ca-key.pem \
        -set_serial "0x$(openssl rand -hex 8)" -days 3650 -sha256 \
        -extfile extensions.cnf -extensions "$who" -out "$who.pem"
      rm -f -- "$who.csr"
    done
  ) >"$tls/openssl.log" 2>&1; then
    cat "$tls/openssl.log" >&2
    die "cannot make the TLS certificates"
  fi
  TLS_CA="$tls/ca.pem"
  TLS_SERVER_CERT="$tls/server.pem"
  TLS_SERVER_KEY="$tls/server-key.pem"
  TLS_CLIENT_CERT="$tls/client.pem"
  TLS_CLIENT_KEY="$tls/client-key.pem"
}

# A fresh data directory for the current server; with EMPTY_DATADIR set, an
# empty one that a state transfer fills.
install_db() {
  mkdir -p -- "$BASE" "$DATADIR" "$BASE/tmp"
  if [[ -n "${EMPTY_DATADIR:-}" ]]; then
    # The rsync daemon of the transfer drops root for nobody, so as root the
    # directory is nobody's; the server, as root, may use it all the same.
    ((EUID != 0)) || chown nobody -- "$DATADIR"
    return 0
  fi
  local -a install_args=(
    --no-defaults
    --datadir="$DATADIR"
    # Its own: a bootstrap server removes the temporary tables it finds in
    # its temporary folder, those of another install running beside it too.
    --tmpdir="$BASE/tmp"
    --auth-root-authentication-method=socket
    --auth-root-socket-user="$ADMIN_USER"
    --skip-test-db
    --skip-name-resolve
    --innodb-log-file-size=8M
  )
  ((EUID == 0)) && install_args+=(--user=root)
  if ! "$INSTALL_DB" "${install_args[@]}" >"$BASE/install.log" 2>&1; then
    cat "$BASE/install.log" >&2
    die "mariadb-install-db failed for the $ROLE"
  fi
}

# Start mariadbd for the current server on PORT in the background, with the
# extra options EXTRA...; 0 when it answers on SOCKET, 1 when it lost a race
# for the port, and the script ends on other failures.
launch() {
  local port=$1 pid tenths=$((START_TIMEOUT * 10)) logstart log="$BASE/error.log"
  shift
  logstart=$(($(wc -l <"$log") + 1))
  local -a args=(
    --no-defaults
    --datadir="$DATADIR"
    --tmpdir="$BASE/tmp"
    --socket="$SOCKET"
    --bind-address=127.0.0.1
    --port="$port"
    --pid-file="$BASE/server.pid"
    --log-error="$log"
    # Accounts are matched by address: the test users have entries for
    # 'localhost' (socket) and '127.0.0.1' (TCP), and no lookups can stall.
    --skip-name-resolve
    # Replication starts only when start_replication asks for it.
    --skip-slave-start
    --innodb-buffer-pool-size=16M
    --innodb-log-file-size=8M
    --innodb-flush-log-at-trx-commit=2
    --innodb-doublewrite=0
    --max-connections=64
    --performance-schema=OFF
    --loose-skip-feedback
    "$@"
  )
  ((EUID == 0)) && args+=(--user=root)
  # A session of its own and no inherited descriptors, so that whoever runs
  # this script (ctest, a terminal) does not wait for the server to end.
  setsid "$MARIADBD" "${args[@]}" </dev/null >>"$log" 2>&1 &
  pid=$!
  echo "$pid" >"$BASE/launch.pid"
  while ((tenths > 0)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid" 2>/dev/null || true
      # A taken port, or a Galera node whose group thread ended before the
      # node read its scheduling parameters (a start-up race): try again.
      if tail -n "+$logstart" "$log" |
        grep -qiE "address already in use|failed to read thread schedparams"; then
        return 1
      fi
      echo "test_server.sh: the $ROLE ended during start-up; its log:" >&2
      tail -n "+$logstart" "$log" >&2
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
  echo "test_server.sh: the $ROLE did not answer within ${START_TIMEOUT}s; its log:" >&2
  tail -n "+$logstart" "$log" >&2
  exit 1
}

# Install and start the current server with the extra options EXTRA...;
# sets SOCKET, SERVER_PORT and SERVER_PID.
start_one() {
  install_db
  rm -f -- "$BASE/error.log"
  : >"$BASE/error.log"
  SOCKET=$(choose_socket)
  rm -f -- "$SOCKET"
  local attempt=0
  SERVER_PID=""
  local -a extra
  while :; do
    SERVER_PORT=$(pick_port)
    # Servers that listen on further ports pick them anew with each try
    # (EXTRA_ARGS_FN fills EXTRA_ARGS), since any of them may be the one
    # that was taken.
    extra=()
    if [[ -n "${EXTRA_ARGS_FN:-}" ]]; then
      "$EXTRA_ARGS_FN"
      extra=("${EXTRA_ARGS[@]}")
    fi
    if launch "$SERVER_PORT" "$@" "${extra[@]}"; then
      break
    fi
    attempt=$((attempt + 1))
    ((attempt < 10)) || die "no start in ten tries (a taken port or a start-up race each time)"
  done
  # The pid file names the server itself, should the launched process have
  # been a wrapper.
  local pid
  pid=$(head -n1 "$BASE/server.pid" 2>/dev/null | tr -dc '0-9' || true)
  [[ -n "$pid" ]] && SERVER_PID=$pid
}

admin_sql() {  # admin_sql SOCKET SQL...: batch output without column names
  local socket=$1
  shift
  "$CLIENT" --no-defaults --socket="$socket" --user="$ADMIN_USER" \
    --connect-timeout=10 -N -B -e "$*"
}

load_test_data() {
  local user accounts="" monitors="" readers=""
  for user in "$TEST_USER" "$TEST_EMPTY_USER" "$TEST_SSL_USER" "$TEST_X509_USER"; do
    accounts="'$user'@'localhost', '$user'@'127.0.0.1'"
    readers+="${readers:+, }$accounts"
    [[ "$user" == "$TEST_EMPTY_USER" ]] || monitors+="${monitors:+, }$accounts"
  done
  "$CLIENT" --no-defaults --socket="$PRIMARY_SOCKET" --user="$ADMIN_USER" <<SQL
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
CREATE USER '$TEST_SSL_USER'@'localhost' IDENTIFIED BY '$TEST_SSL_PASSWORD' REQUIRE SSL;
CREATE USER '$TEST_SSL_USER'@'127.0.0.1' IDENTIFIED BY '$TEST_SSL_PASSWORD' REQUIRE SSL;
CREATE USER '$TEST_X509_USER'@'localhost' IDENTIFIED BY '$TEST_X509_PASSWORD' REQUIRE X509;
CREATE USER '$TEST_X509_USER'@'127.0.0.1' IDENTIFIED BY '$TEST_X509_PASSWORD' REQUIRE X509;
GRANT SELECT ON $TEST_DATABASE.* TO $readers;
GRANT INSERT, UPDATE, DELETE ON $TEST_DATABASE.scratch TO
  '$TEST_USER'@'localhost', '$TEST_USER'@'127.0.0.1';
-- What a monitoring account needs for server status, the binary logs and
-- replica status.
GRANT PROCESS, BINLOG MONITOR, SLAVE MONITOR ON *.* TO $monitors;

CREATE USER '$REPL_USER'@'127.0.0.1' IDENTIFIED BY '$REPL_PASSWORD';
GRANT REPLICATION SLAVE ON *.* TO '$REPL_USER'@'127.0.0.1';
FLUSH PRIVILEGES;
SQL
}

# The replica starts from an empty GTID position, so it fetches the
# primary's whole binary log: everything load_test_data did.
start_replication() {
  admin_sql "$REPLICA_SOCKET" "
CHANGE MASTER TO
  MASTER_HOST='127.0.0.1', MASTER_PORT=$PRIMARY_PORT,
  MASTER_USER='$REPL_USER', MASTER_PASSWORD='$REPL_PASSWORD',
  MASTER_USE_GTID=slave_pos, MASTER_CONNECT_RETRY=1;
START SLAVE;"
}

# The second primary's data. Its replication account is not logged: the
# replica has that account already, from the primary.
load_east_data() {
  admin_sql "$EAST_SOCKET" "
SET SESSION sql_log_bin = 0;
CREATE USER '$REPL_USER'@'127.0.0.1' IDENTIFIED BY '$REPL_PASSWORD';
GRANT REPLICATION SLAVE ON *.* TO '$REPL_USER'@'127.0.0.1';
SET SESSION sql_log_bin = 1;
CREATE DATABASE $EAST_DATABASE;
CREATE TABLE $EAST_DATABASE.rows (id INT PRIMARY KEY);"
}

# The replica's named connection 'east' takes GTID domain 1 from the second
# primary, beside the default connection's domain 0.
start_east_replication() {
  admin_sql "$REPLICA_SOCKET" "
CHANGE MASTER 'east' TO
  MASTER_HOST='127.0.0.1', MASTER_PORT=$EAST_PORT,
  MASTER_USER='$REPL_USER', MASTER_PASSWORD='$REPL_PASSWORD',
  MASTER_USE_GTID=slave_pos, MASTER_CONNECT_RETRY=1;
START SLAVE 'east';"
}

# caught_up SECONDS [SOCKET]: 0 when the replica has applied all that the
# primary (or the server of SOCKET) has logged, within SECONDS.
caught_up() {
  local pos res
  pos=$(admin_sql "${2:-$PRIMARY_SOCKET}" 'SELECT @@GLOBAL.gtid_binlog_pos') || return 1
  res=$(admin_sql "$REPLICA_SOCKET" "SELECT MASTER_GTID_WAIT('$pos', $1)") || return 1
  [[ "$res" == 0 ]]
}

# slave_status CONNECTION FIELD: the replica's value of FIELD for the
# connection named CONNECTION ('' for the default one).
slave_status() {
  "$CLIENT" --no-defaults --socket="$REPLICA_SOCKET" --user="$ADMIN_USER" \
    --connect-timeout=10 -e "SHOW SLAVE '$1' STATUS\G" | sed -n "s/^ *$2: //p"
}

# wait_replica_idle CONNECTION: once caught up, both threads run and the lag
# is 0; this waits briefly for the connection's status to say so.
wait_replica_idle() {
  local tenths=50 io sql lag
  while :; do
    io=$(slave_status "$1" Slave_IO_Running)
    sql=$(slave_status "$1" Slave_SQL_Running)
    lag=$(slave_status "$1" Seconds_Behind_Master)
    [[ "$io" == Yes && "$sql" == Yes && "$lag" == 0 ]] && return 0
    tenths=$((tenths - 1))
    if ((tenths <= 0)); then
      echo "test_server.sh: replica connection '$1': IO $io, SQL $sql, lag $lag; its status:" >&2
      "$CLIENT" --no-defaults --socket="$REPLICA_SOCKET" --user="$ADMIN_USER" \
        -e "SHOW SLAVE '$1' STATUS\G" >&2 || true
      return 1
    fi
    sleep 0.1
  done
}

start_failed() {
  local rc=$? pid
  trap - EXIT
  echo "test_server.sh: start failed; stopping what it started" >&2
  # Servers still starting in the background are let finish, then stopped.
  for pid in "${STARTERS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  stop_all || true
  exit $((rc == 0 ? 1 : rc))
}

# start_begin ROLE OPTION...: install and start the server ROLE in the
# background, while other servers start; start_wait ROLE collects it and
# sets SOCKET, SERVER_PORT and SERVER_PID.
declare -A STARTERS=()
start_begin() {
  local role=$1
  shift
  (
    use_server "$role"
    start_one "$@"
    echo "$SOCKET $SERVER_PORT $SERVER_PID" >"$BASE/started"
  ) &
  STARTERS[$role]=$!
}

start_wait() {
  wait "${STARTERS[$1]}" || die "the $1 did not start"
  read -r SOCKET SERVER_PORT SERVER_PID <"$DIR/$1/started"
  rm -f -- "$DIR/$1/started"
}

# The options of each server, beyond those of launch; TLS files from
# make_tls. Read-only, so that a test writing to the replica by mistake
# fails instead of breaking replication; the replication thread and the
# administrator may still write.
server_options() {
  PRIMARY_OPTIONS=(--server-id=1 "--log-bin=$DIR/data/mariadb-bin"
    "--ssl-ca=$DIR/tls/ca.pem" "--ssl-cert=$DIR/tls/server.pem" "--ssl-key=$DIR/tls/server-key.pem")
  REPLICA_OPTIONS=(--server-id=2 --skip-log-bin "--relay-log=$DIR/replica/data/relay-bin" --read-only)
  EAST_OPTIONS=(--server-id=3 --gtid-domain-id=1 "--log-bin=$DIR/east/data/mariadb-bin")
}

# Restart the server ROLE on its data, port and socket.
restart_one() {
  local port key options
  [[ "$1" == primary || "$1" == replica ]] || usage
  load_sockets
  server_options
  use_server "$1"
  if [[ "$ROLE" == primary ]]; then
    key=PORT
    options=("${PRIMARY_OPTIONS[@]}")
  else
    key=REPLICA_PORT
    options=("${REPLICA_OPTIONS[@]}")
  fi
  port=$(read_env_value "$key")
  SOCKET=$(server_socket)
  stop_process
  launch "$port" "${options[@]}" || die "the $ROLE's port $port was taken while it restarted"
  SERVER_PID=$(head -n1 "$BASE/server.pid" 2>/dev/null | tr -dc '0-9' || true)
  [[ -n "$SERVER_PID" ]] || SERVER_PID=$(cat "$BASE/launch.pid")
  sed "s/^$PID_KEY=.*/$PID_KEY=$SERVER_PID/" "$DIR/server.env" >"$DIR/server.env.tmp"
  mv -f -- "$DIR/server.env.tmp" "$DIR/server.env"
  # The replica starts without its threads (--skip-slave-start); after a
  # primary's restart it reconnects by itself.
  [[ "$ROLE" == primary ]] || admin_sql "$REPLICA_SOCKET" "START ALL SLAVES"
  caught_up "$SYNC_TIMEOUT" || die "the replica did not catch up within ${SYNC_TIMEOUT}s"
  caught_up "$SYNC_TIMEOUT" "$(read_env_value EAST_SOCKET)" ||
    die "the replica did not catch up with east within ${SYNC_TIMEOUT}s"
  wait_replica_idle ''
  wait_replica_idle east
  echo "test $ROLE $SERVER_PID on 127.0.0.1:$port and $SOCKET"
}

start_all() {
  # Servers left over from an earlier run are stopped first.
  stop_all
  # From here on a failure stops whatever was started.
  trap start_failed EXIT
  trap 'exit 130' INT TERM HUP
  make_tls
  server_options

  # The second primary and the replica start while the primary does.
  start_begin east "${EAST_OPTIONS[@]}"
  start_begin replica "${REPLICA_OPTIONS[@]}"
  use_server primary
  start_one "${PRIMARY_OPTIONS[@]}"
  PRIMARY_SOCKET=$SOCKET
  PRIMARY_PORT=$SERVER_PORT
  PRIMARY_PID=$SERVER_PID
  load_test_data
  start_wait east
  EAST_SOCKET=$SOCKET
  EAST_PORT=$SERVER_PORT
  EAST_PID=$SERVER_PID
  load_east_data
  start_wait replica
  REPLICA_SOCKET=$SOCKET
  REPLICA_PORT=$SERVER_PORT
  REPLICA_PID=$SERVER_PID
  start_replication
  start_east_replication
  caught_up "$SYNC_TIMEOUT" || die "the replica did not catch up within ${SYNC_TIMEOUT}s"
  caught_up "$SYNC_TIMEOUT" "$EAST_SOCKET" ||
    die "the replica did not catch up with east within ${SYNC_TIMEOUT}s"
  wait_replica_idle ''
  wait_replica_idle east

  cat >"$DIR/server.env.tmp" <<ENV
HOST=127.0.0.1
PORT=$PRIMARY_PORT
SOCKET=$PRIMARY_SOCKET
USER=$TEST_USER
PASSWORD=$TEST_PASSWORD
DATABASE=$TEST_DATABASE
EMPTY_USER=$TEST_EMPTY_USER
PID=$PRIMARY_PID
REPLICA_PORT=$REPLICA_PORT
REPLICA_SOCKET=$REPLICA_SOCKET
REPLICA_PID=$REPLICA_PID
EAST_PORT=$EAST_PORT
EAST_SOCKET=$EAST_SOCKET
EAST_PID=$EAST_PID
TLS_CA=$TLS_CA
TLS_CLIENT_CERT=$TLS_CLIENT_CERT
TLS_CLIENT_KEY=$TLS_CLIENT_KEY
SSL_USER=$TEST_SSL_USER
SSL_PASSWORD=$TEST_SSL_PASSWORD
X509_USER=$TEST_X509_USER
X509_PASSWORD=$TEST_X509_PASSWORD
ENV
  mv -f -- "$DIR/server.env.tmp" "$DIR/server.env"
  trap - EXIT INT TERM HUP
  echo "test primary $PRIMARY_PID on 127.0.0.1:$PRIMARY_PORT and $PRIMARY_SOCKET"
  echo "test replica $REPLICA_PID on 127.0.0.1:$REPLICA_PORT and $REPLICA_SOCKET"
  echo "test primary east $EAST_PID on 127.0.0.1:$EAST_PORT and $EAST_SOCKET"
}

# ---- The Galera cluster ------------------------------------------------------

# start_node N ADDRESSES [OPTION...]: start the cluster's node N, which
# finds the others at the group addresses ADDRESSES; sets NODE_SOCKET,
# NODE_PORT and NODE_PID as start_one does.
# node_ports: fresh group, IST and state-transfer ports for node NODE_N,
# and the options that name them, in EXTRA_ARGS.
node_ports() {
  local n=$NODE_N
  GROUP_PORTS[$n]=$(pick_port)
  IST_PORTS[$n]=$(pick_port)
  SST_PORTS[$n]=$(pick_port)
  EXTRA_ARGS=(
    --wsrep-node-address="127.0.0.1:${GROUP_PORTS[$n]}"
    --wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:${GROUP_PORTS[$n]};ist.recv_addr=127.0.0.1:${IST_PORTS[$n]};gcache.size=16M;evs.suspect_timeout=PT3S;evs.inactive_timeout=PT4S;evs.install_timeout=PT4S"
    --wsrep-sst-receive-address="127.0.0.1:${SST_PORTS[$n]}"
  )
}

start_node() {
  local n=$1 addresses=$2
  shift 2
  use_server "node$n"
  NODE_N=$n EXTRA_ARGS_FN=node_ports start_one --server-id="$((10 + n))" \
    --wsrep-on=ON --wsrep-provider="$GALERA_PROVIDER" \
    --wsrep-cluster-name=kivrel_test --wsrep-node-name="node$n" \
    --wsrep-cluster-address="gcomm://$addresses" \
    --wsrep-sst-method=rsync \
    --binlog-format=ROW --default-storage-engine=InnoDB --innodb-autoinc-lock-mode=2 "$@"
  NODE_SOCKET[$n]=$SOCKET
  NODE_PORT[$n]=$SERVER_PORT
  NODE_PID[$n]=$SERVER_PID
}

node_status() {  # node_status N NAME: the status variable NAME of node N
  admin_sql "${NODE_SOCKET[$1]}" "SHOW GLOBAL STATUS LIKE '$2'" | cut -f2
}

# wait_synced N: node N is Synced in a Primary component of three.
wait_synced() {
  local tenths=$((START_TIMEOUT * 10)) state="" size=""
  while ((tenths > 0)); do
    state=$(node_status "$1" wsrep_local_state_comment) || true
    size=$(node_status "$1" wsrep_cluster_size) || true
    [[ "$state" == Synced && "$size" == 3 ]] && return 0
    sleep 0.1
    tenths=$((tenths - 1))
  done
  die "node$1 is $state in a cluster of ${size:-no} nodes after ${START_TIMEOUT}s"
}

start_cluster() {
  stop_all
  trap start_failed EXIT
  trap 'exit 130' INT TERM HUP
  local n addresses=""
  declare -ga GROUP_PORTS IST_PORTS SST_PORTS NODE_SOCKET NODE_PORT NODE_PID
  for n in 1 2 3; do
    GROUP_PORTS[$n]=$(pick_port)
    IST_PORTS[$n]=$(pick_port)
    SST_PORTS[$n]=$(pick_port)
    addresses+="${addresses:+,}127.0.0.1:${GROUP_PORTS[$n]}"
  done
  start_node 1 "$addresses" --wsrep-new-cluster
  # The test user is there before the others join, so their state transfer
  # brings it along.
  admin_sql "${NODE_SOCKET[1]}" "
CREATE USER '$TEST_USER'@'localhost' IDENTIFIED BY '$TEST_PASSWORD';
CREATE USER '$TEST_USER'@'127.0.0.1' IDENTIFIED BY '$TEST_PASSWORD';"
  # One after the other: two joining at once disturb each other's entry
  # into the group for several seconds, longer than a second transfer takes.
  for n in 2 3; do
    EMPTY_DATADIR=1 start_node "$n" "127.0.0.1:${GROUP_PORTS[1]}"
  done
  for n in 1 2 3; do
    wait_synced "$n"
  done
  {
    echo "HOST=127.0.0.1"
    echo "USER=$TEST_USER"
    echo "PASSWORD=$TEST_PASSWORD"
    for n in 1 2 3; do
      echo "NODE${n}_PORT=${NODE_PORT[$n]}"
      echo "NODE${n}_SOCKET=${NODE_SOCKET[$n]}"
      echo "NODE${n}_PID=${NODE_PID[$n]}"
    done
  } >"$DIR/server.env.tmp"
  mv -f -- "$DIR/server.env.tmp" "$DIR/server.env"
  trap - EXIT INT TERM HUP
  for n in 1 2 3; do
    echo "cluster node$n ${NODE_PID[$n]} on 127.0.0.1:${NODE_PORT[$n]} and ${NODE_SOCKET[$n]}"
  done
}

# For sync: the sockets of running servers.
load_sockets() {
  [[ -f "$DIR/server.env" ]] || die "no test servers run in $DIR (no server.env)"
  PRIMARY_SOCKET=$(read_env_value SOCKET)
  REPLICA_SOCKET=$(read_env_value REPLICA_SOCKET)
  [[ -n "$PRIMARY_SOCKET" && -n "$REPLICA_SOCKET" ]] ||
    die "$DIR/server.env lacks SOCKET or REPLICA_SOCKET"
}

# role_socket ROLE: the socket of the running server ROLE.
role_socket() {
  [[ -f "$DIR/server.env" ]] || die "no test servers run in $DIR (no server.env)"
  use_server "$1"
  local socket
  socket=$(read_env_value "$SOCKET_KEY")
  [[ -n "$socket" ]] || die "$DIR/server.env lacks $SOCKET_KEY"
  echo "$socket"
}

(($# >= 2)) || usage
ACTION=$1
[[ -n "$2" ]] || usage
case "$ACTION" in
  start | cluster) (($# == 2)) || usage ;;
  stop) ;;
  sql) (($# == 4)) || usage ;;
  restart) (($# == 3)) || usage ;;
  sync)
    (($# <= 3)) || usage
    [[ "${3:-$SYNC_TIMEOUT}" =~ ^[0-9]+$ ]] || usage
    ;;
  *) usage ;;
esac
if [[ "$ACTION" == start || "$ACTION" == cluster ]]; then
  mkdir -p -- "$2"
elif [[ ! -d "$2" ]]; then
  [[ "$ACTION" == stop ]] && exit 0
  die "no test servers run in $2 (no such directory)"
fi
DIR=$(cd -- "$2" && pwd -P)
readonly DIR
MARIADBD=$(find_program mariadbd mysqld) || die "mariadbd not found (install mariadb-server)"
INSTALL_DB=$(find_program mariadb-install-db mysql_install_db) || die "mariadb-install-db not found"
ADMIN=$(find_program mariadb-admin mysqladmin) || die "mariadb-admin not found (install mariadb-client)"
CLIENT=$(find_program mariadb mysql) || die "mariadb client not found (install mariadb-client)"
# The servers' administrator logs in over the socket as the user running
# this script (unix_socket authentication); it has no password at all.
ADMIN_USER=$(id -un)

case "$ACTION" in
  start)
    command -v openssl >/dev/null 2>&1 || die "openssl not found (install openssl)"
    start_all
    ;;
  cluster)
    [[ -f "$GALERA_PROVIDER" ]] || die "$GALERA_PROVIDER not found (install galera-4)"
    command -v rsync >/dev/null 2>&1 || die "rsync not found (install rsync)"
    start_cluster
    ;;
  stop)
    if (($# == 2)); then
      stop_all
    else
      for role in "${@:3}"; do
        use_server "$role"
        stop_one
      done
    fi
    ;;
  restart) restart_one "$3" ;;
  sql) admin_sql "$(role_socket "$3")" "$4" ;;
  sync)
    load_sockets
    caught_up "${3:-$SYNC_TIMEOUT}" ||
      die "the replica has not caught up with the primary within ${3:-$SYNC_TIMEOUT}s"
    ;;
esac
