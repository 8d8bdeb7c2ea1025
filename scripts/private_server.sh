# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the scripts that talk to a private test server.

PRIVATE_SERVER_SCRIPT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)/test_server.sh"

# load_server_env FILE sets, from the KEY=VALUE lines that test_server.sh
# writes, DB_HOST, DB_PORT, DB_SOCKET, DB_USER, DB_PASS and DB_NAME for the
# primary, DB_REPLICA_PORT and DB_REPLICA_SOCKET for the replica, DB_TLS_CA,
# DB_TLS_CERT and DB_TLS_KEY (the CA and a client certificate with its key),
# and DB_SSL_USER and DB_SSL_PASS (a user that must use TLS). It fails when
# one of them is missing.
# shellcheck disable=SC2034  # the settings are for the sourcing script
load_server_env() {
  local file=$1 key value
  local -A names=(
    [HOST]=DB_HOST [PORT]=DB_PORT [SOCKET]=DB_SOCKET [USER]=DB_USER
    [PASSWORD]=DB_PASS [DATABASE]=DB_NAME
    [REPLICA_PORT]=DB_REPLICA_PORT [REPLICA_SOCKET]=DB_REPLICA_SOCKET
    [TLS_CA]=DB_TLS_CA [TLS_CLIENT_CERT]=DB_TLS_CERT [TLS_CLIENT_KEY]=DB_TLS_KEY
    [SSL_USER]=DB_SSL_USER [SSL_PASSWORD]=DB_SSL_PASS
  )
  for key in "${!names[@]}"; do
    printf -v "${names[$key]}" '%s' ""
  done
  while IFS='=' read -r key value; do
    if [[ -n "$key" && -n "${names[$key]:-}" ]]; then
      printf -v "${names[$key]}" '%s' "$value"
    fi
  done <"$file"
  for key in "${!names[@]}"; do
    if [[ -z "${!names[$key]}" ]]; then
      echo "$file lacks $key" >&2
      return 1
    fi
  done
}

# start_private_server: start a test server in a new temporary directory
# (PRIVATE_WORK), stop it and remove the directory when the script exits, and
# load its settings as load_server_env does.
start_private_server() {
  PRIVATE_WORK=$(mktemp -d "${TMPDIR:-/tmp}/kivrel-server.XXXXXX")
  trap stop_private_server EXIT
  trap 'exit 130' INT TERM
  bash "$PRIVATE_SERVER_SCRIPT" start "$PRIVATE_WORK/server"
  load_server_env "$PRIVATE_WORK/server/server.env"
}

# stop_private_server: stop what start_private_server started; harmless twice.
stop_private_server() {
  [[ -n "${PRIVATE_WORK:-}" ]] || return 0
  bash "$PRIVATE_SERVER_SCRIPT" stop "$PRIVATE_WORK/server" >/dev/null 2>&1 || true
  rm -rf -- "$PRIVATE_WORK"
  PRIVATE_WORK=
}
