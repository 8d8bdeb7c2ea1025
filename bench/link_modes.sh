#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Wall time of the database checks linked both ways: the default build
# (client library and C++ runtime shared) against one with both linked in,
# run in turns so that a drift in the machine's load falls on both alike.
#
#   bench/link_modes.sh [SERVER_ENV] [ROUNDS]
set -euo pipefail

if (($# > 2)); then
  echo "usage: $0 [SERVER_ENV] [ROUNDS]" >&2
  exit 2
fi
# shellcheck source=SCRIPTDIR/bench_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
bench_build static check_dbhealth check_dbquery
STATIC=$BENCH_BUILD
bench_setup bench/link_modes.sh "${1:-}" check_dbhealth check_dbquery
SHARED=$BENCH_BUILD
ROUNDS=${2:-500}
CONNECT="-H $DB_HOST -P $DB_PORT -u $DB_USER -p $DB_PASS"
QUERY="-d $DB_NAME -q SELECT\ 1 -w 10 -c 20"

# shellcheck disable=SC2086  # the option lists are split on purpose
"$SHARED/check_dbquery" $CONNECT -d "$DB_NAME" -q 'SELECT 1' -w 10 -c 20 >/dev/null
bench_interleaved "$ROUNDS" \
  "check_dbhealth shared=$SHARED/check_dbhealth $CONNECT" \
  "check_dbhealth linked in=$STATIC/check_dbhealth $CONNECT"
bench_interleaved "$ROUNDS" \
  "check_dbquery shared=$SHARED/check_dbquery $CONNECT $QUERY" \
  "check_dbquery linked in=$STATIC/check_dbquery $CONNECT $QUERY"
