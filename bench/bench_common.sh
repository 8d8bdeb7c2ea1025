# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the whole-process benchmarks of the database checks: a Release
# build of the programs, a private server (or a running one), and the ratios
# of hyperfine's medians.

BENCH_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
# BENCH_LINK=static measures a build with the client library and the C++
# runtime linked in, in a tree of its own; the default is the shared build.
: "${BENCH_LINK:=shared}"

# bench_require NAME TOOL...: end the script NAME when a TOOL is missing.
bench_require() {
  local name=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 ||
      { echo "$name: $tool is missing (scripts/install_deps.sh installs it)" >&2; exit 1; }
  done
}

# bench_build LINK TARGET...: build TARGET... in Release, linked as LINK
# (shared or static) says, into the tree of that link mode; sets BENCH_BUILD.
bench_build() {
  local link=$1 options
  shift
  case "$link" in
    shared)
      BENCH_BUILD="$BENCH_ROOT/build-ci-bench"
      options=(-DKIVREL_STATIC_CLIENT=OFF -DKIVREL_STATIC_CXX_RUNTIME=OFF) ;;
    static)
      BENCH_BUILD="$BENCH_ROOT/build-ci-bench-static"
      options=(-DKIVREL_STATIC_CLIENT=ON -DKIVREL_STATIC_CXX_RUNTIME=ON) ;;
    *) echo "BENCH_LINK must be shared or static, not $link" >&2; exit 2 ;;
  esac
  echo "== Release build ($link) in $BENCH_BUILD"
  cmake -S "$BENCH_ROOT" -B "$BENCH_BUILD" -DCMAKE_BUILD_TYPE=Release -DKIVREL_TESTS=OFF \
    -DKIVREL_BENCH=ON -DCMAKE_INSTALL_PREFIX="$BENCH_BUILD/prefix" "${options[@]}" >/dev/null
  cmake --build "$BENCH_BUILD" -j2 --target "$@" >/dev/null
}

# bench_setup NAME SERVER_ENV TARGET...: check the tools, build TARGET... in
# Release as BENCH_LINK says (into BENCH_BUILD), and start a private server, or load the
# settings of the running one whose server.env is SERVER_ENV (may be empty).
# shellcheck disable=SC2034  # the settings are for the sourcing script
bench_setup() {
  local name=$1 server_env=$2
  shift 2
  bench_require "$name" hyperfine python3
  bench_build "$BENCH_LINK" "$@"

  # shellcheck source=SCRIPTDIR/../scripts/private_server.sh
  source "$BENCH_ROOT/scripts/private_server.sh"
  if [[ -n "$server_env" ]]; then
    [[ -r "$server_env" ]] || { echo "$name: cannot read $server_env" >&2; exit 1; }
    load_server_env "$server_env"
  else
    echo "== Starting a private server"
    start_private_server
  fi
}

# bench_ratios JSON COMMAND BASELINE...: the medians of hyperfine's results
# in JSON, and the ratio of COMMAND's median to each BASELINE's.
bench_ratios() {
  python3 - "$@" <<'PY'
import json, sys
path, subject, baselines = sys.argv[1], sys.argv[2], sys.argv[3:]
results = {r["command"]: r for r in json.load(open(path))["results"]}
for name in [subject] + baselines:
    print(f"median {name}: {results[name]['median'] * 1000:.3f} ms")
for name in baselines:
    ratio = results[subject]["median"] / results[name]["median"]
    print(f"ratio {subject} / {name}: {ratio:.3f}")
PY
  echo "results: $1"
}

# bench_interleaved RUNS SUBJECT=COMMAND BASELINE=COMMAND...: run the
# commands in turn, RUNS rounds, and print each median and the ratio of
# SUBJECT's to each baseline's. hyperfine runs one command's runs in a block,
# so a drift in the machine's load during the run favours one side; taking
# turns spreads it over all of them.
bench_interleaved() {
  python3 - "$@" <<'PY'
import os, shlex, statistics, subprocess, sys, time
runs = int(sys.argv[1])
named = [arg.split("=", 1) for arg in sys.argv[2:]]
times = {name: [] for name, _ in named}
with open(os.devnull, "w") as null:
    for _ in range(runs):
        for name, command in named:
            start = time.perf_counter()
            subprocess.run(shlex.split(command), stdout=null, check=True)
            times[name].append(time.perf_counter() - start)
medians = {name: statistics.median(t) for name, t in times.items()}
subject = named[0][0]
print(f"interleaved, {runs} rounds:")
for name, median in medians.items():
    print(f"  median {name}: {median * 1000:.3f} ms")
for name, _ in named[1:]:
    print(f"  ratio {subject} / {name}: {medians[subject] / medians[name]:.3f}")
PY
}

# instructions COMMAND...: the instructions callgrind counts for one run.
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected/ { print $4 }'
}
