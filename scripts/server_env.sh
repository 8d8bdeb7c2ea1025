# shellcheck shell=bash
# Sourced by the scripts that talk to a private test server:
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
