#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Whole-process benchmark of check_dbstatus with the modes connections,
# buffer-pool-hit and long-query on a private server: its client-side
# instructions (callgrind) beside status_floor, a bare C program that runs
# the same three queries linked the same way, and its wall time (hyperfine)
# beside the stock client running the same queries.
#
#   bench/dbstatus.sh [SERVER_ENV]
#
# SERVER_ENV: the server.env of a running test server (scripts/test_server.sh)
# to reuse; without it a private server is started and stopped again.
# Environment:
#   BENCH_JSON     where hyperfine's results go
#                  (default: build-ci-bench/dbstatus.json)
#
# The check keeps its buffer-pool sample on tmpfs (/dev/shm), where a state
# write costs microseconds; a last run times it with the state on the disk
# under build-ci-bench, where the write's fsync waits for the disk.
set -euo pipefail

if (($# > 1)); then
  echo "usage: $0 [SERVER_ENV]" >&2
  exit 2
fi
# shellcheck source=SCRIPTDIR/bench_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
bench_require bench/dbstatus.sh valgrind
CLIENT=$(command -v mariadb || command -v mysql) ||
  { echo "bench/dbstatus.sh: the mariadb client is missing" >&2; exit 1; }
bench_setup bench/dbstatus.sh "${1:-}" check_dbstatus status_floor
DBS="$BENCH_BUILD/check_dbstatus"
FLOOR="$BENCH_BUILD/bench/status_floor"
JSON=${BENCH_JSON:-$BENCH_BUILD/dbstatus.json}
TMPFS=/dev/shm
[[ -d "$TMPFS" && -w "$TMPFS" ]] || TMPFS=${TMPDIR:-/tmp}
KIVREL_PLUGIN_STATE_DIRECTORY=$(mktemp -d "$TMPFS/kivrel-bench-state.XXXXXX")
DISK_STATE=$(mktemp -d "$BENCH_BUILD/state.XXXXXX")
export KIVREL_PLUGIN_STATE_DIRECTORY
trap 'rm -rf -- "$KIVREL_PLUGIN_STATE_DIRECTORY" "$DISK_STATE"; stop_private_server' EXIT

# The floor's queries, for the stock client.
QUERIES=$("$FLOOR" --queries)
CHECK="$DBS -H $DB_HOST -P $DB_PORT -u $DB_USER -p $DB_PASS -m connections -m buffer-pool-hit -m long-query"
FLOOR_CMD="$FLOOR $DB_HOST $DB_PORT $DB_USER $DB_PASS"

# Each must succeed here; a failing run would measure an error path. Two
# runs of the check, so that the measured ones find a sample.
# shellcheck disable=SC2086
{ $CHECK || (($? < 3)); } && { $CHECK || (($? < 3)); }
# shellcheck disable=SC2086
$FLOOR_CMD >/dev/null
"$CLIENT" --no-defaults --skip-ssl -N -h "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" -p"$DB_PASS" \
  -e "$QUERIES" >/dev/null

# shellcheck disable=SC2086
check_i=$(instructions $CHECK)
# shellcheck disable=SC2086
floor_i=$(instructions $FLOOR_CMD)
client_i=$(instructions "$CLIENT" --no-defaults --skip-ssl -N -h "$DB_HOST" -P "$DB_PORT" \
  -u "$DB_USER" -p"$DB_PASS" -e "$QUERIES")
echo "== instructions per run (callgrind)"
python3 -c 'import sys
c, f, m = (int(x) for x in sys.argv[1:4])
print(f"check_dbstatus {c:>12,}\nstatus_floor   {f:>12,}   ratio {c / f:.3f}\nmariadb        {m:>12,}   ratio {c / m:.3f}")' \
  "$check_i" "$floor_i" "$client_i"

echo "== hyperfine"
# -N runs the commands without a shell, so no shell start-up is measured.
# -i: the check's exit code is a plugin state, CRITICAL when the buffer pool
# missed; its runs were seen to succeed above.
hyperfine -N -i --warmup 20 --min-runs 200 --export-json "$JSON" \
  --command-name check_dbstatus "$CHECK" \
  --command-name mariadb \
  "$CLIENT --no-defaults --skip-ssl -N -h $DB_HOST -P $DB_PORT -u $DB_USER -p$DB_PASS -e \"$QUERIES\"" \
  --command-name status_floor "$FLOOR_CMD"
bench_ratios "$JSON" check_dbstatus mariadb status_floor

echo "== check_dbstatus with its state on the disk ($DISK_STATE)"
KIVREL_PLUGIN_STATE_DIRECTORY=$DISK_STATE hyperfine -N -i --warmup 20 --min-runs 100 \
  --export-json "$JSON.disk" --command-name "check_dbstatus (state on disk)" "$CHECK"
