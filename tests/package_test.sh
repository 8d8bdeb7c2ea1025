#!/usr/bin/env bash
# Build the Debian package in a tree of its own, configured for /usr with the
# Debian build flags, and check it: its control fields, that it holds
# exactly what `cmake --install` installs (owned by root, sane modes), that
# its Depends names the packages of the libraries the programs link, that
# the packaged programs run and their manual pages render, and that lintian
# reports no error.
#
#   tests/package_test.sh SOURCE_DIR WORK_DIR VERSION
set -euo pipefail

if (($# != 3)); then
  echo "usage: $0 SOURCE_DIR WORK_DIR VERSION" >&2
  exit 2
fi
src=$(cd "$1" && pwd -P)
work=$2
version=$3
build=$work/build
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# run_logged LOG COMMAND...: keep the output of a long step, show it on failure.
run_logged() {
  local log=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "FAIL: $* (log: $log)" >&2
    exit 1
  fi
}

for tool in cmake cpack dpkg-deb dpkg-buildflags dpkg-shlibdeps lintian help2man man readelf; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "FAIL: $tool is missing (scripts/install_deps.sh installs it)" >&2
    exit 1
  fi
done

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd -P)
build=$work/build
unset DESTDIR

# ---- Build the package ------------------------------------------------------
# CMake reads no CPPFLAGS, so the preprocessor flags (fortification) go with
# the compiler flags.
eval "$(cd "$src" && dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
run_logged "$work/configure.log" cmake -S "$src" -B "$build" \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DKIVREL_TESTS=OFF
run_logged "$work/build.log" cmake --build "$build" -j2
(cd "$build" && run_logged "$work/cpack.log" cpack -G DEB)

debs=("$build"/*.deb)
if ((${#debs[@]} != 1)) || [[ ! -f "${debs[0]}" ]]; then
  echo "FAIL: expected one .deb in $build, found: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
echo "package: $deb"
dpkg-deb --info "$deb"

# ---- Control fields ---------------------------------------------------------
field() { dpkg-deb --field "$deb" "$1"; }
[[ "$(field Package)" == kivrel-plugins ]] || fail "Package is '$(field Package)'"
[[ "$(field Version)" == "$version" ]] || fail "Version is '$(field Version)', not $version"
arch=$(dpkg --print-architecture)
[[ "$(field Architecture)" == "$arch" ]] || fail "Architecture is '$(field Architecture)', not $arch"
[[ "$(field Maintainer)" == "kivrel-plugins developers <devel@kivrel-plugins.org>" ]] ||
  fail "Maintainer is '$(field Maintainer)'"
[[ -n "$(field Section)" && -n "$(field Description)" ]] || fail "Section or Description is empty"

# ---- Contents ---------------------------------------------------------------
# Every entry is root's, directories are 755, files 644 or (programs) 755.
listing=$(dpkg-deb --contents "$deb")
echo "$listing"
while read -r mode owner _ _ _ path _; do
  [[ "$owner" == root/root ]] || fail "$path is owned by $owner"
  case "$mode" in
    drwxr-xr-x | -rw-r--r-- | -rwxr-xr-x | lrwxrwxrwx) ;;
    *) fail "$path has mode $mode" ;;
  esac
done <<<"$listing"

# The package holds exactly what an installation into /usr installs.
packaged=$(awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' <<<"$listing" | sort)
run_logged "$work/install.log" env DESTDIR="$work/staged" cmake --install "$build"
installed=$(cd "$work/staged" && find . ! -type d | sed 's/^\.//' | sort)
if [[ "$packaged" != "$installed" ]]; then
  fail "package contents differ from the installation (< package, > install):"
  diff <(echo "$packaged") <(echo "$installed") >&2 || true
fi

programs=(check_dbhealth check_dbquery check_dbstatus check_sysinfo check_dbreplica check_dbcluster)
expect=(
  /usr/share/locale/de/LC_MESSAGES/kivrel-plugins.mo
  /usr/share/doc/kivrel-plugins/copyright
  /usr/share/doc/kivrel-plugins/changelog.gz
)
for p in "${programs[@]}"; do
  expect+=("/usr/libexec/kivrel-plugins/$p" "/usr/share/man/man8/$p.8.gz")
  grep -q "^-rwxr-xr-x .* \./usr/libexec/kivrel-plugins/$p\$" <<<"$listing" ||
    fail "$p is not an executable in the package"
done
for f in "${expect[@]}"; do
  grep -qx -- "$f" <<<"$packaged" || fail "$f is not in the package"
done

# ---- Dependencies -----------------------------------------------------------
# Depends names the package of every shared library a program links, and
# nothing else: dpkg-shlibdeps is its only source.
root=$work/root
dpkg-deb --extract "$deb" "$root"
depends=$(field Depends)
echo "Depends: $depends"
[[ -n "$depends" ]] || fail "Depends is empty"
depends_pkgs=$(sed 's/[,|]/\n/g; s/^ *//; s/\n */\n/g' <<<"$depends" | sed 's/[ (].*//' | sort -u)
grep -qx libc6 <<<"$depends_pkgs" || fail "Depends does not name the C library (libc6)"
linked_pkgs=
for p in "${programs[@]}"; do
  for soname in $(readelf --dynamic "$root/usr/libexec/kivrel-plugins/$p" |
    sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    owners=$({ dpkg --search "*/$soname" 2>/dev/null || true; } |
      sed '/\/debug\//d; s/[:,].*//' | sort -u)
    [[ -n "$owners" ]] || { fail "no package holds $soname, linked by $p"; continue; }
    grep -qxF -f <(echo "$owners") <<<"$depends_pkgs" ||
      fail "$p links $soname (from ${owners//$'\n'/ }), which Depends does not name"
    linked_pkgs+="$owners"$'\n'
  done
done
for d in $depends_pkgs; do
  grep -qx -- "$d" <<<"$linked_pkgs" || fail "Depends names $d, which holds no linked library"
done

# ---- The packaged programs run ----------------------------------------------
bin=$root/usr/libexec/kivrel-plugins
[[ "$("$bin/check_sysinfo" -t sys -c os)" == "$(uname -s)" ]] ||
  fail "packaged check_sysinfo -t sys -c os does not print $(uname -s)"
for p in check_dbhealth check_dbquery check_dbstatus check_dbreplica check_dbcluster; do
  [[ "$("$bin/$p" --version)" == *"$version"* ]] || fail "packaged $p --version does not name $version"
done

# ---- Manual pages -----------------------------------------------------------
# Each page renders, names its program, and shows every long option of the
# program's help (check_sysinfo has only short ones).
render() { MANWIDTH=200 MAN_DISABLE_SECCOMP=1 LC_ALL=C man -l "$1" 2>"$work/man.err"; }
for p in "${programs[@]}"; do
  page=$root/usr/share/man/man8/$p.8.gz
  text=$(render "$page") || fail "man -l $p.8.gz failed: $(cat "$work/man.err")"
  grep -q "^ *$p - " <<<"$text" || fail "$p.8 has no NAME line for $p"
  if [[ $p == check_sysinfo ]]; then
    options=(-h "-t TYPE" "-c ITEM")
  else
    mapfile -t options < <("$bin/$p" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
    ((${#options[@]} > 5)) || fail "$p --help lists too few long options: ${options[*]}"
  fi
  for o in "${options[@]}"; do
    grep -qF -- "$o" <<<"$text" || fail "$p.8 does not show $o"
  done
done
grep -qF -- "--hostname=ADDRESS" <<<"$(render "$root/usr/share/man/man8/check_dbhealth.8.gz")" ||
  fail "check_dbhealth.8 does not describe --hostname"

# ---- lintian ----------------------------------------------------------------
# Errors fail; warnings and notes are shown.
lintian_out=$(lintian --display-info --tag-display-limit 0 --fail-on none "$deb" 2>&1) ||
  fail "lintian could not check the package"
echo "lintian:"
echo "${lintian_out:-  (no tags)}"
if grep -q '^E:' <<<"$lintian_out"; then
  fail "lintian reports errors"
fi

if ((failures > 0)); then
  echo "package_test: $failures failure(s)" >&2
  exit 1
fi
echo "package_test: the package is fine"
