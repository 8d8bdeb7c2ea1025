#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Capacity of one monitoring host: how many checks a second it runs against
# one private server, and what they add on that server. For a fixed time,
# LEVEL runs go on at once (each starts the next as soon as it ends), for
# each LEVEL of 1, the machine's core count and twice that, and for each of
#   check_dbstatus  five modes (connections, open-files, buffer-pool-hit,
#                   slow-queries, long-query), with its state
#   check_dbhealth  the statistics line and the status variables
#   check_dbreplica the replica's channels
# and for each the stock `mariadb` client sending the same statements in a
# shell pipeline that makes the same status line with awk (the five modes'
# deltas and rates from a state file of its own).
#
#   bench/capacity.sh [SERVER_ENV]
#
# SERVER_ENV: the server.env of a running test server (scripts/test_server.sh)
# to reuse; without it a private server is started and stopped again.
# Environment:
#   BENCH_SECONDS  how long each load runs (default 5)
#   BENCH_LEVELS   the numbers of concurrent runs (default "1 CORES 2*CORES")
# Prints one row per program and level:
#   runs/s          completed runs a second
#   runs/s/core     that, divided by the cores the runs can use (the level,
#                   at most the core count)
#   client CPU %    the CPU time the runs took (user and system, with every
#                   process they started), as a share of the machine
#   runs/CPU-s      runs per second of one core busy with them: what "one
#                   core runs about N checks a second" states
#   stmts/s, conn/s what the server's counters Questions and Connections
#                   grew by a second (the two reads of them left out)
# then each check's runs a second and runs per CPU-second against its
# pipeline's, at each level. The server runs on the same machine and takes
# its share of the cores.
# The password reaches every run in the environment (MYSQL_PWD).
set -euo pipefail

if (($# > 1)); then
  echo "usage: $0 [SERVER_ENV]" >&2
  exit 2
fi
# shellcheck source=SCRIPTDIR/bench_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
bench_require bench/capacity.sh mariadb awk
bench_setup bench/capacity.sh "${1:-}" check_dbstatus check_dbhealth check_dbreplica
CORES=$(nproc)
SECONDS_EACH=${BENCH_SECONDS:-5}
LEVELS=${BENCH_LEVELS:-"1 $CORES $((2 * CORES))"}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kivrel-capacity.XXXXXX")
trap 'rm -rf -- "$WORK"' EXIT
export MYSQL_PWD=$DB_PASS KIVREL_PLUGIN_STATE_DIRECTORY=$WORK/state
mkdir -p "$WORK/state"

# The checks' options, and the client's.
primary="-H $DB_HOST -P $DB_PORT -u $DB_USER"
replica="-H $DB_HOST -P $DB_REPLICA_PORT -u $DB_USER"
client_primary="-h $DB_HOST -P $DB_PORT -u $DB_USER"
client_replica="-h $DB_HOST -P $DB_REPLICA_PORT -u $DB_USER"
client="mariadb --skip-ssl -N -B"
MODES="-m connections -m open-files -m buffer-pool-hit -m slow-queries -m long-query"

# The pipelines' awk programs, in files so that the commands stay short.
cat >"$WORK/health.awk" <<'EOF'
# SHOW GLOBAL STATUS -> the statistics line and the counters as perfdata.
{ v[$1] = $2 }
END {
  printf "Uptime: %d  Threads: %d  Questions: %d  Slow queries: %d  Opens: %d  " \
    "Open tables: %d  Queries per second avg: %.3f|Connections=%dc Open_files=%d " \
    "Open_tables=%d Qcache_free_memory=%d Qcache_hits=%dc Qcache_inserts=%dc " \
    "Qcache_lowmem_prunes=%dc Qcache_not_cached=%dc Qcache_queries_in_cache=%d " \
    "Queries=%dc Questions=%dc Table_locks_waited=%dc Threads_connected=%d " \
    "Threads_running=%d Uptime=%dc\n", v["Uptime"], v["Threads_connected"],
    v["Questions"], v["Slow_queries"], v["Opened_tables"], v["Open_tables"],
    v["Questions"] / (v["Uptime"] ? v["Uptime"] : 1), v["Connections"],
    v["Open_files"], v["Open_tables"], v["Qcache_free_memory"], v["Qcache_hits"],
    v["Qcache_inserts"], v["Qcache_lowmem_prunes"], v["Qcache_not_cached"],
    v["Qcache_queries_in_cache"], v["Queries"], v["Questions"], v["Table_locks_waited"],
    v["Threads_connected"], v["Threads_running"], v["Uptime"]
}
EOF
cat >"$WORK/status.awk" <<'EOF'
# SHOW GLOBAL STATUS, SHOW GLOBAL VARIABLES and the longest query's seconds
# (a line "longest N") -> five metrics with ranges; the previous sample in
# the file STATE (lines "NAME VALUE", the time as "time"), written anew.
FILENAME == STATE { old[$1] = $2; next }
{ v[$1] = $2 }
function state(x, w, c) { return x > c ? 2 : x > w ? 1 : 0 }
function low(x, w, c) { return x < c ? 2 : x < w ? 1 : 0 }
END {
  srand(); now = srand(); dt = ("time" in old) ? now - old["time"] : 0
  conn = 100 * v["Threads_connected"] / v["max_connections"]
  files = 100 * v["Open_files"] / v["open_files_limit"]
  reads = v["Innodb_buffer_pool_reads"] - old["Innodb_buffer_pool_reads"]
  requests = v["Innodb_buffer_pool_read_requests"] - old["Innodb_buffer_pool_read_requests"]
  hit = requests > 0 ? 100 - 100 * reads / requests : 100
  slow = dt > 0 ? (v["Slow_queries"] - old["Slow_queries"]) / dt : 0
  worst = state(conn, 80, 95)
  s = state(files, 80, 95); if (s > worst) worst = s
  s = low(hit, 99, 95); if (s > worst) worst = s
  s = state(slow, 1, 10); if (s > worst) worst = s
  s = state(v["longest"], 60, 300); if (s > worst) worst = s
  split("OK WARNING CRITICAL", word)
  printf "STATUS %s: connections %.2f%%, open-files %.2f%%, buffer-pool-hit %.2f%%, " \
    "slow-queries %.2f, long-query %ds|connections=%.2f%%;80;95;0;100 " \
    "open_files=%.2f%%;80;95;0;100 buffer_pool_hit=%.2f%%;99:;95:;0;100 " \
    "slow_queries=%.2f;1;10;0 long_query=%ds;60;300;0\n", word[worst + 1], conn, files,
    hit, slow, v["longest"], conn, files, hit, slow, v["longest"], v["longest"]
  tmp = STATE "." PID
  printf "time %d\nInnodb_buffer_pool_reads %s\nInnodb_buffer_pool_read_requests %s\n" \
    "Slow_queries %s\n", now, v["Innodb_buffer_pool_reads"],
    v["Innodb_buffer_pool_read_requests"], v["Slow_queries"] >tmp
  close(tmp)
  system("mv -f '" tmp "' '" STATE "'")
}
EOF
cat >"$WORK/replica.awk" <<'EOF'
# SHOW ALL REPLICAS STATUS, vertical -> each channel's threads and lag.
$1 == "Connection_name:" { name = $2; n++ }
$1 == "Slave_IO_Running:" { io[n] = $2 }
$1 == "Slave_SQL_Running:" { sql[n] = $2 }
$1 == "Seconds_Behind_Master:" { lag[n] = $2; names[n] = name }
END {
  for (i = 1; i <= n; i++) {
    text = text sprintf("%s'%s' IO %s, SQL %s, lag %s s", i > 1 ? "; " : "", names[i],
      io[i], sql[i], lag[i])
    perf = perf sprintf("%slag%s=%ss;;;0", i > 1 ? " " : "", names[i] == "" ? "" : "_" names[i],
      lag[i])
  }
  state = (n == 0) ? "CRITICAL" : "OK"
  for (i = 1; i <= n; i++) if (io[i] != "Yes" || sql[i] != "Yes") state = "CRITICAL"
  printf "REPLICA %s: %d channels: %s|%s\n", state, n, text, perf
}
EOF
: >"$WORK/status.state"
longest="SELECT 'longest', COALESCE(MAX(TIME), 0) FROM information_schema.PROCESSLIST"
longest+=" WHERE COMMAND NOT IN ('Sleep', 'Daemon', 'Binlog Dump') AND ID <> CONNECTION_ID()"
cat >"$WORK/status.sh" <<EOF
$client $client_primary -e "SHOW GLOBAL STATUS; SHOW GLOBAL VARIABLES; $longest" |
  awk -v STATE="$WORK/status.state" -v PID=\$\$ -f "$WORK/status.awk" "$WORK/status.state" -
EOF
cat >"$WORK/health.sh" <<EOF
$client $client_primary -e 'SHOW GLOBAL STATUS' | awk -f "$WORK/health.awk"
EOF
cat >"$WORK/replica.sh" <<EOF
mariadb --skip-ssl $client_replica -E -e 'SHOW ALL REPLICAS STATUS' | awk -f "$WORK/replica.awk"
EOF

# SERVER:NAME=COMMAND, SERVER the server whose counters the runs move.
workloads=(
  "primary:check_dbstatus, 5 modes=$BENCH_BUILD/check_dbstatus $primary $MODES"
  "primary:mariadb | awk, 5 modes=sh $WORK/status.sh"
  "primary:check_dbhealth=$BENCH_BUILD/check_dbhealth $primary"
  "primary:mariadb | awk, health=sh $WORK/health.sh"
  "replica:check_dbreplica=$BENCH_BUILD/check_dbreplica $replica"
  "replica:mariadb | awk, replica=sh $WORK/replica.sh"
)

# Each must work once here and print one line; a failing run would measure
# an error path.
for workload in "${workloads[@]}"; do
  name=${workload%%=*}
  name=${name#*:}
  eval "set -- ${workload#*=}"
  "$@" >"$WORK/line" || (($? < 3)) || { cat "$WORK/line"; echo "$name failed" >&2; exit 1; }
  (($(wc -l <"$WORK/line") == 1)) || { cat "$WORK/line"; echo "$name: not one line" >&2; exit 1; }
  printf '%-26s %s\n' "$name:" "$(cut -c1-110 "$WORK/line")"
done

echo "== $SECONDS_EACH s per load, levels $LEVELS, $CORES cores"
counters="-e \"SHOW GLOBAL STATUS WHERE Variable_name IN ('Questions', 'Connections')\""
python3 - "$SECONDS_EACH" "$LEVELS" "$CORES" "$client $client_primary $counters" \
  "$client $client_replica $counters" "${workloads[@]}" <<'PY'
import resource, shlex, subprocess, sys, threading, time

seconds, levels, cores = float(sys.argv[1]), [int(n) for n in sys.argv[2].split()], int(sys.argv[3])
counters_commands = {"primary": shlex.split(sys.argv[4]), "replica": shlex.split(sys.argv[5])}
workloads = [arg.split(":", 1)[0:1] + arg.split(":", 1)[1].split("=", 1) for arg in sys.argv[6:]]


def counters(server):
    out = subprocess.run(counters_commands[server], capture_output=True, text=True,
                         check=True).stdout
    values = dict(line.split("\t") for line in out.splitlines())
    return int(values["Questions"]), int(values["Connections"])


def child_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def load(server, argv, level):
    runs = [0] * level
    end = time.monotonic() + seconds

    def worker(slot):
        while time.monotonic() < end:
            subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            runs[slot] += 1

    questions, connections = counters(server)
    cpu, start = child_cpu(), time.monotonic()
    threads = [threading.Thread(target=worker, args=(slot,)) for slot in range(level)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed, cpu = time.monotonic() - start, child_cpu() - cpu
    questions2, connections2 = counters(server)
    total = sum(runs)
    # Less the reading of the counters: one statement, one connection.
    return {
        "rate": total / elapsed,
        "per_core": total / elapsed / min(level, cores),
        "cpu_share": 100 * cpu / elapsed / cores,
        "per_cpu": total / cpu if cpu else float("nan"),
        "stmts": (questions2 - questions - 1) / elapsed,
        "conns": (connections2 - connections - 1) / elapsed,
    }


results = {}
print(f"{'program':<26} {'level':>5} {'runs/s':>8} {'runs/s/core':>11} {'client CPU %':>12}"
      f" {'runs/CPU-s':>10} {'stmts/s':>8} {'conn/s':>7}")
for server, name, command in workloads:
    argv = shlex.split(command)
    for level in levels:
        r = results[name, level] = load(server, argv, level)
        print(f"{name:<26} {level:>5} {r['rate']:>8.1f} {r['per_core']:>11.1f}"
              f" {r['cpu_share']:>12.1f} {r['per_cpu']:>10.1f} {r['stmts']:>8.1f} {r['conns']:>7.1f}",
              flush=True)
print("== each check against its pipeline (runs/s ratio, runs/CPU-s ratio)")
for (_, check, _), (_, pipeline, _) in zip(workloads[0::2], workloads[1::2]):
    for level in levels:
        a, b = results[check, level], results[pipeline, level]
        print(f"{check:<26} {level:>5}  {a['rate'] / b['rate']:5.2f}x  {a['per_cpu'] / b['per_cpu']:5.2f}x")
PY
