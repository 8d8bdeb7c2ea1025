#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every database check against its floor, in both link modes, as Markdown
# table rows: the client-side instructions of one run (callgrind, repeatable
# whatever else the machine does) and the median wall time of runs taken in
# turns, so that a drift in the machine's load falls on all alike.
#
#   bench/floors.sh [SERVER_ENV [CLUSTER_ENV]]
#
# SERVER_ENV: the server.env of running test servers (scripts/test_server.sh
# start) to reuse; without it a private server is started and stopped again.
# CLUSTER_ENV: that of a running Galera cluster (test_server.sh cluster);
# without it check_dbcluster is left out.
# Environment:
#   BENCH_ROUNDS   rounds of the wall-time runs (default 200)
#
# A floor (bench/*_floor.c) is a bare C program doing its check's work,
# linked as the check is (bench/CMakeLists.txt); its _tlsfree twin starts
# OpenSSL without its configuration and error texts first, as a check does
# when no TLS is asked for. The shared build is the default one; the static
# one has the client library and the C++ runtime linked in.
set -euo pipefail

if (($# > 2)); then
  echo "usage: $0 [SERVER_ENV [CLUSTER_ENV]]" >&2
  exit 2
fi
# shellcheck source=SCRIPTDIR/bench_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
bench_require bench/floors.sh valgrind python3
ADMIN=$(command -v mariadb-admin || command -v mysqladmin) ||
  { echo "bench/floors.sh: mariadb-admin is missing" >&2; exit 1; }
ROUNDS=${BENCH_ROUNDS:-200}
PROGRAMS=(check_dbhealth check_dbquery check_dbstatus check_dbreplica check_dbcluster)
FLOORS=()
for floor in stat_floor query_floor status_floor state_floor cluster_floor; do
  FLOORS+=("$floor" "${floor}_tlsfree")
done
bench_build static "${PROGRAMS[@]}" "${FLOORS[@]}"
STATIC=$BENCH_BUILD
bench_setup bench/floors.sh "${1:-}" "${PROGRAMS[@]}" "${FLOORS[@]}"
SHARED=$BENCH_BUILD

CLUSTER_ENV=${2:-}
NODE_PORT=""
if [[ -n "$CLUSTER_ENV" ]]; then
  NODE_PORT=$(sed -n 's/^NODE1_PORT=//p' "$CLUSTER_ENV")
  [[ -n "$NODE_PORT" ]] || { echo "bench/floors.sh: no NODE1_PORT in $CLUSTER_ENV" >&2; exit 1; }
fi

# check_dbstatus keeps its counters on tmpfs, where a state write costs
# microseconds (bench/dbstatus.sh times it on the disk).
TMPFS=/dev/shm
[[ -d "$TMPFS" && -w "$TMPFS" ]] || TMPFS=${TMPDIR:-/tmp}
KIVREL_PLUGIN_STATE_DIRECTORY=$(mktemp -d "$TMPFS/kivrel-bench-state.XXXXXX")
export KIVREL_PLUGIN_STATE_DIRECTORY
ROWS=$(mktemp "${TMPDIR:-/tmp}/kivrel-floors.XXXXXX")
trap 'rm -rf -- "$KIVREL_PLUGIN_STATE_DIRECTORY" "$ROWS"; stop_private_server' EXIT

# The statements check_dbstatus sends for the modes below: the status and
# variable rows that the modes' expressions name (lower case, as the check
# asks), and the probes' queries (status_floor knows them by name).
ONE_MODE=(-m connections)
ALL_MODES=()
for mode in uptime connections connections-peak threads-running thread-cache-hit \
  table-cache-hit buffer-pool-hit buffer-pool-wait-free tmp-disk-tables slow-queries \
  aborted-connects aborted-clients queries open-files deadlocks long-query \
  long-transaction lock-waits history-list; do
  ALL_MODES+=(-m "$mode")
done
in_list() { local IFS=,; echo "Variable_name IN ($*)"; }
ONE_MODE_SQL=("SHOW GLOBAL STATUS WHERE $(in_list "'threads_connected'")"
  "SHOW GLOBAL VARIABLES WHERE $(in_list "'max_connections'")")
status_names=(aborted_clients aborted_connects connections created_tmp_disk_tables
  created_tmp_tables innodb_buffer_pool_read_requests innodb_buffer_pool_reads
  innodb_buffer_pool_wait_free innodb_deadlocks innodb_history_list_length
  max_used_connections open_files questions slow_queries table_open_cache_hits
  table_open_cache_misses threads_connected threads_created threads_running uptime)
names=$(printf "'%s'," "${status_names[@]}")
ALL_MODES_SQL=("SHOW GLOBAL STATUS WHERE $(in_list "${names%,}")"
  "SHOW GLOBAL VARIABLES WHERE $(in_list "'max_connections'" "'open_files_limit'")"
  @longest-query @oldest-transaction @lock-waits)

QUERY='SELECT COUNT(*) FROM samples'
login=(-H "$DB_HOST" -u "$DB_USER" -p "$DB_PASS")
floor_login=("$DB_HOST" "$DB_PORT" "$DB_USER" "$DB_PASS")
replica_login=("$DB_HOST" "$DB_REPLICA_PORT" "$DB_USER" "$DB_PASS")

# One line per measured row: LINK, NAME, then the program, the floor and the
# TLS-free floor, each a command line quoted for the shell.
quoted() { local IFS=' '; printf '%q ' "$@"; }
row() {  # row LINK NAME PROGRAM-WORDS... -- FLOOR FLOOR-ARGUMENTS...
  local link=$1 name=$2 build program=() floor
  shift 2
  build=$SHARED
  [[ "$link" == static ]] && build=$STATIC
  while [[ "$1" != -- ]]; do program+=("$1"); shift; done
  shift
  floor=$1
  shift
  printf '%s\t%s\t%s\t%s\t%s\n' "$link" "$name" "$(quoted "$build/${program[0]}" "${program[@]:1}")" \
    "$(quoted "$build/bench/$floor" "$@")" "$(quoted "$build/bench/${floor}_tlsfree" "$@")" >>"$ROWS"
}
for link in shared static; do
  row "$link" check_dbhealth check_dbhealth "${login[@]}" -P "$DB_PORT" -- stat_floor "${floor_login[@]}"
  row "$link" "check_dbhealth -S" check_dbhealth "${login[@]}" -P "$DB_REPLICA_PORT" -S \
    -- stat_floor --replica "${replica_login[@]}"
  row "$link" check_dbquery check_dbquery "${login[@]}" -P "$DB_PORT" -d "$DB_NAME" -q "$QUERY" \
    -w 10 -c 20 -- query_floor "${floor_login[@]}" "$DB_NAME" "$QUERY"
  row "$link" "check_dbstatus, 1 mode" check_dbstatus "${login[@]}" -P "$DB_PORT" "${ONE_MODE[@]}" \
    -- status_floor "${floor_login[@]}" "${ONE_MODE_SQL[@]}"
  row "$link" "check_dbstatus, 19 modes" check_dbstatus "${login[@]}" -P "$DB_PORT" "${ALL_MODES[@]}" \
    -- status_floor "${floor_login[@]}" "${ALL_MODES_SQL[@]}"
  row "$link" check_dbreplica check_dbreplica "${login[@]}" -P "$DB_REPLICA_PORT" \
    -- state_floor replica "${replica_login[@]}"
  if [[ -n "$NODE_PORT" ]]; then
    row "$link" check_dbcluster check_dbcluster "${login[@]}" -P "$NODE_PORT" \
      -- cluster_floor cluster "$DB_HOST" "$NODE_PORT" "$DB_USER" "$DB_PASS"
  fi
done
ADMIN_CMD=$(quoted "$ADMIN" --skip-ssl -h "$DB_HOST" -P "$DB_PORT" -u "$DB_USER" \
  -p"$DB_PASS" status extended-status)

echo "== Measuring ($ROUNDS rounds of wall time per row)"
[[ -n "$NODE_PORT" ]] || echo "(no CLUSTER_ENV given: check_dbcluster is left out)"
python3 - "$ROWS" "$ROUNDS" "$ADMIN_CMD" <<'PY'
import os, re, shlex, statistics, subprocess, sys, time

rows_file, rounds, admin = sys.argv[1], int(sys.argv[2]), shlex.split(sys.argv[3])
rows = [line.rstrip("\n").split("\t") for line in open(rows_file)]

def run(command, program):
    """One run; a check must end in a plugin state (0-2), a floor in 0: a
    failing run would measure an error path."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode > (2 if program else 0):
        sys.exit(f"bench/floors.sh: {shlex.join(command)} failed ({done.returncode}):\n"
                 f"{done.stdout.decode()}{done.stderr.decode()}")
    return done

def instructions(command, program, show=False):
    done = run(command, program)
    if show:
        print(f"  {os.path.basename(command[0])}: {done.stdout.decode().splitlines()[0][:150]}",
              file=sys.stderr)
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
                          + command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    found = re.search(rb"Collected : (\d+)", done.stderr)
    if not found:
        sys.exit(f"bench/floors.sh: no callgrind count for {shlex.join(command)}")
    return int(found.group(1))

def needed(command):
    """The shared libraries a program names, in their order."""
    out = subprocess.run(["readelf", "-d", command[0]], stdout=subprocess.PIPE, text=True).stdout
    return re.findall(r"\(NEEDED\).*\[(.*)\]", out)

def walls(commands):
    """Median wall time of each command, the commands run in turns."""
    times = [[] for _ in commands]
    with open(os.devnull, "w") as null:
        for _ in range(3):
            for command, _ in commands:
                subprocess.run(command, stdout=null, stderr=null)
        for _ in range(rounds):
            for i, (command, program) in enumerate(commands):
                start = time.perf_counter()
                code = subprocess.run(command, stdout=null, stderr=null).returncode
                times[i].append(time.perf_counter() - start)
                if code > (2 if program else 0):
                    sys.exit(f"bench/floors.sh: {shlex.join(command)} failed ({code})")
    return [statistics.median(t) for t in times]

results = []
for link, name, program, floor, tlsfree in rows:
    program, floor, tlsfree = shlex.split(program), shlex.split(floor), shlex.split(tlsfree)
    if needed(program) != needed(floor):
        sys.exit(f"bench/floors.sh: {floor[0]} links {needed(floor)}, "
                 f"{program[0]} {needed(program)}: not a fair floor")
    counts = [instructions(program, True, link == "shared"), instructions(floor, False, link == "shared"),
              instructions(tlsfree, False)]
    wall = walls([(program, True), (floor, False), (tlsfree, False)])
    results.append((link, name, counts, wall))
    print(f"  {link:<6} {name:<26} {counts[0]:>11,} {counts[1]:>11,} {counts[2]:>11,}", file=sys.stderr)

def ratio(a, b):
    return f"{a / b:.2f}"

print("\n### Instructions per run (callgrind), against the floors\n")
print("| program | link | instructions | floor | ratio | TLS-free floor | ratio |")
print("|---|---|---:|---:|---:|---:|---:|")
for link, name, c, _ in results:
    print(f"| {name} | {link} | {c[0]:,} | {c[1]:,} | {ratio(c[0], c[1])} | {c[2]:,} | {ratio(c[0], c[2])} |")

print(f"\n### Wall time per run (median of {rounds} runs taken in turns), against the floors\n")
print("| program | link | ms | floor ms | ratio | TLS-free floor ms | ratio |")
print("|---|---|---:|---:|---:|---:|---:|")
for link, name, _, w in results:
    print(f"| {name} | {link} | {w[0] * 1000:.2f} | {w[1] * 1000:.2f} | {ratio(w[0], w[1])} "
          f"| {w[2] * 1000:.2f} | {ratio(w[0], w[2])} |")

print(f"\n### check_dbstatus: 19 modes against 1 (wall time: {rounds} runs of each in turns)\n")
print("| link | instructions, 19 / 1 | wall time, 19 / 1 |")
print("|---|---:|---:|")
for link in ("shared", "static"):
    got = {name: (c, shlex.split(r[2])) for (l, name, c, _), r in zip(results, rows) if l == link}
    many, one = got["check_dbstatus, 19 modes"], got["check_dbstatus, 1 mode"]
    w = walls([(many[1], True), (one[1], True)])
    print(f"| {link} | {ratio(many[0][0], one[0][0])} | {ratio(w[0], w[1])} |")

print("\n### check_dbhealth against `mariadb-admin --skip-ssl status extended-status`\n")
admin_count = instructions(admin, False)
print("| link | check_dbhealth instructions | mariadb-admin instructions | ratio "
      "| check_dbhealth ms | mariadb-admin ms | ratio |")
print("|---|---:|---:|---:|---:|---:|---:|")
for link, name, c, _ in results:
    if name != "check_dbhealth":
        continue
    program = next(shlex.split(r[2]) for r in rows if r[:2] == [link, name])
    w = walls([(program, True), (admin, False)])
    print(f"| {link} | {c[0]:,} | {admin_count:,} | {ratio(c[0], admin_count)} "
          f"| {w[0] * 1000:.2f} | {w[1] * 1000:.2f} | {ratio(w[0], w[1])} |")
PY
