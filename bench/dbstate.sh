#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# check_dbreplica and check_dbcluster against state_floor, a bare C program
# that sends the same statements, linked the same way: client-side
# instructions of one run (callgrind, repeatable whatever else the machine
# does), then wall time (hyperfine).
#
#   bench/dbstate.sh [SERVER_ENV [CLUSTER_ENV]]
#
# SERVER_ENV: the server.env of running test servers (scripts/test_server.sh
# start), CLUSTER_ENV that of a running Galera cluster (test_server.sh
# cluster), to reuse; whatever is not given is started and stopped again.
# The replica is checked with both its channels; the heartbeat run reads a
# table with a row per source, written once.
set -euo pipefail

if (($# > 2)); then
  echo "usage: $0 [SERVER_ENV [CLUSTER_ENV]]" >&2
  exit 2
fi
# shellcheck source=SCRIPTDIR/bench_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
bench_require bench/dbstate.sh valgrind
bench_setup bench/dbstate.sh "${1:-}" check_dbreplica check_dbcluster state_floor
B=$BENCH_BUILD
SERVER_DIR=$(dirname "${1:-${PRIVATE_WORK:-}/server/server.env}")

CLUSTER_WORK=""
stop_cluster() {
  [[ -n "$CLUSTER_WORK" ]] || return 0
  bash "$PRIVATE_SERVER_SCRIPT" stop "$CLUSTER_WORK/cluster" >/dev/null 2>&1 || true
  rm -rf -- "$CLUSTER_WORK"
  CLUSTER_WORK=""
}
trap 'stop_cluster; stop_private_server' EXIT
if [[ -n "${2:-}" ]]; then
  CLUSTER_ENV=$2
else
  echo "== Starting a private Galera cluster"
  CLUSTER_WORK=$(mktemp -d "${TMPDIR:-/tmp}/kivrel-cluster.XXXXXX")
  bash "$PRIVATE_SERVER_SCRIPT" cluster "$CLUSTER_WORK/cluster"
  CLUSTER_ENV=$CLUSTER_WORK/cluster/server.env
fi
NODE_PORT=$(sed -n 's/^NODE1_PORT=//p' "$CLUSTER_ENV")

bash "$PRIVATE_SERVER_SCRIPT" sql "$SERVER_DIR" primary "
CREATE TABLE IF NOT EXISTS $DB_NAME.bench_heartbeat
  (ts VARCHAR(26) NOT NULL, server_id INT UNSIGNED NOT NULL PRIMARY KEY);
REPLACE INTO $DB_NAME.bench_heartbeat VALUES
  (DATE_FORMAT(UTC_TIMESTAMP(6), '%Y-%m-%dT%H:%i:%s.%f'), 1),
  (DATE_FORMAT(UTC_TIMESTAMP(6), '%Y-%m-%dT%H:%i:%s.%f'), 3);"
bash "$PRIVATE_SERVER_SCRIPT" sync "$SERVER_DIR"

login=(-H "$DB_HOST" -u "$DB_USER" -p "$DB_PASS")
floor_login=("$DB_HOST" "$DB_REPLICA_PORT" "$DB_USER" "$DB_PASS")
table=$DB_NAME.bench_heartbeat
replica=("$B/check_dbreplica" "${login[@]}" -P "$DB_REPLICA_PORT")
heartbeat=("${replica[@]}" "--heartbeat=$table" --heartbeat-utc)
cluster=("$B/check_dbcluster" "${login[@]}" -P "$NODE_PORT")
replica_floor=("$B/bench/state_floor" replica "${floor_login[@]}")
heartbeat_floor=("$B/bench/state_floor" heartbeat "${floor_login[@]}" "$table")
cluster_floor=("$B/bench/state_floor" cluster "$DB_HOST" "$NODE_PORT" "$DB_USER" "$DB_PASS")

# Each must succeed here; a failing run would time an error path.
for command in replica heartbeat cluster replica_floor heartbeat_floor cluster_floor; do
  declare -n words=$command
  "${words[@]}"
  unset -n words
done

compare() {  # compare NAME COUNT BASELINE COUNT: one line with the ratio
  python3 -c 'import sys; a, b = int(sys.argv[2]), int(sys.argv[4])
print(f"{sys.argv[1]:<28} {a:>11,}   {sys.argv[3]:<28} {b:>11,}   ratio {a / b:.3f}")' "$@"
}
echo "== instructions per run (callgrind)"
compare check_dbreplica "$(instructions "${replica[@]}")" \
  "state_floor replica" "$(instructions "${replica_floor[@]}")"
compare "check_dbreplica --heartbeat" "$(instructions "${heartbeat[@]}")" \
  "state_floor heartbeat" "$(instructions "${heartbeat_floor[@]}")"
compare check_dbcluster "$(instructions "${cluster[@]}")" \
  "state_floor cluster" "$(instructions "${cluster_floor[@]}")"

echo "== hyperfine"
JSON=${BENCH_JSON:-$BENCH_BUILD/dbstate.json}
hyperfine -N --warmup 20 --min-runs 200 --export-json "$JSON" \
  --command-name check_dbreplica "${replica[*]}" \
  --command-name "state_floor replica" "${replica_floor[*]}" \
  --command-name check_dbcluster "${cluster[*]}" \
  --command-name "state_floor cluster" "${cluster_floor[*]}"
bench_ratios "$JSON" check_dbreplica "state_floor replica"
bench_ratios "$JSON" check_dbcluster "state_floor cluster"
