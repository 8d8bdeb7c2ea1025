#!/usr/bin/env bash
# Whole-process benchmark of check_dbquery against the stock command-line
# client running the same query on the same private server: what one check
# costs the monitoring host compared with the plainest way to ask.
#
#   bench/dbquery.sh [SERVER_ENV]
#
# SERVER_ENV: the server.env of a running test server (scripts/test_server.sh)
# to reuse; without it a private server is started and stopped again.
# Environment:
#   CHECK_DBQUERY  the program to measure (default: a Release build made in
#                  build-ci-bench)
#   BENCH_JSON     where hyperfine's results go
#                  (default: build-ci-bench/dbquery.json)
# Prints hyperfine's report and the ratio of the two medians.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$(pwd -P)
BUILD="$ROOT/build-ci-bench"

if (($# > 1)); then
  echo "usage: $0 [SERVER_ENV]" >&2
  exit 2
fi

for tool in hyperfine python3; do
  command -v "$tool" >/dev/null 2>&1 ||
    { echo "bench/dbquery.sh: $tool is missing (scripts/install_deps.sh installs it)" >&2; exit 1; }
done
CLIENT=$(command -v mariadb || command -v mysql) ||
  { echo "bench/dbquery.sh: the mariadb client is missing" >&2; exit 1; }

if [[ -n "${CHECK_DBQUERY:-}" ]]; then
  DBQ=$CHECK_DBQUERY
else
  echo "== Release build in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKIVREL_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX="$BUILD/prefix" >/dev/null
  cmake --build "$BUILD" -j2 --target check_dbquery >/dev/null
  DBQ="$BUILD/check_dbquery"
fi
[[ -x "$DBQ" ]] || { echo "bench/dbquery.sh: $DBQ is not executable" >&2; exit 1; }
mkdir -p "$BUILD"
JSON=${BENCH_JSON:-$BUILD/dbquery.json}

# shellcheck source=SCRIPTDIR/../scripts/private_server.sh
source "$ROOT/scripts/private_server.sh"
if (($# == 1)); then
  [[ -r "$1" ]] || { echo "bench/dbquery.sh: cannot read $1" >&2; exit 1; }
  load_server_env "$1"
else
  echo "== Starting a private server"
  start_private_server
fi

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

python3 - "$JSON" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
check, client = results["check_dbquery"], results["mariadb"]
ratio = check["median"] / client["median"]
print(f"median check_dbquery: {check['median'] * 1000:.3f} ms")
print(f"median mariadb:       {client['median'] * 1000:.3f} ms")
print(f"ratio (check_dbquery / mariadb): {ratio:.3f}")
PY
echo "results: $JSON"
