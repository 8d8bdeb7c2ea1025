#!/bin/sh
# Build the fuzz targets with clang in build-fuzz and run the INI parser
# target for a bounded time. Usage: scripts/run_fuzz.sh [seconds] (default 30)
# Needs clang and clang's runtime libraries (Debian: clang, libclang-rt-14-dev).
# Exits non-zero when the build fails or the fuzzer finds a crash, a leak or
# a hang; crash inputs are kept in build-fuzz/artifacts/.
set -eu

seconds=${1:-30}
case $seconds in
''|*[!0-9]*|0) echo "usage: $0 [seconds > 0]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" \
	-DKIVREL_FUZZ=ON -DKIVREL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target ini_defaults_fuzz -j2

# The fuzzer adds inputs to its corpus directory: work on a copy so the
# repository is never written.
work=$(mktemp -d "${TMPDIR:-/tmp}/kivrel-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/corpus" "$build/artifacts"
cp "$root/fuzz/corpus/ini_defaults/"* "$work/corpus/"

# libFuzzer reports every new coverage point; keep that in a log and show
# its end, or all of it when the run failed.
log="$build/fuzz.log"
if "$build/fuzz/ini_defaults_fuzz" \
	-max_total_time="$seconds" -timeout=10 -max_len=4096 -print_final_stats=1 \
	-artifact_prefix="$build/artifacts/" "$work/corpus" >"$log" 2>&1; then
	tail -n 15 "$log"
	echo "ini_defaults_fuzz: no finding in $seconds s"
else
	rc=$?
	cat "$log"
	echo "ini_defaults_fuzz: FAILED (exit $rc); inputs in $build/artifacts/" >&2
	exit "$rc"
fi
