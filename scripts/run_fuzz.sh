#!/bin/sh
# SPDX-License-Identifier: MIT
# Build the fuzz targets with clang in build-fuzz and run each for a bounded
# time. Usage: scripts/run_fuzz.sh [seconds per target] (default 20)
# Needs clang and clang's runtime libraries (Debian: clang, libclang-rt-14-dev).
# Exits non-zero when the build fails or a fuzzer finds a crash, a leak or a
# hang; crash inputs are kept in build-fuzz/artifacts/.
set -eu

seconds=${1:-20}
case $seconds in
''|*[!0-9]*|0) echo "usage: $0 [seconds > 0]" >&2; exit 2 ;;
esac

# Every target of fuzz/CMakeLists.txt; the seeds of <name>_fuzz are in
# fuzz/corpus/<name> when that folder exists.
targets="ini_defaults argmerge state_file extract_value escaped_string cmd_split expect_match range option_file
status_expr db_sql"

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" \
	-DKIVREL_FUZZ=ON -DKIVREL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
for name in $targets; do
	cmake --build "$build" --target "${name}_fuzz" -j2
done

# The fuzzers add inputs to their corpus directories: work on copies so the
# repository is never written.
work=$(mktemp -d "${TMPDIR:-/tmp}/kivrel-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$build/artifacts"

for name in $targets; do
	mkdir -p "$work/$name"
	if [ -d "$root/fuzz/corpus/$name" ]; then
		cp "$root/fuzz/corpus/$name/"* "$work/$name/"
	fi
	# libFuzzer reports every new coverage point; keep that in a log and
	# show its end, or all of it when the run failed.
	log="$build/$name.log"
	if "$build/fuzz/${name}_fuzz" \
		-max_total_time="$seconds" -timeout=10 -max_len=4096 -print_final_stats=1 \
		-artifact_prefix="$build/artifacts/${name}-" "$work/$name" >"$log" 2>&1; then
		tail -n 3 "$log"
		echo "${name}_fuzz: no finding in $seconds s"
	else
		rc=$?
		cat "$log"
		echo "${name}_fuzz: FAILED (exit $rc); inputs in $build/artifacts/" >&2
		exit "$rc"
	fi
done
