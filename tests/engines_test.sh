#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The monitoring-engine definitions under the real engines.
#
#   engines_test.sh ENGINES_DIR PLUGIN_DIR BUILT_DIR SERVER_ENV CACHE_DIR CONTRIB_FILE
#
# ENGINES_DIR holds the generated objects.conf (CheckCommand objects) and
# commands.cfg (define command blocks), which name the programs in
# PLUGIN_DIR (their install location). CONTRIB_FILE is the CheckCommand
# file as the build's staged install put it in the object engine's folder
# of contributed commands. The test
#   1. checks that both files name the programs in PLUGIN_DIR, and that
#      CONTRIB_FILE is objects.conf;
#   2. validates each with its engine (the classic core's -v, the object
#      engine's daemon -C), in a configuration of our own that uses every
#      command (those without ranges in that of 4.), and with the example
#      services of examples/; the object engine finds CONTRIB_FILE through
#      `include <plugins-contrib>`, in an include folder of the test's own
#      that holds the engine's plugins-contrib file and CONTRIB_FILE;
#   3. runs a private object engine with a copy of CONTRIB_FILE that names
#      the programs in BUILT_DIR, included likewise, against the test
#      server of SERVER_ENV, and reads the engine's own check results back
#      over its API on loopback: state, command line, output and the
#      performance data as the engine parsed them;
#   4. runs the classic core likewise on the commands whose arguments need
#      care (a query with single quotes, the commands without ranges), and
#      reads its results from its status file;
#   5. runs a second private object engine as the agent of a master, its
#      certificate signed by the master's CA, both including the same copy:
#      the master runs the health, socket, rate and replica services on the
#      agent (command_endpoint) and reads their results over its API, which
#      must be what the programs print when run directly; the password is
#      in no command line or file either side keeps, but for the master's
#      configuration; the rate's sample stays on the agent, its user's.
# Everything lives in a temporary directory; the engines are stopped by
# their pids and the directory removed however the test ends.
set -euo pipefail

readonly API_USER=kivrel
readonly API_PASSWORD=kivrel-Api-Secret-1
readonly NODE=kivrel-engine-test
readonly RESULT_TIMEOUT=60
readonly STOP_TIMEOUT=20

(($# == 6)) || { echo "usage: $0 ENGINES_DIR PLUGIN_DIR BUILT_DIR SERVER_ENV CACHE_DIR CONTRIB_FILE" >&2; exit 2; }
ENGINES=$(cd "$1" && pwd)
PLUGIN_DIR=$2
BUILT_DIR=$(cd "$3" && pwd)
SERVER_ENV=$4
CACHE_DIR=$5
CONTRIB_FILE=$6
OBJECT_DEFS=$ENGINES/objects.conf
CLASSIC_DEFS=$ENGINES/commands.cfg

fail() {
  echo "engines_test.sh: FAIL: $*" >&2
  exit 1
}

find_program() {
  command -v "$1" 2>/dev/null || { [[ -x "/usr/sbin/$1" ]] && echo "/usr/sbin/$1"; } ||
    fail "$1 not found"
}
# The engines' own command names (and, below, their own configuration
# keywords) are what the engines' Debian packages install and read.
OBJECT_ENGINE=$(find_program icinga2)
# The classic engine is unpacked from its package into CACHE_DIR, never
# installed (see scripts/classic_engine.sh).
CLASSIC_ENGINE=$(bash "$(dirname "${BASH_SOURCE[0]}")/../scripts/classic_engine.sh" "$CACHE_DIR") ||
  fail "the classic engine could not be unpacked"
classic_keyword=$(basename "$CLASSIC_ENGINE")
classic_keyword=${classic_keyword%%[0-9]*}

TMP=$(mktemp -d "${TMPDIR:-/tmp}/kivrel-engines.XXXXXX")
ENGINE_PID=""
AGENT_PID=""

stop_session() {  # stop_session PID: end the session that PID leads
  [[ -n "$1" ]] || return 0
  # The daemon runs in a session of its own: the umbrella process, its
  # worker and the spawn helper end together.
  kill -TERM -- "-$1" 2>/dev/null || true
  local tenths=$((STOP_TIMEOUT * 10))
  while kill -0 -- "-$1" 2>/dev/null && ((tenths > 0)); do
    sleep 0.1
    tenths=$((tenths - 1))
  done
  kill -KILL -- "-$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
stop_engine() {
  stop_session "$ENGINE_PID"
  ENGINE_PID=""
  stop_session "$AGENT_PID"
  AGENT_PID=""
}

cleanup() {
  local rc=$?
  stop_engine
  local log
  for log in "$TMP/master/daemon.log" "$TMP/agent/daemon.log"; do
    if ((rc != 0)) && [[ -f "$log" ]]; then
      echo "---- $log ----" >&2
      tail -n 50 "$log" >&2
    fi
  done
  if ((rc != 0)) && [[ -f "$TMP/object/daemon.log" ]]; then
    echo "---- object engine log ----" >&2
    tail -n 100 "$TMP/object/daemon.log" >&2
  fi
  rm -rf -- "$TMP"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# ---- 1. The shipped files name the installed programs ----------------------
for program in check_dbhealth check_dbquery check_dbstatus check_sysinfo check_dbreplica \
  check_dbcluster; do
  grep -qF "command = [ \"$PLUGIN_DIR/$program\" ]" "$OBJECT_DEFS" ||
    fail "$OBJECT_DEFS does not run $PLUGIN_DIR/$program"
  grep -qE "^ +command_line +$PLUGIN_DIR/$program " "$CLASSIC_DEFS" ||
    fail "$CLASSIC_DEFS does not run $PLUGIN_DIR/$program"
done

[[ -f "$CONTRIB_FILE" ]] || fail "no $CONTRIB_FILE (was the build staged?)"
cmp -s "$CONTRIB_FILE" "$OBJECT_DEFS" || fail "$CONTRIB_FILE is not $OBJECT_DEFS"

# ---- 2a. The classic core validates the commands ---------------------------
N=$TMP/classic
mkdir -p "$N/checkresults"
cat >"$N/main.cfg" <<EOF
cfg_file=$CLASSIC_DEFS
cfg_file=$N/objects.cfg
log_file=$N/core.log
status_file=$N/status.dat
temp_file=$N/core.tmp
temp_path=$N
lock_file=$N/core.lock
object_cache_file=$N/objects.cache
precached_object_file=$N/objects.precache
state_retention_file=$N/retention.dat
check_result_path=$N/checkresults
command_file=$N/core.cmd
# The core runs as this user and group (keywords named after the core:
# its binary's name without the major version).
${classic_keyword}_user=$(id -un)
${classic_keyword}_group=$(id -gn)
# The core warns when this is unset.
illegal_macro_output_chars=\`~\$&|'"<>
EOF
cat >"$N/objects.cfg" <<'EOF'
define timeperiod {
    timeperiod_name always
    alias           always
    monday          00:00-24:00
    tuesday         00:00-24:00
    wednesday       00:00-24:00
    thursday        00:00-24:00
    friday          00:00-24:00
    saturday        00:00-24:00
    sunday          00:00-24:00
}
define command {
    command_name    notify_nobody
    command_line    /bin/true
}
define contact {
    contact_name                  admin
    host_notifications_enabled    0
    service_notifications_enabled 0
    host_notification_period      always
    service_notification_period   always
    host_notification_options     n
    service_notification_options  n
    host_notification_commands    notify_nobody
    service_notification_commands notify_nobody
}
define host {
    host_name             db
    address               127.0.0.1
    check_command         kivrel_sysinfo!os
    max_check_attempts    1
    check_period          always
    notification_period   always
    contacts              admin
}
define service {
    name                  kivrel_service
    register              0
    host_name             db
    max_check_attempts    1
    check_interval        5
    retry_interval        1
    check_period          always
    notification_period   always
    contacts              admin
}
define service {
    use                   kivrel_service
    service_description   health
    check_command         kivrel_dbhealth!-u monitor -f /etc/kivrel-plugins/my.cnf
}
define service {
    use                   kivrel_service
    service_description   replica
    check_command         kivrel_dbhealth_replica!60!300!-f /etc/kivrel-plugins/my.cnf
}
define service {
    use                   kivrel_service
    service_description   query
    check_command         kivrel_dbquery!SELECT COUNT(*) FROM samples!10!20!-d kivrel_test
}
define service {
    use                   kivrel_service
    service_description   os
    check_command         kivrel_sysinfo!os
}
define service {
    use                   kivrel_service
    service_description   status
    check_command         kivrel_dbstatus!connections!-m slow-queries -f /etc/kivrel-plugins/my.cnf
}
define service {
    use                   kivrel_service
    service_description   status_ranges
    check_command         kivrel_dbstatus_ranges!long-query!30!120!-f /etc/kivrel-plugins/my.cnf
}
define service {
    use                   kivrel_service
    service_description   status_expression
    check_command         kivrel_dbstatus_expression!100*Threads_running/@max_connections!running share!10!20!-f /etc/kivrel-plugins/my.cnf
}
define service {
    use                   kivrel_service
    service_description   channels
    check_command         kivrel_dbreplica!60!300!--channel=east -f /etc/kivrel-plugins/my.cnf
}
define service {
    use                   kivrel_service
    service_description   cluster
    check_command         kivrel_dbcluster!3:!2:!-f /etc/kivrel-plugins/my.cnf
}
EOF
# The shipped example services, on the host and template above.
EXAMPLES=$(cd "$(dirname "${BASH_SOURCE[0]}")/../examples" && pwd)
sed 's/^\( *host_name  *\)db1$/\1db/' "$EXAMPLES/services-commands.cfg" >"$N/example-services.cfg"
printf 'cfg_file=%s\ncfg_file=%s\n' "$N/example-services.cfg" "$N/examples.cfg" >>"$N/main.cfg"
cat >"$N/examples.cfg" <<'EOF'
define service {
    name                  generic-service
    use                   kivrel_service
    register              0
}
define command {
    command_name    kivrel_remote
    command_line    /bin/true '$ARG1$'
}
EOF
if ! "$CLASSIC_ENGINE" -v "$N/main.cfg" >"$N/verify.log" 2>&1; then
  cat "$N/verify.log" >&2
  fail "the classic core rejects the configuration"
fi
grep -qE '^Total Warnings: +0$' "$N/verify.log" || {
  cat "$N/verify.log" >&2
  fail "the classic core warns about the configuration"
}

# ---- 2b. The object engine validates the CheckCommands ---------------------
I=$TMP/object
mkdir -p "$I"/{etc,lib,log,cache,spool,run}
engine_defines=(
  -DConfigDir="$I/etc" -DDataDir="$I/lib" -DLogDir="$I/log"
  -DCacheDir="$I/cache" -DSpoolDir="$I/spool" -DInitRunDir="$I/run"
  -DNodeName="$NODE" -DRunAsUser="$(id -un)" -DRunAsGroup="$(id -gn)"
)

# include_folder FOLDER CONTRIB_FILE: an include folder for the engine's
# IncludeConfDir with its own plugins-contrib file, which includes every
# file of plugins-contrib.d, and there only CONTRIB_FILE.
ENGINE_INCLUDES=$("$OBJECT_ENGINE" console --eval IncludeConfDir | sed 's/^"\(.*\)"$/\1/')
[[ -f "$ENGINE_INCLUDES/plugins-contrib" ]] || fail "no plugins-contrib in $ENGINE_INCLUDES"
include_folder() {
  mkdir -p "$1/plugins-contrib.d"
  cp "$ENGINE_INCLUDES/plugins-contrib" "$1/"
  cp "$2" "$1/plugins-contrib.d/kivrel-plugins.conf"
}
include_folder "$I/include" "$CONTRIB_FILE"
engine_defines+=(-DIncludeConfDir="$I/include")

cat >"$I/etc/validate.conf" <<EOF
include <plugins-contrib>

object Host "db" {
  address = "127.0.0.1"
  check_command = "kivrel_sysinfo"
}
object Service "health" {
  host_name = "db"
  check_command = "kivrel_dbhealth"
  vars.kivrel_dbhealth_file = "/etc/kivrel-plugins/my.cnf"
  vars.kivrel_dbhealth_check_slave = true
}
object Service "query" {
  host_name = "db"
  check_command = "kivrel_dbquery"
  vars.kivrel_dbquery_query = "SELECT COUNT(*) FROM samples"
}
object Service "os" {
  host_name = "db"
  check_command = "kivrel_sysinfo"
}
object Service "status" {
  host_name = "db"
  check_command = "kivrel_dbstatus"
  vars.kivrel_dbstatus_mode = "buffer-pool-hit"
  vars.kivrel_dbstatus_warning = "98:"
  vars.kivrel_dbstatus_file = "/etc/kivrel-plugins/my.cnf"
}
object Service "channels" {
  host_name = "db"
  check_command = "kivrel_dbreplica"
  vars.kivrel_dbreplica_channel = [ "", "east" ]
  vars.kivrel_dbreplica_heartbeat = "monitoring.heartbeat"
}
object Service "cluster" {
  host_name = "db"
  check_command = "kivrel_dbcluster"
  vars.kivrel_dbcluster_warning = "3:"
}
EOF
if ! "$OBJECT_ENGINE" daemon -C -c "$I/etc/validate.conf" "${engine_defines[@]}" \
  >"$I/validate.log" 2>&1; then
  cat "$I/validate.log" >&2
  fail "the object engine rejects the configuration"
fi
grep -q 'Instantiated 6 CheckCommands' "$I/validate.log" || {
  cat "$I/validate.log" >&2
  fail "the object engine did not create the six CheckCommands"
}

# ---- 2c. The object engine validates the shipped example services ----------
# Their check_sysinfo runs through the agent on the host, so the host is in
# a zone of its own below the engine's, and the services in the engine's
# zone folder, as in a distributed setup.
X=$TMP/examples
mkdir -p "$X/zones.d/master"
cp "$EXAMPLES/services-objects.conf" "$X/zones.d/master/"
cat >"$X/zones.d/master/hosts.conf" <<'EOF'
object Host "db1" {
  address = "127.0.0.1"
  check_command = "kivrel_sysinfo"
  vars.kivrel_db = true
  vars.kivrel_replica = true
  vars.kivrel_cluster = true
  vars.kivrel_agent = true
}
EOF
cat >"$X/examples.conf" <<EOF
include <plugins-contrib>
include_zones "examples", "$X/zones.d"
object Endpoint "$NODE" { }
object Zone "master" { endpoints = [ "$NODE" ] }
object Endpoint "db1" { }
object Zone "db1" { endpoints = [ "db1" ]; parent = "master" }
EOF
if ! "$OBJECT_ENGINE" daemon -C -c "$X/examples.conf" "${engine_defines[@]}" \
  >"$X/validate.log" 2>&1 || ! grep -q 'Instantiated 7 Services' "$X/validate.log"; then
  cat "$X/validate.log" >&2
  fail "the object engine rejects the example services"
fi

# ---- 3. A private object engine runs the checks ---------------------------
# Server settings: HOST, PORT, USER, PASSWORD, DATABASE, REPLICA_PORT, ...
[[ -f "$SERVER_ENV" ]] || fail "no $SERVER_ENV (is the test server running?)"
while IFS='=' read -r key value; do
  [[ "$key" =~ ^[A-Z_]+$ ]] && printf -v "DB_$key" '%s' "$value"
done <"$SERVER_ENV"

# The definitions as installed, with the build's programs in place of the
# installed ones, in the include folder.
defs=$(<"$CONTRIB_FILE")
printf '%s\n' "${defs//"$PLUGIN_DIR/"/"$BUILT_DIR/"}" >"$I/built.conf"
include_folder "$I/include" "$I/built.conf"

# The API's certificates, made by the engine's own PKI commands.
mkdir -p "$I/lib/certs"
if ! {
  "$OBJECT_ENGINE" pki new-ca "${engine_defines[@]}" &&
    "$OBJECT_ENGINE" pki new-cert "${engine_defines[@]}" --cn "$NODE" \
      --key "$I/lib/certs/$NODE.key" --csr "$I/lib/certs/$NODE.csr" &&
    "$OBJECT_ENGINE" pki sign-csr "${engine_defines[@]}" \
      --csr "$I/lib/certs/$NODE.csr" --cert "$I/lib/certs/$NODE.crt" &&
    cp "$I/lib/ca/ca.crt" "$I/lib/certs/ca.crt"
} >"$I/pki.log" 2>&1; then
  cat "$I/pki.log" >&2
  fail "cannot make the API certificates"
fi

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {  # free_port: a TCP port on 127.0.0.1 that nothing listens on
  local candidate
  for _ in $(seq 100); do
    candidate=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    port_in_use "$candidate" || { echo "$candidate"; return 0; }
  done
  fail "no free TCP port on 127.0.0.1"
}
API_PORT=$(free_port)

# The query check logs in with options from an INI file.
cat >"$I/etc/plugins.ini" <<EOF
[query_login]
username = $DB_USER
password = $DB_PASSWORD
EOF

cat >"$I/etc/engine.conf" <<EOF
include <plugins-contrib>

object CheckerComponent "checker" { }
object Endpoint NodeName { }
object Zone NodeName { endpoints = [ NodeName ] }
object ApiListener "api" {
  bind_host = "127.0.0.1"
  bind_port = $API_PORT
}
object ApiUser "$API_USER" {
  password = "$API_PASSWORD"
  permissions = [ "objects/query/*" ]
}

object Host "db" {
  address = "$DB_HOST"
  check_command = "kivrel_sysinfo"
  enable_active_checks = false
}
// A host with an IPv6 address alone.
object Host "db6" {
  address6 = "::1"
  check_command = "kivrel_sysinfo"
  enable_active_checks = false
}
template Service "kivrel-service" {
  host_name = "db"
  check_interval = 2s
  retry_interval = 2s
  max_check_attempts = 1
}
object Service "query" {
  import "kivrel-service"
  check_command = "kivrel_dbquery"
  vars.kivrel_dbquery_port = $DB_PORT
  vars.kivrel_dbquery_extra_opts = "query_login@$I/etc/plugins.ini"
  vars.kivrel_dbquery_database = "$DB_DATABASE"
  vars.kivrel_dbquery_query = "SELECT 15"
  vars.kivrel_dbquery_warning = "10"
  vars.kivrel_dbquery_critical = "20"
}
object Service "health" {
  import "kivrel-service"
  check_command = "kivrel_dbhealth"
  vars.kivrel_dbhealth_port = $DB_PORT
  vars.kivrel_dbhealth_username = "$DB_USER"
  vars.kivrel_dbhealth_password = "$DB_PASSWORD"
}
// Only the socket: no host address may be passed with it.
object Service "socket" {
  import "kivrel-service"
  check_command = "kivrel_dbquery"
  vars.kivrel_dbquery_socket = "$DB_SOCKET"
  vars.kivrel_dbquery_username = "$DB_USER"
  vars.kivrel_dbquery_password = "$DB_PASSWORD"
  vars.kivrel_dbquery_query = "SELECT 4"
}
// Columns, each with its own ranges, and a replica that must be read-only.
object Service "columns" {
  import "kivrel-service"
  check_command = "kivrel_dbquery"
  vars.kivrel_dbquery_socket = "$DB_SOCKET"
  vars.kivrel_dbquery_username = "$DB_USER"
  vars.kivrel_dbquery_password = "$DB_PASSWORD"
  vars.kivrel_dbquery_query = "SELECT 'a' AS k, 1 AS v, 7 AS n UNION ALL SELECT 'b', 5, 8"
  vars.kivrel_dbquery_column = [ "v", "n" ]
  vars.kivrel_dbquery_label_column = "k"
  vars.kivrel_dbquery_warning = { v = "3" }
  vars.kivrel_dbquery_critical = "10"
}
object Service "readonly" {
  import "kivrel-service"
  check_command = "kivrel_dbreplica"
  vars.kivrel_dbreplica_port = $DB_REPLICA_PORT
  vars.kivrel_dbreplica_username = "$DB_USER"
  vars.kivrel_dbreplica_password = "$DB_PASSWORD"
  vars.kivrel_dbreplica_read_only = "off"
}
object Service "replica" {
  import "kivrel-service"
  check_command = "kivrel_dbhealth"
  vars.kivrel_dbhealth_port = $DB_REPLICA_PORT
  vars.kivrel_dbhealth_username = "$DB_USER"
  vars.kivrel_dbhealth_password = "$DB_PASSWORD"
  vars.kivrel_dbhealth_check_slave = true
  vars.kivrel_dbhealth_warning = "60"
  vars.kivrel_dbhealth_critical = "300"
}
object Service "os" {
  import "kivrel-service"
  check_command = "kivrel_sysinfo"
}
object Service "status" {
  import "kivrel-service"
  check_command = "kivrel_dbstatus"
  vars.kivrel_dbstatus_port = $DB_PORT
  vars.kivrel_dbstatus_username = "$DB_USER"
  vars.kivrel_dbstatus_password = "$DB_PASSWORD"
  vars.kivrel_dbstatus_mode = "connections"
}
// Several modes in one run: the modes' default ranges, but for the ranges
// given by mode name (warning) and for the last mode (critical).
object Service "modes" {
  import "kivrel-service"
  check_command = "kivrel_dbstatus"
  vars.kivrel_dbstatus_port = $DB_PORT
  vars.kivrel_dbstatus_username = "$DB_USER"
  vars.kivrel_dbstatus_password = "$DB_PASSWORD"
  vars.kivrel_dbstatus_mode = [ "connections", "open-files", "long-query" ]
  vars.kivrel_dbstatus_warning = { "long-query" = "120" }
  vars.kivrel_dbstatus_critical = "600"
  vars.kivrel_dbstatus_ignore_user = [ "^backup\$\$", "^etl" ]
  vars.kivrel_dbstatus_max_tables = 500
  vars.kivrel_dbstatus_warmup = "15m"
}
object Service "typo" {
  import "kivrel-service"
  check_command = "kivrel_dbstatus"
  vars.kivrel_dbstatus_mode = "long-query"
  vars.kivrel_dbstatus_warning = { "long_query" = "120" }
}
object Service "ipv6" {
  import "kivrel-service"
  host_name = "db6"
  check_command = "kivrel_dbcluster"
  vars.kivrel_dbcluster_port = $DB_PORT
}
object Service "rates" {
  import "kivrel-service"
  check_command = "kivrel_dbstatus"
  vars.kivrel_dbstatus_port = $DB_PORT
  vars.kivrel_dbstatus_username = "$DB_USER"
  vars.kivrel_dbstatus_password = "$DB_PASSWORD"
  vars.kivrel_dbstatus_expression = "rate(Questions)"
  vars.kivrel_dbstatus_label = "questions"
  vars.kivrel_dbstatus_warning = "0:0"
  vars.kivrel_dbstatus_state_directory = "$I/state"
}
object Service "channels" {
  import "kivrel-service"
  check_command = "kivrel_dbreplica"
  vars.kivrel_dbreplica_port = $DB_REPLICA_PORT
  vars.kivrel_dbreplica_username = "$DB_USER"
  vars.kivrel_dbreplica_password = "$DB_PASSWORD"
  vars.kivrel_dbreplica_channel = [ "", "east" ]
  vars.kivrel_dbreplica_warning = "60"
  vars.kivrel_dbreplica_critical = "300"
}
object Service "cluster" {
  import "kivrel-service"
  check_command = "kivrel_dbcluster"
  vars.kivrel_dbcluster_port = $DB_PORT
  vars.kivrel_dbcluster_username = "$DB_USER"
  vars.kivrel_dbcluster_password = "$DB_PASSWORD"
  vars.kivrel_dbcluster_warning = "3:"
}
EOF

setsid "$OBJECT_ENGINE" daemon -c "$I/etc/engine.conf" "${engine_defines[@]}" \
  </dev/null >"$I/daemon.log" 2>&1 &
ENGINE_PID=$!

# Prints one line per service: "NAME exit N", "NAME output TEXT" and one
# "NAME perf ITEM" per performance data item; nothing for a service that has
# no result yet. Fails while the API does not answer.
read_results() {
  python3 - "$API_PORT" "$API_USER" "$API_PASSWORD" <<'PY'
import base64, json, shlex, ssl, sys, urllib.request

port, user, password = sys.argv[1:4]
request = urllib.request.Request(
    f"https://127.0.0.1:{port}/v1/objects/services?attrs=last_check_result",
    headers={
        "Accept": "application/json",
        "Authorization": "Basic "
        + base64.b64encode(f"{user}:{password}".encode()).decode(),
    },
)
context = ssl.create_default_context()
context.check_hostname = False
context.verify_mode = ssl.CERT_NONE
with urllib.request.urlopen(request, context=context, timeout=5) as reply:
    services = json.load(reply)["results"]
for service in services:
    name = service["name"].split("!", 1)[1]
    result = service["attrs"]["last_check_result"]
    if not result:
        continue
    print(name, "exit", int(result["exit_status"]))
    print(name, "output", result["output"].replace("\n", "\\n"))
    print(name, "command", " ".join(result["command"] or []))
    print(name, "argv", shlex.join(result["command"] or []))
    print(name, "source", result["check_source"])
    for item in result["performance_data"] or []:
        print(name, "perf", item)
PY
}

results=$TMP/results
deadline=$((SECONDS + RESULT_TIMEOUT))
while :; do
  kill -0 "$ENGINE_PID" 2>/dev/null || fail "the object engine ended early"
  if read_results >"$results" 2>"$TMP/api.err" &&
    (($(grep -c '^[a-z0-9]* exit ' "$results") == 14)); then
    break
  fi
  ((SECONDS < deadline)) || {
    cat "$TMP/api.err" "$results" >&2
    fail "no check results from the engine API within ${RESULT_TIMEOUT}s"
  }
  sleep 0.5
done
stop_engine

expect_line() {  # expect_line LINE: the exact line is among the results
  grep -qxF -- "$1" "$results" || { cat "$results" >&2; fail "no result line: $1"; }
}
expect_match() {  # expect_match REGEX: a line of the results matches
  grep -qxE -- "$1" "$results" || { cat "$results" >&2; fail "no result line matches: $1"; }
}

expect_line "query exit 1"
# The engine keeps the blank before the "|" of the status line.
expect_match "query output QUERY WARNING: 'SELECT 15' returned 15\.000000 ?"
expect_line "query perf result=15;10;20"

# The engine stores and serves each check's command line: no password in
# any of them, and the socket-only check has no host in its.
if grep -F -- "$DB_PASSWORD" "$results" >&2; then
  fail "a stored command line holds the password"
fi
expect_line "socket exit 0"
expect_line "columns exit 1"
expect_line "columns perf a_v=1;3;10"
expect_line "columns perf b_n=8;;10"
expect_line "readonly exit 2"
expect_match "readonly output REPLICA CRITICAL: read_only ON, expected OFF; .*"
expect_match "socket output QUERY OK: 'SELECT 4' returned 4\.000000 ?"
expect_match "socket command $BUILT_DIR/check_dbquery -q SELECT 4 -s $DB_SOCKET -u $DB_USER"
grep -E '^socket command .* -H ' "$results" >&2 && fail "the socket-only check got -H"

expect_line "health exit 0"
expect_match "health output Uptime: [0-9]+ +Threads: [0-9]+ .*Queries per second avg: [0-9.]+"
expect_match "health perf Connections=[0-9]+c"
expect_match "health perf Threads_connected=[0-9]+"
(($(grep -c '^health perf ' "$results") == 15)) ||
  { cat "$results" >&2; fail "the engine did not parse 15 performance data items of dbhealth"; }

expect_line "replica exit 0"
expect_match "replica output Uptime: .* Slave IO: Yes Slave SQL: Yes Seconds Behind Master: 0"
expect_line "replica perf 'seconds behind master'=0s;60;300"

expect_line "status exit 0"
expect_match "status output STATUS OK: connections [0-9.]+% ?"
expect_match "status perf connections=[0-9.]+%;80;95;0;100"

# Each mode with its own ranges, in the order given: the defaults as the
# program lists them, but where the service gave others.
defaults() {  # defaults MODE: "WARNING;CRITICAL" of the mode, empty for none
  "$BUILT_DIR/check_dbstatus" --mode=list |
    awk -v mode="$1" '$1 == mode { w = $3; c = $4; if (w == "-") w = ""; if (c == "-") c = ""; print w ";" c }'
}
expect_line "modes exit 0"
expect_match "modes command $BUILT_DIR/check_dbstatus .*-m connections -m open-files -m long-query -w 120 -c 600( .*)?"
expect_match "modes perf connections=[0-9.]+%;$(defaults connections);0;100"
expect_match "modes perf open_files=[0-9.]+%;$(defaults open-files);0;100"
expect_match "modes perf long_query=[0-9.]+s;120;600;0"
expect_match "modes command .* --ignore-user=\\^backup\\$ --ignore-user=\\^etl( .*)?"
expect_match "modes command .* --max-tables=500( .*)?"
expect_match "modes command .* --warmup=15m( .*)?"
[[ "$(defaults long-query)" != "120;600" ]] || fail "long-query's defaults are the ranges the service gives"

# A range for a metric the service does not run.
expect_line "typo exit 3"
expect_match "typo output .*kivrel_dbstatus_warning names \"long_query\", which is no metric of the service.*"

# The IPv6 address of a host without an IPv4 one.
expect_match "ipv6 command $BUILT_DIR/check_dbcluster -H ::1 -P $DB_PORT"

# Rates keep their sample in the state directory the engine hands over.
expect_line "rates exit 1"
expect_match "rates output STATUS WARNING: questions [0-9.]+( since start)? \\(WARNING\\) ?"
expect_match "rates perf questions=[0-9.]+;0"
[[ -n "$(find "$I/state" -type f 2>/dev/null)" ]] || fail "check_dbstatus kept no state in $I/state"

expect_line "os exit 0"
expect_line "os output $(uname -s)"

# Both channels named, the default one by its empty name.
expect_line "channels exit 0"
expect_match "channels output REPLICA OK: 2 channels: '' IO Yes, SQL Yes, lag 0 s; 'east' IO Yes, SQL Yes, lag 0 s ?"
expect_line "channels perf lag=0s;60;300;0"
expect_line "channels perf lag_east=0s;60;300;0"

# The primary is no cluster node.
expect_line "cluster exit 3"
expect_line "cluster output CLUSTER UNKNOWN: not a cluster node"

# ---- 4. The classic core runs the commands that need care ------------------
# The commands as shipped with the build's programs, every check due at
# once and then every few seconds (interval_length=1).
defs=$(<"$CLASSIC_DEFS")
printf '%s\n' "${defs//"$PLUGIN_DIR/"/"$BUILT_DIR/"}" >"$N/run-commands.cfg"
grep -v '^cfg_file=' "$N/main.cfg" >"$N/run.cfg"
cat >>"$N/run.cfg" <<EOF
cfg_file=$N/run-commands.cfg
cfg_file=$N/run-objects.cfg
query_socket=$N/core.qh
interval_length=1
max_service_check_spread=1
status_update_interval=1
retain_state_information=0
use_syslog=0
EOF
cat >"$N/my.cnf" <<EOF
[monitoring]
user = $DB_USER
password = $DB_PASSWORD
EOF
login="-f $N/my.cnf -g monitoring"
# The timeperiod, contact and host of the validation, without its services.
sed -n '1,/^define service {$/p' "$N/objects.cfg" | sed '$d' >"$N/run-objects.cfg"
cat >>"$N/run-objects.cfg" <<EOF
define service {
    name                  kivrel_run
    register              0
    host_name             db
    max_check_attempts    1
    check_interval        5
    retry_interval        5
    check_period          always
    notification_period   always
    contacts              admin
}
define service {
    use                   kivrel_run
    service_description   quoted
    check_command         kivrel_dbquery!SELECT CHAR_LENGTH('\''a'\'''\''b'\'')!5!10!-P $DB_PORT $login
}
define service {
    use                   kivrel_run
    service_description   query_critical_only
    check_command         kivrel_dbquery_noranges!SELECT 7!-c 5 -P $DB_PORT $login
}
define service {
    use                   kivrel_run
    service_description   replica_threads
    check_command         kivrel_dbhealth_replica_noranges!-P $DB_REPLICA_PORT $login
}
define service {
    use                   kivrel_run
    service_description   expression_plain
    check_command         kivrel_dbstatus_expression_noranges!Threads_connected!connected!-P $DB_PORT $login
}
define service {
    use                   kivrel_run
    service_description   channels_plain
    check_command         kivrel_dbreplica_noranges!-c 600 -P $DB_REPLICA_PORT $login
}
define service {
    use                   kivrel_run
    service_description   cluster_plain
    check_command         kivrel_dbcluster_noranges!-c 2: -P $DB_PORT $login
}
EOF
"$CLASSIC_ENGINE" -v "$N/run.cfg" >"$N/run-verify.log" 2>&1 ||
  { cat "$N/run-verify.log" >&2; fail "the classic core rejects the run configuration"; }
setsid "$CLASSIC_ENGINE" "$N/run.cfg" </dev/null >"$N/run.log" 2>&1 &
ENGINE_PID=$!

# One line per checked service of the status file: "NAME STATE OUTPUT|PERF".
read_status() {
  awk '/^servicestatus \{/ { name = ""; checked = 0; output = ""; perf = "" }
    { key = $0; sub(/^\t/, "", key); sub(/=.*/, "", key); value = substr($0, index($0, "=") + 1) }
    key == "service_description" { name = value }
    key == "has_been_checked" { checked = value }
    key == "current_state" { state = value }
    key == "plugin_output" { output = value }
    key == "performance_data" { perf = value }
    /^\t\}$/ && name != "" && checked == 1 { print name, state, output "|" perf; name = "" }' \
    "$N/status.dat" 2>/dev/null
}
results=$TMP/classic-results
deadline=$((SECONDS + RESULT_TIMEOUT))
until read_status >"$results" && (($(wc -l <"$results") == 6)); do
  kill -0 "$ENGINE_PID" 2>/dev/null || { cat "$N/run.log" >&2; fail "the classic core ended early"; }
  ((SECONDS < deadline)) ||
    { cat "$results" "$N/core.log" >&2; fail "no check results from the classic core within ${RESULT_TIMEOUT}s"; }
  sleep 0.5
done
stop_engine

# The quotes reach the server as written: 'a''b' is a text of 3 characters.
expect_line "quoted 0 QUERY OK: 'SELECT CHAR_LENGTH('a''b')' returned 3.000000|result=3;5;10"
# No empty range in place of the one left out.
expect_line "query_critical_only 2 QUERY CRITICAL: 'SELECT 7' returned 7.000000|result=7;;5"
expect_match "replica_threads 0 Uptime: .* Slave IO: Yes Slave SQL: Yes Seconds Behind Master: 0\|.*"
expect_match "expression_plain 0 STATUS OK: connected [0-9]+\|connected=[0-9]+"
# The core keeps the channels' ";" as ":" in the output it stores.
expect_match "channels_plain 0 REPLICA OK: 2 channels: .*\|lag=0s;;600;0 lag_east=0s;;600;0"
expect_line "cluster_plain 3 CLUSTER UNKNOWN: not a cluster node|"

# ---- 5. The checks run on an agent of the object engine -------------------
# A second private object engine is the agent of a master, both on loopback
# with ports, folders and (for the agent) a home of their own; the agent's
# certificate is signed by the master's CA. Both find the definitions
# through `include <plugins-contrib>`. The master schedules the database
# services on the agent (command_endpoint) and reads their results over its
# API; both log at debug level.
readonly MASTER=kivrel-master AGENT=kivrel-agent
M=$TMP/master
A=$TMP/agent
# node_defines DIR NODE USER: the -D options of an instance in DIR that
# runs as USER.
node_defines() {
  printf '%s\n' -DConfigDir="$1/etc" -DDataDir="$1/lib" -DLogDir="$1/log" \
    -DCacheDir="$1/cache" -DSpoolDir="$1/spool" -DInitRunDir="$1/run" -DNodeName="$2" \
    -DRunAsUser="$3" -DRunAsGroup="$(id -gn "$3")" -DIncludeConfDir="$1/include"
}
# Started by root, the agent runs as an unprivileged user where that user
# reaches the programs, the server's socket and the test's folder, so that
# what it keeps tells its user from the master's.
AGENT_USER=$(id -un)
chmod 711 "$TMP"
# shellcheck disable=SC2016  # the probe's own arguments
if ((EUID == 0)) && setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups \
  sh -c 'test -x "$1" && test -w "$2" && test -x "$3"' sh "$BUILT_DIR/check_dbhealth" \
  "$DB_SOCKET" "$TMP" 2>/dev/null; then
  AGENT_USER=nobody
fi
mapfile -t master_defines < <(node_defines "$M" "$MASTER" "$(id -un)")
mapfile -t agent_defines < <(node_defines "$A" "$AGENT" "$AGENT_USER")
for dir in "$M" "$A"; do
  mkdir -p "$dir"/{etc,lib/certs,log,cache,spool,run,home}
  include_folder "$dir/include" "$I/built.conf"
done
chown -R "$AGENT_USER:$(id -gn "$AGENT_USER")" "$A"
# certify DIR NODE DEFINES...: NODE's key and request made in DIR, signed by
# the master's CA.
certify() {
  local dir=$1 node=$2
  shift 2
  "$OBJECT_ENGINE" pki new-cert "$@" --cn "$node" \
    --key "$dir/lib/certs/$node.key" --csr "$dir/lib/certs/$node.csr" &&
    "$OBJECT_ENGINE" pki sign-csr "${master_defines[@]}" \
      --csr "$dir/lib/certs/$node.csr" --cert "$dir/lib/certs/$node.crt" &&
    cp "$M/lib/ca/ca.crt" "$dir/lib/certs/ca.crt"
}
if ! {
  "$OBJECT_ENGINE" pki new-ca "${master_defines[@]}" &&
    certify "$M" "$MASTER" "${master_defines[@]}" &&
    certify "$A" "$AGENT" "${agent_defines[@]}"
} >"$M/pki.log" 2>&1; then
  cat "$M/pki.log" >&2
  fail "cannot make the certificates of master and agent"
fi
[[ ! -e "$A/lib/ca" ]] || fail "the agent holds a CA of its own"

MASTER_PORT=$(free_port)
AGENT_PORT=$(free_port)
((MASTER_PORT != AGENT_PORT)) || AGENT_PORT=$(free_port)
((MASTER_PORT != AGENT_PORT)) || fail "no second free TCP port on 127.0.0.1"
debug_log='object FileLogger "debug" { path = LogDir + "/debug.log"; severity = "debug" }'

cat >"$A/etc/engine.conf" <<EOF
include <plugins-contrib>
$debug_log
object Endpoint "$MASTER" { }
object Zone "master" { endpoints = [ "$MASTER" ] }
object Endpoint NodeName { }
object Zone NodeName { endpoints = [ NodeName ]; parent = "master" }
object ApiListener "api" {
  bind_host = "127.0.0.1"
  bind_port = $AGENT_PORT
  accept_commands = true
  accept_config = false
}
EOF
cat >"$M/etc/engine.conf" <<EOF
include <plugins-contrib>
$debug_log
object CheckerComponent "checker" { }
object Endpoint NodeName { }
object Zone "master" { endpoints = [ NodeName ] }
object Endpoint "$AGENT" { host = "127.0.0.1"; port = $AGENT_PORT }
object Zone "$AGENT" { endpoints = [ "$AGENT" ]; parent = "master" }
object ApiListener "api" {
  bind_host = "127.0.0.1"
  bind_port = $MASTER_PORT
}
object ApiUser "$API_USER" {
  password = "$API_PASSWORD"
  permissions = [ "objects/query/*" ]
}
object Host "db" {
  address = "$DB_HOST"
  check_command = "kivrel_sysinfo"
  enable_active_checks = false
  zone = "master"
}
template Service "agent-service" {
  host_name = "db"
  zone = "master"
  command_endpoint = "$AGENT"
  check_interval = 2s
  retry_interval = 2s
  max_check_attempts = 1
}
// The server names a socket client's host "localhost", a TCP one's by address.
object Service "socket" {
  import "agent-service"
  check_command = "kivrel_dbquery"
  vars.kivrel_dbquery_socket = "$DB_SOCKET"
  vars.kivrel_dbquery_username = "$DB_USER"
  vars.kivrel_dbquery_password = "$DB_PASSWORD"
  vars.kivrel_dbquery_query = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = CONNECTION_ID() AND HOST = 'localhost'"
  vars.kivrel_dbquery_critical = "1:1"
}
EOF
# The health, rate and replica services of the local run, on the agent, the
# rate's state directory there.
awk '/^object Service "(health|rates|channels)" \{$/, /^\}$/' "$I/etc/engine.conf" |
  sed "s/\"kivrel-service\"/\"agent-service\"/; s|\"$I/state\"|\"$A/lib/kivrel-state\"|" \
    >>"$M/etc/engine.conf"
# The agent's home holds no option file that could log it in.
HOME=$A/home setsid "$OBJECT_ENGINE" daemon -c "$A/etc/engine.conf" "${agent_defines[@]}" \
  </dev/null >"$A/daemon.log" 2>&1 &
AGENT_PID=$!
setsid "$OBJECT_ENGINE" daemon -c "$M/etc/engine.conf" "${master_defines[@]}" \
  </dev/null >"$M/daemon.log" 2>&1 &
ENGINE_PID=$!
API_PORT=$MASTER_PORT

# Every service has a result from the agent, the rate one from a second run
# that found the sample of the first.
results=$TMP/agent-results
deadline=$((SECONDS + RESULT_TIMEOUT))
until read_results >"$results" 2>"$TMP/api.err" &&
  (($(grep -c "^[a-z]* source $AGENT\$" "$results") == 4)) &&
  grep -q '^rates output ' "$results" && ! grep -q '^rates output .*since start' "$results"; do
  kill -0 "$ENGINE_PID" 2>/dev/null || fail "the master ended early"
  kill -0 "$AGENT_PID" 2>/dev/null || fail "the agent ended early"
  ((SECONDS < deadline)) ||
    { cat "$TMP/api.err" "$results" >&2; fail "no results from the agent within ${RESULT_TIMEOUT}s"; }
  sleep 0.5
done
agent_uid=$(awk '$1 == "Uid:" { print $2 }' "/proc/$AGENT_PID/status")
stop_engine

# The password is on no command line the engines served, stored or logged:
# not in the results, the agent's files, nor the master's but its
# configuration; and no login option file on the agent gave it.
grep -rlF -- "$DB_PASSWORD" "$results" "$A" "$M/lib" "$M/log" "$M/daemon.log" >&2 &&
  fail "the password left the master's configuration"
grep -q "Running command.*check_dbhealth" "$A/log/debug.log" ||
  fail "the agent's debug log names no command it ran"
[[ -z "$(ls -A "$A/home")" ]] || fail "the agent's home is not empty"
grep -E '^[a-z]+ (argv|command) .*(-p|--password)' "$results" >&2 &&
  fail "a password option on a command line"

# The rate's sample is on the agent, owned by the agent's user, not on the
# master.
mapfile -t state_files < <(find "$A/lib/kivrel-state/$agent_uid" -type f)
((${#state_files[@]} > 0)) || fail "no state on the agent"
[[ "$(stat -c %u "${state_files[@]}" | sort -u)" == "$agent_uid" &&
  "$agent_uid" == "$(id -u "$AGENT_USER")" ]] ||
  fail "the agent's state is not owned by the agent's user $agent_uid"
[[ -z "$(find "$M" -path '*kivrel-state*')" ]] || fail "state on the master"

# Each result is what the program prints when run directly with the same
# arguments and the password in the environment (numbers aside, which move;
# the rate from a copy of the agent's sample).
normalise() { sed -E 's/[0-9]+(\.[0-9]+)?/N/g; s/^ +| +$//g'; }
mkdir "$TMP/direct-state"
cp -r "$A/lib/kivrel-state/$agent_uid" "$TMP/direct-state/$(id -u)"
argv=()
for service in health socket rates channels; do
  eval "argv=($(sed -n "s/^$service argv //p" "$results"))"
  code=0
  direct=$(env MYSQL_PWD="$DB_PASSWORD" KIVREL_PLUGIN_STATE_DIRECTORY="$TMP/direct-state" \
    HOME="$A/home" "${argv[@]}") || code=$?
  [[ "${argv[0]}" == "$BUILT_DIR/check_db"* ]] || fail "$service ran ${argv[0]}"
  expect_line "$service exit $code"
  engine=$(sed -n "s/^$service output //p" "$results" | normalise)
  [[ "$engine" == "$(normalise <<<"${direct%%|*}")" ]] ||
    fail "$service: the agent reported '$engine', the program prints '$direct'"
  engine=$(sed -n "s/^$service perf //p" "$results" | paste -sd' ' | normalise)
  [[ "$engine" == "$(normalise <<<"${direct#*|}")" ]] ||
    fail "$service: the agent's performance data '$engine', the program's '$direct'"
done
expect_line "health exit 0"
expect_match "socket output QUERY OK: .* returned 1\.000000 ?"
expect_match "socket command $BUILT_DIR/check_dbquery -c 1:1 -q .* -s $DB_SOCKET -u $DB_USER"
grep -E '^socket command .* -H ' "$results" >&2 && fail "the socket-only check got -H"
expect_line "channels exit 0"
expect_line "channels perf lag_east=0s;60;300;0"
expect_line "rates exit 1"

echo "engines_test.sh: all checks passed"
