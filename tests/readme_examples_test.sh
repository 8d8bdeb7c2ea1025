#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's examples, run as they are written, on a machine where the
# packages are installed.
#
#   readme_examples_test.sh README PACKAGE_DIR SERVER_ENV CLUSTER_ENV WORK_DIR
#
# An example is a line of an indented block that starts with "$ " (with its
# continuation lines); the indented lines under it, up to the next example
# or the block's end, are what it prints. The test
#   - gives the test servers the README's user, made by the README's own
#     grant statements, and its data and TLS files;
#   - unpacks the packages of PACKAGE_DIR (kivrel-plugins*.deb) and, in a
#     mount namespace of its own, merges them into /usr and /var, with the
#     operator's files (the shipped my.cnf as /etc/kivrel-plugins/my.cnf,
#     the CA, the host names in /etc/hosts) in /etc: the real folders stay
#     as they are, and nothing is written outside WORK_DIR;
#   - runs every example with bash as written, after the README's export
#     lines, with the client library's default port (MYSQL_TCP_PORT) that
#     of the test server the example's -H names;
#   - compares the first line printed with the first line shown, any number
#     standing for any number and "..." for any text, and the exit code
#     with the state word shown (0 when no state is shown).
set -euo pipefail

readonly HOSTS=(db.example replica.example galera1.example)

if [[ "${1:-}" == --inside ]]; then
  inside=1
  work=$2
else
  inside=0
  (($# == 5)) || {
    echo "usage: $0 README PACKAGE_DIR SERVER_ENV CLUSTER_ENV WORK_DIR" >&2
    exit 2
  }
fi

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# merge TARGET SOURCE...: make TARGET list the entries of every SOURCE. A
# name that is a directory in more than one source becomes a directory
# merged from them; any other name is a symbolic link to its last source.
merge() {
  local target=$1 src entry name
  shift
  mkdir -p "$target"
  local -A last=() dirs=() count=()
  for src in "$@"; do
    for entry in "$src"/* "$src"/.[!.]*; do
      [[ -e "$entry" || -L "$entry" ]] || continue
      name=${entry##*/}
      last[$name]=$entry
      if [[ -d "$entry" ]]; then
        dirs[$name]+="$entry"$'\n'
        count[$name]=$((${count[$name]:-0} + 1))
      fi
    done
  done
  local links=() subs
  for name in "${!last[@]}"; do
    if ((${count[$name]:-0} > 1)); then
      mapfile -t subs <<<"${dirs[$name]%$'\n'}"
      merge "$target/$name" "${subs[@]}"
    else
      links+=("${last[$name]}")
    fi
  done
  ((${#links[@]} == 0)) || ln -s -t "$target" -- "${links[@]}"
}

# ---- Inside the mount namespace ----------------------------------------------
if ((inside)); then
  layers=("$work/root" "$work/site")
  for top in etc usr var; do
    mkdir -p "$work/real/$top"
    mount --rbind "/$top" "$work/real/$top"
    sources=("$work/real/$top")
    for layer in "${layers[@]}"; do
      [[ -d "$layer/$top" ]] && sources+=("$layer/$top")
    done
    merge "$work/farm/$top" "${sources[@]}"
  done
  for top in etc usr var; do
    mount --bind "$work/farm/$top" "/$top"
  done
  cd "$work/cwd"
  prelude=""
  for cmd in "$work"/examples/*.cmd; do
    n=${cmd%.cmd}
    text=$(<"$cmd")
    if [[ "$text" == export\ * ]]; then
      prelude+="$text"$'\n'
      continue
    fi
    port=""
    for host in 127.0.0.1 "${HOSTS[@]}"; do
      if [[ "$text" =~ -H\ ${host//./\\.}( |$) ]]; then
        port=$(<"$work/port.$host")
      fi
    done
    rc=0
    env -i PATH=/usr/bin:/bin HOME="$work/home" LANG=C.UTF-8 ${port:+MYSQL_TCP_PORT=$port} \
      bash -c "$prelude$text" >"$n.out" 2>"$n.err" </dev/null || rc=$?
    echo "$rc" >"$n.rc"
  done
  exit 0
fi

# ---- Outside: servers, roots, examples, verdicts ------------------------------
readme=$1
packages=$(cd "$2" && pwd -P)
server_env=$3
cluster_env=$4
work=$5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
server_script=$here/../scripts/test_server.sh

# SETTINGS_FILE PREFIX: the KEY=VALUE lines as PREFIX_KEY variables.
load() {
  local key value
  while IFS='=' read -r key value; do
    [[ "$key" =~ ^[A-Z0-9_]+$ ]] && printf -v "$2_$key" '%s' "$value"
  done <"$1"
}
[[ -f "$server_env" ]] || fail "no $server_env (is the test server running?)"
[[ -f "$cluster_env" ]] || fail "no $cluster_env (is the test cluster running?)"
load "$server_env" DB
load "$cluster_env" CL
server_dir=$(dirname "$server_env")
cluster_dir=$(dirname "$cluster_env")
command -v unshare >/dev/null || fail "unshare is missing (util-linux)"

rm -rf "$work"
mkdir -p "$work"/{examples,site/etc/kivrel-plugins,site/etc/ssl,cwd,home}
work=$(cd "$work" && pwd -P)

# The README's user, made by its grant statements as they stand but for
# the engine's address: block by block (a block is a run of indented lines
# that begin with CREATE USER or GRANT), each as one text. The first block
# runs on a primary without the heartbeat table, as on a new server, the
# others once the table exists; the first also on a cluster node, which the
# cluster copies. The primary's replica copies them all.
mapfile -t grant_blocks < <(awk '
  /^    (CREATE USER|GRANT) / { block = block substr($0, 5) " "; next }
  block != "" { print block; block = "" }
  END { if (block != "") print block }' "$readme" | sed "s/'192\.0\.2\.10'/'127.0.0.1'/g")
((${#grant_blocks[@]} >= 2)) || fail "$readme has no grant statements apart from the user's"
fresh_user="DROP USER IF EXISTS 'monitor'@'127.0.0.1'"
"$server_script" sql "$server_dir" primary "$fresh_user; DROP DATABASE IF EXISTS percona" >/dev/null
"$server_script" sql "$server_dir" primary "${grant_blocks[0]}" >/dev/null ||
  fail "the README's first grant statements fail: ${grant_blocks[0]}"
# The data: the stuck orders give check_dbquery's example its 12, and a join
# of the orders with themselves reads their pages from memory often enough
# that the buffer pool's hit rate since the start is above 99 %. The
# heartbeat table is the one pt-heartbeat --create-table makes.
"$server_script" sql "$server_dir" primary "CREATE DATABASE IF NOT EXISTS shop;
  CREATE OR REPLACE TABLE shop.orders (id INT PRIMARY KEY, state VARCHAR(10));
  INSERT INTO shop.orders SELECT seq, IF(seq <= 12, 'stuck', 'sent') FROM shop.seq_1_to_20;
  CREATE DATABASE percona;
  CREATE TABLE percona.heartbeat (ts VARCHAR(26) NOT NULL,
    server_id INT UNSIGNED NOT NULL PRIMARY KEY, file VARCHAR(255) DEFAULT NULL,
    position BIGINT UNSIGNED DEFAULT NULL, relay_master_log_file VARCHAR(255) DEFAULT NULL,
    exec_master_log_pos BIGINT UNSIGNED DEFAULT NULL);
  SET SESSION join_cache_level = 0;
  SELECT COUNT(*) FROM shop.orders a, shop.orders b, shop.orders c, shop.orders d,
    shop.orders e" >/dev/null
for block in "${grant_blocks[@]:1}"; do
  "$server_script" sql "$server_dir" primary "$block" >/dev/null ||
    fail "the README's grant statements fail: $block"
done
"$server_script" sync "$server_dir"
"$server_script" sql "$cluster_dir" node1 "$fresh_user; ${grant_blocks[0]}" >/dev/null ||
  fail "the README's first grant statements fail on the cluster: ${grant_blocks[0]}"

# The packages, unpacked as installed.
mapfile -t debs < <(find "$packages" -maxdepth 1 -name 'kivrel-plugins*.deb')
((${#debs[@]} == 2)) || fail "expected the two packages in $packages, found ${#debs[@]}"
for deb in "${debs[@]}"; do
  dpkg-deb --extract "$deb" "$work/root"
done

# The operator's files: the shipped option file, the CA (also in the
# working folder, with a client certificate and key) and the host names.
install -m 0640 "$work/root/usr/share/doc/kivrel-plugins/examples/my.cnf" \
  "$work/site/etc/kivrel-plugins/my.cnf"
cp "$DB_TLS_CA" "$work/site/etc/ssl/db-ca.pem"
cp "$DB_TLS_CA" "$work/cwd/ca.pem"
cp "$DB_TLS_CLIENT_CERT" "$work/cwd/client.pem"
cp "$DB_TLS_CLIENT_KEY" "$work/cwd/client-key.pem"
{ cat /etc/hosts; echo "127.0.0.1 ${HOSTS[*]}"; } >"$work/site/etc/hosts"
echo "$DB_PORT" >"$work/port.127.0.0.1"
echo "$DB_PORT" >"$work/port.db.example"
echo "$DB_REPLICA_PORT" >"$work/port.replica.example"
echo "$CL_NODE1_PORT" >"$work/port.galera1.example"

# The examples, numbered in README order: N.cmd and N.expected.
awk -v dir="$work/examples" '
  function finish() { if (n) close(dir "/" sprintf("%03d", n) ".expected") }
  /^    \$ / {
    finish(); n++; cmd = substr($0, 7)
    while (cmd ~ /\\$/ && (getline line) > 0) cmd = cmd "\n" line
    print cmd > (dir "/" sprintf("%03d", n) ".cmd"); close(dir "/" sprintf("%03d", n) ".cmd")
    printf "" > (dir "/" sprintf("%03d", n) ".expected")
    shown = 1; next
  }
  shown && /^    / { print substr($0, 5) >> (dir "/" sprintf("%03d", n) ".expected"); next }
  { shown = 0 }
  END { finish() }' "$readme"
count=$(find "$work/examples" -name '*.cmd' | wc -l)
((count >= 15)) || fail "found only $count examples in $readme"
grep -qx 'export PATH=/usr/libexec/kivrel-plugins:$PATH' "$work"/examples/*.cmd ||
  fail "$readme has no example that puts the programs' folder on PATH"

as_root=(--map-root-user)
((EUID == 0)) && as_root=()
unshare --mount --propagation private "${as_root[@]}" bash "${BASH_SOURCE[0]}" --inside "$work" ||
  fail "the examples could not be run in a mount namespace"

# The shown line as an extended regular expression.
pattern() {
  sed -e 's/[][\\.*^$+?(){}|]/\\&/g' -e 's/\\\.\\\.\\\./.*/g' \
    -e 's/[0-9][0-9]*\(\\\.[0-9][0-9]*\)\{0,1\}/[0-9]+(\\.[0-9]+)?/g' <<<"$1"
}
failures=0
for cmd in "$work"/examples/*.cmd; do
  n=${cmd%.cmd}
  text=$(<"$cmd")
  [[ "$text" == export\ * ]] && continue
  shown=$(head -n 1 "$n.expected")
  got=$(head -n 1 "$n.out")
  rc=$(<"$n.rc")
  want_rc=0
  case "$shown" in
    *" WARNING"[:\ ]*) want_rc=1 ;;
    *" CRITICAL"[:\ ]*) want_rc=2 ;;
    *" UNKNOWN"[:\ ]*) want_rc=3 ;;
  esac
  problem=""
  if [[ "$rc" != "$want_rc" ]]; then
    problem="exit code $rc, not $want_rc"
  elif [[ -n "$shown" ]] && ! grep -qxE -- "$(pattern "$shown")" <<<"$got"; then
    problem="it printed a line unlike the README's"
  fi
  if [[ -n "$problem" ]]; then
    failures=$((failures + 1))
    {
      echo "FAIL: README example: $problem"
      echo "  \$ $text"
      echo "  README: $shown"
      echo "  stdout: $(cat "$n.out")"
      echo "  stderr: $(cat "$n.err")"
    } >&2
  else
    echo "ok: \$ ${text%%$'\n'*}"
  fi
done
((failures == 0)) || fail "$failures of the README's examples do not run as shown"
echo "readme_examples_test.sh: all $count examples run as shown"
