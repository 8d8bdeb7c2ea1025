#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Client-side instructions of one run of each check beside the stock tool
# doing the same work, counted by callgrind: repeatable whatever else the
# machine is doing, unlike wall time.
#
#   bench/startup.sh [SERVER_ENV]
#
# SERVER_ENV: the server.env of a running test server (scripts/test_server.sh)
# to reuse; without it a private server is started and stopped again.
# BENCH_LINK=static: the build with the client library and the C++ runtime
# linked in (bench/bench_common.sh); default: the shared build.
set -euo pipefail

if (($# > 1)); then
  echo "usage: $0 [SERVER_ENV]" >&2
  exit 2
fi
# shellcheck source=SCRIPTDIR/bench_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
bench_require bench/startup.sh valgrind
bench_setup bench/startup.sh "${1:-}" check_dbhealth check_dbquery check_sysinfo stat_floor
B=$BENCH_BUILD
CLIENT=$(command -v mariadb || command -v mysql)
ADMIN=$(command -v mariadb-admin || command -v mysqladmin)
QUERY='SELECT COUNT(*) FROM samples'

# compare NAME COUNT BASELINE COUNT: one line with the ratio.
compare() {
  python3 -c 'import sys; a, b = int(sys.argv[2]), int(sys.argv[4])
print(f"{sys.argv[1]:<16} {a:>11,}   {sys.argv[3]:<36} {b:>11,}   ratio {a / b:.3f}")' "$@"
}

dbq=$(instructions "$B/check_dbquery" -H "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" -p "$DB_PASS" \
  -d "$DB_NAME" -q "$QUERY" -w 10 -c 20)
cli=$(instructions "$CLIENT" --skip-ssl -N -h "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" \
  -p"$DB_PASS" "$DB_NAME" -e "$QUERY")
dbh=$(instructions "$B/check_dbhealth" -H "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" -p "$DB_PASS")
adm=$(instructions "$ADMIN" --skip-ssl -h "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" -p"$DB_PASS" \
  status extended-status)
flr=$(instructions "$B/bench/stat_floor" "$DB_HOST" "$DB_PORT" "$DB_USER" "$DB_PASS")
sys=$(instructions "$B/check_sysinfo" -t sys -c os)
unm=$(instructions "$(command -v uname)" -s)

echo "== instructions per run (callgrind)"
compare check_dbquery "$dbq" "mariadb --skip-ssl -N -e" "$cli"
compare check_dbhealth "$dbh" "mariadb-admin --skip-ssl status ..." "$adm"
compare check_dbhealth "$dbh" "stat_floor" "$flr"
compare check_sysinfo "$sys" "uname -s" "$unm"
