#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A short tour: build and install the programs into build-demo/prefix, start
# private MariaDB primaries, their replica and a Galera cluster, and run
# check_dbquery, check_dbhealth, check_dbstatus, check_dbreplica,
# check_dbcluster and check_sysinfo the way a monitoring system would,
# showing each command, its status line and its exit code. The servers are
# stopped again however the script ends.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$(pwd -P)
BUILD="$ROOT/build-demo"
PREFIX="$BUILD/prefix"

section() {
  echo
  echo "== $*"
}

section "Dependencies"
bash "$ROOT/scripts/install_deps.sh"

section "Building and installing into $PREFIX"
mkdir -p "$BUILD"
LOG="$BUILD/demo-build.log"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" -DKIVREL_TESTS=OFF >"$LOG" 2>&1 ||
  { cat "$LOG"; exit 1; }
cmake --build "$BUILD" -j2 >>"$LOG" 2>&1 || { cat "$LOG"; exit 1; }
cmake --install "$BUILD" >>"$LOG" 2>&1 || { cat "$LOG"; exit 1; }
rm -f "$LOG"
BIN="$PREFIX/libexec/kivrel-plugins"
[[ -x "$BIN/check_dbquery" ]] || BIN=$(dirname "$(find "$PREFIX" -name check_dbquery -type f | head -n1)")

section "Starting a private MariaDB server"
# shellcheck source=SCRIPTDIR/private_server.sh
source "$ROOT/scripts/private_server.sh"
start_private_server
WORK=$PRIVATE_WORK

mismatches=0
# show EXPECTED_EXIT [VAR=value...] PROGRAM ARG...: print the command, run it,
# print what it wrote and its exit code.
show() {
  local expected=$1
  shift
  local -a envs=()
  while [[ "$1" == *=* && "$1" != -* ]]; do
    envs+=("$1")
    shift
  done
  local prog=$1
  shift
  echo
  printf '$'
  local word
  for word in "${envs[@]}" "$(basename "$prog")" "$@"; do
    printf ' %q' "$word"
  done
  echo
  local rc=0 out
  out=$(env "${envs[@]}" "$prog" "$@" 2>&1) || rc=$?
  # check_sysinfo prints its item without a line end.
  printf '%s\n' "$out"
  if ((rc == expected)); then
    echo "-> exit code $rc"
  else
    echo "-> exit code $rc (expected $expected)"
    mismatches=$((mismatches + 1))
  fi
}

DBQ="$BIN/check_dbquery"
conn=(-H "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" -p "$DB_PASS" -d "$DB_NAME")

section "check_dbquery: the value 15 against different thresholds"
show 0 "$DBQ" "${conn[@]}" -q 'SELECT 15' -w 20 -c 30
show 1 "$DBQ" "${conn[@]}" -q 'SELECT 15' -w 10 -c 20
show 2 "$DBQ" "${conn[@]}" -q 'SELECT 15' -w 5 -c 10

section "check_dbquery: counting rows of a table"
show 0 "$DBQ" "${conn[@]}" -q 'SELECT COUNT(*) FROM samples' -w 10 -c 20

section "check_dbquery: over the unix socket; the largest num, 25, lies above the warning range"
show 1 "$DBQ" -s "$DB_SOCKET" -u "$DB_USER" -p "$DB_PASS" -d "$DB_NAME" \
  -q 'SELECT MAX(num) FROM samples' -w 20 -c 30

section "check_dbquery: connection settings from an INI file (--extra-opts)"
cat >"$WORK/plugins.ini" <<INI
# options for check_dbquery, one per line
[check_dbquery]
hostname = $DB_HOST
port = $DB_PORT
username = $DB_USER
password = $DB_PASS
database = $DB_NAME
INI
cat "$WORK/plugins.ini"
show 0 "$DBQ" --extra-opts="@$WORK/plugins.ini" -q 'SELECT 15' -w 20 -c 30

section "check_dbquery: failures"
show 2 "$DBQ" -H "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" -p wrong-password -q 'SELECT 1'
show 1 "$DBQ" "${conn[@]}" -q 'SELECT id FROM empty_table'
show 2 "$DBQ" "${conn[@]}" -q 'SELECT word FROM samples WHERE id = 1'

section "check_dbquery: in German"
show 1 LC_ALL=de_DE.UTF-8 "$DBQ" "${conn[@]}" -q 'SELECT 15' -w 10 -c 20

DBH="$BIN/check_dbhealth"
health=(-H "$DB_HOST" -u "$DB_USER" -p "$DB_PASS")

section "check_dbhealth: the primary's statistics and fifteen status variables"
show 0 "$DBH" "${health[@]}" -P "$DB_PORT"

section "check_dbhealth -S: the replica, with lag limits of 60 and 300 seconds"
show 0 "$DBH" "${health[@]}" -P "$DB_REPLICA_PORT" -S -w 60 -c 300

section "check_dbhealth -S: the primary is no replica"
show 1 "$DBH" "${health[@]}" -P "$DB_PORT" -S

section "check_dbhealth over TLS: a user that must use TLS, without and with it"
show 2 "$DBH" -H "$DB_HOST" -P "$DB_PORT" -u "$DB_SSL_USER" -p "$DB_SSL_PASS"
show 0 "$DBH" -H "$DB_HOST" -P "$DB_PORT" -u "$DB_SSL_USER" -p "$DB_SSL_PASS" -l -C "$DB_TLS_CA"

DBS="$BIN/check_dbstatus"
state=KIVREL_PLUGIN_STATE_DIRECTORY="$WORK/state"

section "check_dbstatus: connections in use and the longest query, with -v"
show 0 "$state" "$DBS" "${health[@]}" -P "$DB_PORT" -m connections -m long-query -v
section "check_dbstatus: rates count from the server's start on the first run, then between runs"
show 0 "$state" "$DBS" "${health[@]}" -P "$DB_PORT" -m queries -e 'delta(Questions)'
show 0 "$state" "$DBS" "${health[@]}" -P "$DB_PORT" -m queries -e 'delta(Questions)'
section "check_dbstatus: an expression of one's own with its ranges, and the modes"
show 2 "$state" "$DBS" "${health[@]}" -P "$DB_PORT" -e '@max_connections/2' --label 'half max' -w 10 -c 20
show 0 "$DBS" --mode=list
section "check_dbstatus: a syntax error, in German"
show 3 LC_ALL=de_DE.UTF-8 "$DBS" "${health[@]}" -P "$DB_PORT" -e '100*(Threads_running'

DBR="$BIN/check_dbreplica"
section "check_dbreplica: the replica's two channels, the default one and 'east'"
show 0 "$DBR" "${health[@]}" -P "$DB_REPLICA_PORT" -w 60 -c 300
show 0 "$DBR" "${health[@]}" -P "$DB_REPLICA_PORT" --channel=east -v

section "check_dbreplica: a channel that does not exist, and the primary, which is no replica"
show 2 "$DBR" "${health[@]}" -P "$DB_REPLICA_PORT" --channel=west --channel=east
show 1 "$DBR" "${health[@]}" -P "$DB_PORT"
show 0 "$DBR" "${health[@]}" -P "$DB_PORT" --not-replica=ok

section "check_dbreplica: the lag from a heartbeat row written on the primary a moment ago"
bash "$ROOT/scripts/test_server.sh" sql "$WORK/server" primary "
CREATE TABLE $DB_NAME.heartbeat (ts VARCHAR(26) NOT NULL, server_id INT UNSIGNED NOT NULL PRIMARY KEY);
INSERT INTO $DB_NAME.heartbeat VALUES (DATE_FORMAT(UTC_TIMESTAMP(6), '%Y-%m-%dT%H:%i:%s.%f'), 1);"
bash "$ROOT/scripts/test_server.sh" sync "$WORK/server"
show 0 "$DBR" "${health[@]}" -P "$DB_REPLICA_PORT" --channel= \
  --heartbeat="$DB_NAME.heartbeat" --heartbeat-utc -w 60 -c 300
show 2 "$DBR" "${health[@]}" -P "$DB_REPLICA_PORT" --heartbeat="$DB_NAME.heartbeat" --heartbeat-utc

section "check_dbreplica: in German"
show 0 LC_ALL=de_DE.UTF-8 "$DBR" "${health[@]}" -P "$DB_REPLICA_PORT"

DBC="$BIN/check_dbcluster"
section "check_dbcluster: the primary is no cluster node"
show 3 "$DBC" "${health[@]}" -P "$DB_PORT"

section "Starting a private Galera cluster of three nodes"
CLUSTER="$WORK/cluster"
# Stopped before the private server's folder, which holds it, goes.
trap 'bash "$ROOT/scripts/test_server.sh" stop "$CLUSTER"; stop_private_server' EXIT
bash "$ROOT/scripts/test_server.sh" cluster "$CLUSTER"
NODE1_PORT=$(sed -n 's/^NODE1_PORT=//p' "$CLUSTER/server.env")
NODE2_PORT=$(sed -n 's/^NODE2_PORT=//p' "$CLUSTER/server.env")

section "check_dbcluster: a synced node of three, and a node desynced by hand"
show 0 "$DBC" "${health[@]}" -P "$NODE1_PORT" -w 3: -c 2:
bash "$ROOT/scripts/test_server.sh" sql "$CLUSTER" node2 "SET GLOBAL wsrep_desync = ON"
show 1 "$DBC" "${health[@]}" -P "$NODE2_PORT" -w 3: -c 2:
bash "$ROOT/scripts/test_server.sh" sql "$CLUSTER" node2 "SET GLOBAL wsrep_desync = OFF"

section "check_dbcluster: one node stopped"
bash "$ROOT/scripts/test_server.sh" stop "$CLUSTER" node3
show 1 "$DBC" "${health[@]}" -P "$NODE1_PORT" -w 3: -c 2: -v
bash "$ROOT/scripts/test_server.sh" stop "$CLUSTER"

section "check_sysinfo"
show 0 "$BIN/check_sysinfo" -t sys -c os
show 0 "$BIN/check_sysinfo" -t sys -c hostname

section "Stopping the server"
stop_private_server
echo "done"
if ((mismatches > 0)); then
  echo "demo.sh: $mismatches command(s) ended with an unexpected exit code" >&2
  exit 1
fi
