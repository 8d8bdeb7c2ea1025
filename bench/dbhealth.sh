#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Whole-process benchmark of check_dbhealth on a private server against two
# baselines: the stock admin client doing the same work (statistics and
# status variables, with its option files read as the check reads its own),
# and stat_floor, which connects, fetches the statistics text and the status
# variables and closes. "stat_floor --stat-only" leaves the status query out,
# which shows how much of the check's time the server spends on that query.
#
#   bench/dbhealth.sh [SERVER_ENV]
#
# SERVER_ENV: the server.env of a running test server (scripts/test_server.sh)
# to reuse; without it a private server is started and stopped again.
# Environment:
#   BENCH_JSON     where hyperfine's results go
#                  (default: build-ci-bench/dbhealth.json)
# Prints hyperfine's report and the ratios of the medians, then the same
# commands timed in turns (see bench_interleaved).
# BENCH_LINK=static: the build with the client library and the C++ runtime
# linked in (bench/bench_common.sh); default: the shared build.
set -euo pipefail

if (($# > 1)); then
  echo "usage: $0 [SERVER_ENV]" >&2
  exit 2
fi
# shellcheck source=SCRIPTDIR/bench_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
ADMIN=$(command -v mariadb-admin || command -v mysqladmin) ||
  { echo "bench/dbhealth.sh: mariadb-admin is missing" >&2; exit 1; }
bench_setup bench/dbhealth.sh "${1:-}" check_dbhealth stat_floor
DBH="$BENCH_BUILD/check_dbhealth"
FLOOR="$BENCH_BUILD/bench/stat_floor"
JSON=${BENCH_JSON:-$BENCH_BUILD/dbhealth.json}

# Each must succeed here; a failing run would time an error path.
"$DBH" -H "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" -p "$DB_PASS"
"$FLOOR" "$DB_HOST" "$DB_PORT" "$DB_USER" "$DB_PASS"
"$ADMIN" --skip-ssl -h "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" -p"$DB_PASS" \
  status extended-status >/dev/null

echo "== hyperfine"
# -N runs the commands without a shell, so no shell start-up is measured.
hyperfine -N --warmup 20 --min-runs 200 --export-json "$JSON" \
  --command-name check_dbhealth \
  "$DBH -H $DB_HOST -P $DB_PORT -u $DB_USER -p $DB_PASS" \
  --command-name mariadb-admin \
  "$ADMIN --skip-ssl -h $DB_HOST -P $DB_PORT -u $DB_USER -p$DB_PASS status extended-status" \
  --command-name stat_floor \
  "$FLOOR $DB_HOST $DB_PORT $DB_USER $DB_PASS" \
  --command-name "stat_floor --stat-only" \
  "$FLOOR --stat-only $DB_HOST $DB_PORT $DB_USER $DB_PASS"
bench_ratios "$JSON" check_dbhealth mariadb-admin stat_floor "stat_floor --stat-only"

echo "== the same, taking turns"
bench_interleaved 300 \
  "check_dbhealth=$DBH -H $DB_HOST -P $DB_PORT -u $DB_USER -p $DB_PASS" \
  "mariadb-admin=$ADMIN --skip-ssl -h $DB_HOST -P $DB_PORT -u $DB_USER -p$DB_PASS status extended-status" \
  "stat_floor=$FLOOR $DB_HOST $DB_PORT $DB_USER $DB_PASS" \
  "stat_floor --stat-only=$FLOOR --stat-only $DB_HOST $DB_PORT $DB_USER $DB_PASS"
