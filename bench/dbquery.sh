#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Whole-process benchmark of check_dbquery against the stock command-line
# client running the same query on the same private server: what one check
# costs the monitoring host compared with the plainest way to ask.
#
#   bench/dbquery.sh [SERVER_ENV]
#
# SERVER_ENV: the server.env of a running test server (scripts/test_server.sh)
# to reuse; without it a private server is started and stopped again.
# Environment:
#   BENCH_JSON     where hyperfine's results go
#                  (default: build-ci-bench/dbquery.json)
# Prints hyperfine's report and the ratio of the two medians.
# BENCH_LINK=static: the build with the client library and the C++ runtime
# linked in (bench/bench_common.sh); default: the shared build.
set -euo pipefail

if (($# > 1)); then
  echo "usage: $0 [SERVER_ENV]" >&2
  exit 2
fi
# shellcheck source=SCRIPTDIR/bench_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
CLIENT=$(command -v mariadb || command -v mysql) ||
  { echo "bench/dbquery.sh: the mariadb client is missing" >&2; exit 1; }
bench_setup bench/dbquery.sh "${1:-}" check_dbquery
DBQ="$BENCH_BUILD/check_dbquery"
JSON=${BENCH_JSON:-$BENCH_BUILD/dbquery.json}

QUERY='SELECT COUNT(*) FROM samples'
# The check must answer OK here; a failing check would time its error path.
"$DBQ" -H "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" -p "$DB_PASS" -d "$DB_NAME" \
  -q "$QUERY" -w 10 -c 20

echo "== hyperfine"
# -N runs the commands without a shell, so no shell start-up is measured.
hyperfine -N --warmup 10 --export-json "$JSON" \
  --command-name check_dbquery \
  "$DBQ -H $DB_HOST -P $DB_PORT -u $DB_USER -p $DB_PASS -d $DB_NAME -q '$QUERY' -w 10 -c 20" \
  --command-name mariadb \
  "$CLIENT --no-defaults --skip-ssl -N -h $DB_HOST -P $DB_PORT -u $DB_USER -p$DB_PASS $DB_NAME -e '$QUERY'"
bench_ratios "$JSON" check_dbquery mariadb
