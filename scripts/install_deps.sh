#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Install what building, testing, the demo and the benchmarks need on a
# Debian 12 machine, and the German locale that the translation tests use.
# A machine that already has everything is left untouched: no apt run at all.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libmariadb-dev mariadb-server mariadb-client openssl
  libssl-dev libmd-dev libgtest-dev googletest libbenchmark-dev
  gettext locales
  hyperfine python3 valgrind
  clang libclang-rt-14-dev
  help2man lintian dpkg-dev fakeroot man-db   # man renders the pages in the package test
  devscripts   # hardening-check, for the package test
  icinga2-bin   # the object-configured engine; the classic one is unpacked by the engine test
)
# The replica and cluster checks' test fixtures: a heartbeat writer, and
# Galera with its rsync state transfer.
packages+=(percona-toolkit galera-4 rsync)
# Packages of other check-plugin collections (they ship as "NAME-plugins"
# and "NAME-plugins-PART"), and the classic engine's packages, whose common
# files pull one in. None of them may be on a machine that builds or tests
# ours; the engine test unpacks the classic engine instead.
readonly classic_engine=nagios4
readonly foreign_pattern="^([a-z0-9]+-plugins(-.+)?|${classic_engine}(-core|-common)?)\$"
readonly LOCALE_NAME=de_DE.UTF-8

as_root=()
if ((EUID != 0)); then
  if command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  fi
fi
need_root() {
  if ((EUID != 0)) && ((${#as_root[@]} == 0)); then
    echo "install_deps.sh: $1 needs root (run as root, or install sudo)" >&2
    exit 1
  fi
}

# An earlier run installed the classic engine's packages, and with them
# another plugin collection; take them away again.
installed_foreign=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' 2>/dev/null |
  awk '$1 ~ /^[ih]i/ {print $2}' | grep -E "$foreign_pattern" || true)
if [[ -n "$installed_foreign" ]]; then
  need_root "removing $(echo $installed_foreign)"
  echo "install_deps.sh: purging $(echo $installed_foreign)"
  # shellcheck disable=SC2086
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y $installed_foreign
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get autoremove --purge -y
fi

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
  if [[ "$status" != ii* ]]; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]} > 0)); then
  need_root "installing ${missing[*]}"
  echo "install_deps.sh: installing ${missing[*]}"
  # The mariadb-server package would start the system's own server; the tests
  # and the demo run private servers of their own and never use it, so
  # service starts are refused while apt runs (unless the machine already
  # has a policy of its own).
  policy=/usr/sbin/policy-rc.d
  added_policy=0
  if [[ ! -e "$policy" ]]; then
    printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$policy" >/dev/null
    "${as_root[@]}" chmod 755 "$policy"
    added_policy=1
  fi
  remove_policy() {
    if ((added_policy)); then
      "${as_root[@]}" rm -f "$policy"
    fi
  }
  trap remove_policy EXIT
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  # Refuse, before anything is unpacked, an install that would bring in
  # another plugin collection, however deep in the dependencies.
  foreign=$(apt-get install -s --no-install-recommends "${missing[@]}" |
    awk '$1 == "Inst" {print $2}' | grep -E "$foreign_pattern" || true)
  if [[ -n "$foreign" ]]; then
    echo "install_deps.sh: refusing: installing ${missing[*]} would pull in" \
      "$(echo $foreign), packages of another plugin collection" >&2
    exit 1
  fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y \
    --no-install-recommends "${missing[@]}"
  remove_policy
  added_policy=0
  trap - EXIT
fi

# locale -a spells UTF-8 locales as de_DE.utf8.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  need_root "generating the locale $LOCALE_NAME"
  echo "install_deps.sh: generating the locale $LOCALE_NAME"
  if [[ -f /etc/locale.gen ]] && command -v locale-gen >/dev/null 2>&1; then
    if grep -q '^# *de_DE\.UTF-8 UTF-8' /etc/locale.gen; then
      "${as_root[@]}" sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    elif ! grep -q '^de_DE\.UTF-8 UTF-8' /etc/locale.gen; then
      echo 'de_DE.UTF-8 UTF-8' | "${as_root[@]}" tee -a /etc/locale.gen >/dev/null
    fi
    "${as_root[@]}" locale-gen
  else
    "${as_root[@]}" localedef -i de_DE -f UTF-8 "$LOCALE_NAME"
  fi
  if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
    echo "install_deps.sh: the locale $LOCALE_NAME is still missing" >&2
    exit 1
  fi
fi
