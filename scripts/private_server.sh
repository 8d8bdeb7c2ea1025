# shellcheck shell=bash
# Sourced by the scripts that talk to a private test server.

PRIVATE_SERVER_SCRIPT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)/test_server.sh"

# load_server_env FILE sets DB_HOST, DB_PORT, DB_SOCKET, DB_USER, DB_PASS and
# DB_NAME from the KEY=VALUE lines that test_server.sh writes, and fails when
# one of them is missing.
# shellcheck disable=SC2034  # the settings are for the sourcing script
load_server_env() {
  local file=$1 key value v
  while IFS='=' read -r key value; do
    case "$key" in
      HOST) DB_HOST=$value ;;
      PORT) DB_PORT=$value ;;
      SOCKET) DB_SOCKET=$value ;;
      USER) DB_USER=$value ;;
      PASSWORD) DB_PASS=$value ;;
      DATABASE) DB_NAME=$value ;;
    esac
  done <"$file"
  for v in DB_HOST DB_PORT DB_SOCKET DB_USER DB_PASS DB_NAME; do
    if [[ -z "${!v:-}" ]]; then
      echo "$file lacks ${v#DB_}" >&2
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
