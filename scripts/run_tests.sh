#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test run: dependencies, the plain build and its tests, the
# sanitizer build and its tests, and a short fuzzing pass.
#
#   scripts/run_tests.sh              all stages
#   scripts/run_tests.sh plain asan   only the stages named (plain, asan, fuzz)
#
# Build directories: build-ci and build-ci-asan in the repository root. With
# CI set in the environment, compiler warnings are errors.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$(pwd -P)
JOBS=2
# No single test may hang the run.
TEST_TIMEOUT=300

stages=("$@")
if ((${#stages[@]} == 0)); then
  stages=(plain asan fuzz)
fi
for s in "${stages[@]}"; do
  case "$s" in
    plain | asan | fuzz) ;;
    *)
      echo "usage: $0 [plain] [asan] [fuzz]" >&2
      exit 2
      ;;
  esac
done
wants() {
  local s
  for s in "${stages[@]}"; do [[ "$s" == "$1" ]] && return 0; done
  return 1
}

current_stage=""
header() {
  current_stage=$1
  echo
  echo "======================================================================"
  echo "== $1"
  echo "======================================================================"
}
on_exit() {
  local rc=$?
  if ((rc != 0)); then
    echo
    echo "run_tests.sh: FAILED in stage: ${current_stage:-setup} (exit $rc)" >&2
  fi
}
trap on_exit EXIT

werror=OFF
[[ -n "${CI:-}" ]] && werror=ON

# configure_and_build DIR [CMAKE OPTION...]
configure_and_build() {
  local dir=$1
  shift
  # The benchmarks are built (not run) so that they keep compiling.
  cmake -S "$ROOT" -B "$dir" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX="$dir/prefix" \
    -DKIVREL_WERROR="$werror" \
    -DKIVREL_BENCH=ON "$@"
  cmake --build "$dir" -j"$JOBS"
}

run_ctest() {
  local dir=$1
  (cd "$dir" && ctest --output-on-failure -j"$JOBS" --timeout "$TEST_TIMEOUT")
}

header "Dependencies"
bash "$ROOT/scripts/install_deps.sh"

if wants plain; then
  header "Plain build (build-ci)"
  configure_and_build "$ROOT/build-ci" -DKIVREL_SANITIZE=OFF
  header "Tests of the plain build"
  run_ctest "$ROOT/build-ci"
fi

if wants asan; then
  header "Sanitizer build (build-ci-asan)"
  configure_and_build "$ROOT/build-ci-asan" -DKIVREL_SANITIZE=ON
  header "Tests of the sanitizer build"
  # Leak reports are off: a check plugin is a one-shot process that by design
  # lets strings it has outgrown (re-formatted texts, settings copies) go
  # with the process instead of freeing them. Every other AddressSanitizer
  # finding and every UndefinedBehaviorSanitizer finding fails the run.
  ASAN_OPTIONS=detect_leaks=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest "$ROOT/build-ci-asan"
fi

if wants fuzz; then
  header "Fuzzing (20 s per target)"
  sh "$ROOT/scripts/run_fuzz.sh" 20
fi

current_stage=""
echo
echo "run_tests.sh: all stages passed (${stages[*]})"
