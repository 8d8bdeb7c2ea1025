#!/bin/sh
# SPDX-License-Identifier: MIT
# Install a build into a staging directory, as a package build does, then
# build two plugins (one in C, one in C++) against the staged files alone:
# once through pkg-config with the compilers called directly, once through
# the CMake package. Run all four and check their status lines and states.
#
#   run.sh CMAKE BUILD_DIR WORK_DIR PREFIX LIBDIR INCLUDEDIR VERSION CC CXX [FLAGS]
#
# LIBDIR and INCLUDEDIR are the full configured directories; FLAGS are extra
# compiler and linker flags (the sanitizers of a sanitizer build). With
# OUTSIDE_STAGE set, BUILD_DIR is not used: the files are taken from that
# root, as installed there.
#
# Flag lists ($flags, $cflags, $libs) are split into words on purpose.
# shellcheck disable=SC2086
set -eu
export LC_ALL=C

if [ $# -lt 9 ]; then
	echo "usage: $0 CMAKE BUILD_DIR WORK_DIR PREFIX LIBDIR INCLUDEDIR VERSION CC CXX [FLAGS]" >&2
	exit 2
fi
cmake=$1 build=$2 work=$3 prefix=$4 libdir=$5 includedir=$6 version=$7 cc=$8 cxx=$9
flags="-Wall -Wextra -Werror ${10:-}"
here=$(cd "$(dirname "$0")" && pwd -P)
source_dir=$(cd "$here/../.." && pwd -P)
stage=$work/stage
headers=$stage$includedir/kivrel-plugins
# A plugin lets its texts go with the process; the sanitizers of a
# sanitizer build would report them as leaks.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"

fail() {
	echo "FAIL: $*" >&2
	exit 1
}

rm -rf "$work"
mkdir -p "$work"
# OUTSIDE_STAGE names a root into which the files are installed already
# (the unpacked packages); else the build is installed into a new one.
if [ -n "${OUTSIDE_STAGE:-}" ]; then
	stage=$OUTSIDE_STAGE
	headers=$stage$includedir/kivrel-plugins
else
	DESTDIR=$stage "$cmake" --install "$build" >"$work/install.log" 2>&1 ||
		{ cat "$work/install.log"; fail "install into $stage"; }
fi

# ---- The installed headers stand on their own ------------------------------
expected="argmerge.h common.h ini_defaults.h kitcore.h kitmount.h kitreply.h kitrun.h plugin_help.h plugin_routines.h"
found=$(for h in "$headers"/*; do printf '%s ' "${h##*/}"; done | sed 's/ $//')
[ "$found" = "$expected" ] || fail "installed headers: '$found', expected '$expected'"
if grep -n -e '^[[:space:]]*#[[:space:]]*include.*build_config' -e "$source_dir" \
	-e "$(cd "$build" && pwd -P)" "$headers"/*.h; then
	fail "an installed header refers to the build"
fi
for h in $expected; do
	echo "#include \"$h\"" | "$cc" $flags -fsyntax-only -I"$headers" -x c - ||
		fail "$h does not compile on its own as C"
	echo "#include \"$h\"" | "$cxx" $flags -fsyntax-only -I"$headers" -x c++ - ||
		fail "$h does not compile on its own as C++"
done

# ---- Build through pkg-config -------------------------------------------------
export PKG_CONFIG_PATH="$stage$libdir/pkgconfig"
export PKG_CONFIG_SYSROOT_DIR="$stage"
[ "$(pkg-config --modversion kivrel-plugins)" = "$version" ] || fail "pkg-config version"
cflags=$(pkg-config --cflags kivrel-plugins)
libs=$(pkg-config --libs kivrel-plugins)
mkdir -p "$work/pc"
"$cc" $flags $cflags "$here/check_outside.c" -o "$work/pc/check_outside" $libs ||
	fail "C plugin through pkg-config"
"$cxx" -std=c++17 $flags $cflags "$here/check_lines.cc" -o "$work/pc/check_lines" $libs ||
	fail "C++ plugin through pkg-config"
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR

# ---- Build through the CMake package -------------------------------------------
"$cmake" -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$stage$prefix" \
	-DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
	-DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
	-DCMAKE_EXE_LINKER_FLAGS="${10:-}" -DKIVREL_VERSION="$version" \
	>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "configure with the CMake package"; }
grep -q "kivrel-plugins_DIR:PATH=$stage$prefix/" "$work/cmake/CMakeCache.txt" ||
	fail "the CMake package was not taken from the staging directory"
"$cmake" --build "$work/cmake" >"$work/build.log" 2>&1 ||
	{ cat "$work/build.log"; fail "build with the CMake package"; }

# ---- Run them ------------------------------------------------------------------
# expect STATE OUTPUT COMMAND...: the command prints exactly OUTPUT on
# standard output and exits with STATE.
expect() {
	want_state=$1 want_out=$2
	shift 2
	state=0
	out=$("$@") || state=$?
	[ "$state" = "$want_state" ] || fail "$*: exit $state, expected $want_state; output: $out"
	[ "$out" = "$want_out" ] || fail "$*: printed '$out', expected '$want_out'"
}

printf 'one\ntwo\nthree\n' >"$work/three_lines"
printf '[limits]\nwarning = 10\ncritical = 20\n' >"$work/outside.ini"
for way in pc cmake; do
	bin=$work/$way
	export KIVREL_PLUGIN_STATE_DIRECTORY="$work/state-$way"
	expect 0 "check_outside v1.0 (kivrel-plugins $version)" "$bin/check_outside" -V
	# The ranges come from the INI file, through the reader in the common
	# routines that checkkit's option merge calls.
	expect 1 "OUTSIDE WARNING - 15, before: none|value=15;10;20" \
		"$bin/check_outside" -C '/bin/echo 15' "--extra-opts=limits@$work/outside.ini"
	expect 2 "OUTSIDE CRITICAL - 25, before: 15|value=25;10;20" \
		"$bin/check_outside" -C '/bin/echo 25' -w 10 -c 20
	expect 3 "Range format incorrect" "$bin/check_outside" -C '/bin/echo 1' -w 20:10
	expect 0 "LINES OK - 3 lines in $work/three_lines|lines=3;;5;0" \
		"$bin/check_lines" "$work/three_lines" 5
	expect 2 "LINES CRITICAL - 3 lines in $work/three_lines|lines=3;;2;0" \
		"$bin/check_lines" "$work/three_lines" 2
	expect 3 "check_lines: The limit must be a non-negative integer - x
Usage: check_lines file limit" "$bin/check_lines" "$work/three_lines" x
done
echo "outside plugins built and run through pkg-config and the CMake package"
