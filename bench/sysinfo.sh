#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Time a check_sysinfo run beside the system's own uname, in one hyperfine
# run, so that the cost of the probe reads as a ratio to a minimal program.
#
# Usage: bench/sysinfo.sh [path/to/check_sysinfo]   (default: build/check_sysinfo)
set -euo pipefail

probe=${1:-build/check_sysinfo}
if [[ ! -x $probe ]]; then
  echo "sysinfo.sh: no executable check_sysinfo at '$probe'; build it or pass its path" >&2
  exit 2
fi
command -v hyperfine >/dev/null || { echo "sysinfo.sh: hyperfine is not installed" >&2; exit 2; }
uname_bin=$(command -v uname)
# hyperfine -N splits each command into words itself; quote the paths for it.
printf -v probe_q '%q' "$probe"
printf -v uname_q '%q' "$uname_bin"

# -N: no intermediate shell, so both commands are measured as bare processes.
exec hyperfine -N --warmup 20 \
  --command-name "check_sysinfo -t sys -c os" "$probe_q -t sys -c os" \
  --command-name "uname -s" "$uname_q -s"
