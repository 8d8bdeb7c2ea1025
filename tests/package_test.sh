#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Build the Debian packages as the README says, in trees of their own
# configured for /usr with no flags from the environment, once with the
# default (shared) linking and once with the client library and the C++
# runtime linked in, and check them:
#   - control fields, and that the two packages together hold exactly what
#     `cmake --install` installs, each its own component (owned by root,
#     sane modes), with the files each must hold, and examples for each
#     program;
#   - Depends: the packages of the libraries the programs link (from
#     dpkg-shlibdeps), libmariadb3 also when the client is linked in, and
#     Built-Using/Static-Built-Using then; the -dev package depends on the
#     runtime package of the same version and on the packages of what its
#     pkg-config file requires;
#   - the copyright file names MIT, and the linked-in code with its licence;
#   - every program passes hardening-check;
#   - the programs run, the manual pages render with every long option and
#     the FILES and ENVIRONMENT sections;
#   - lintian --info --pedantic reports no error and no warning;
#   - both packages unpacked into one root suffice to build and run the
#     outside C and C++ plugins (tests/outside_plugin).
#
#   tests/package_test.sh SOURCE_DIR WORK_DIR VERSION PACKAGE_VERSION PROGRAM...
set -euo pipefail

if (($# < 5)); then
  echo "usage: $0 SOURCE_DIR WORK_DIR VERSION PACKAGE_VERSION PROGRAM..." >&2
  exit 2
fi
src=$(cd "$1" && pwd -P)
work=$2
version=$3
package_version=$4
shift 4
programs=("$@")
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

for tool in cmake cpack dpkg-deb dpkg-shlibdeps lintian hardening-check help2man man readelf; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "FAIL: $tool is missing (scripts/install_deps.sh installs it)" >&2
    exit 1
  fi
done

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd -P)
# The hardening must come from the build's defaults, not from the caller.
unset DESTDIR CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
arch=$(dpkg --print-architecture)
plugin_dir=/usr/libexec/kivrel-plugins
doc=/usr/share/doc/kivrel-plugins

# build NAME CMAKE_OPTION...: configure, build and package a tree in
# $work/NAME; sets $runtime_deb and $dev_deb.
build() {
  local name=$1 dir=$work/$1
  shift
  run_logged "$work/$name-configure.log" cmake -S "$src" -B "$dir" \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DKIVREL_TESTS=OFF "$@"
  run_logged "$work/$name-build.log" cmake --build "$dir" -j2
  (cd "$dir" && run_logged "$work/$name-cpack.log" cpack -G DEB)
  runtime_deb=$dir/kivrel-plugins_${package_version}_$arch.deb
  dev_deb=$dir/kivrel-plugins-dev_${package_version}_$arch.deb
  local found
  found=$(cd "$dir" && echo ./*.deb)
  [[ -f "$runtime_deb" && -f "$dev_deb" && $(wc -w <<<"$found") == 2 ]] || {
    echo "FAIL: expected $runtime_deb and $dev_deb, found: $found" >&2
    exit 1
  }
}

field() { dpkg-deb --field "$1" "$2"; }
# package_names DEPENDS: the package names of a dependency field, one a line.
package_names() { tr ',|' '\n' <<<"$1" | sed 's/^ *//; s/[ (].*//; /^$/d' | sort -u; }

# check_control DEB PACKAGE SECTION
check_control() {
  local deb=$1 package=$2 section=$3
  [[ "$(field "$deb" Package)" == "$package" ]] || fail "$deb: Package is '$(field "$deb" Package)'"
  [[ "$(field "$deb" Version)" == "$package_version" ]] ||
    fail "$package: Version is '$(field "$deb" Version)', not $package_version"
  [[ "$(field "$deb" Architecture)" == "$arch" ]] || fail "$package: Architecture is not $arch"
  [[ "$(field "$deb" Section)" == "$section" ]] || fail "$package: Section is not $section"
  [[ "$(field "$deb" Maintainer)" == "kivrel-plugins developers <devel@kivrel-plugins.org>" ]] ||
    fail "$package: Maintainer is '$(field "$deb" Maintainer)'"
}

# check_contents NAME: both packages of build NAME hold exactly what its
# components install, every entry root's with sane modes, and what they must.
check_contents() {
  local name=$1 dir=$work/$1 deb component listing packaged installed f p
  local listing_runtime packaged_runtime packaged_dev
  for component in runtime dev; do
    deb=$runtime_deb
    [[ $component == dev ]] && deb=$dev_deb
    listing=$(dpkg-deb --contents "$deb")
    while read -r mode owner _ _ _ path _; do
      [[ "$owner" == root/root ]] || fail "$path is owned by $owner"
      case "$mode $path" in
        "drwxrwxrwt ./var/lib/kivrel-plugins/") ;;  # the state directory, as /var/tmp
        "drwxr-xr-x "* | "-rw-r--r-- "* | "-rwxr-xr-x "* | "lrwxrwxrwx "*) ;;
        *) fail "$path has mode $mode" ;;
      esac
    done <<<"$listing"
    packaged=$(awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' <<<"$listing" | sort)
    run_logged "$work/$name-install-$component.log" env DESTDIR="$work/$name-staged-$component" \
      cmake --install "$dir" --component "$component"
    installed=$(cd "$work/$name-staged-$component" && find . ! -type d | sed 's/^\.//' | sort)
    if [[ "$packaged" != "$installed" ]]; then
      fail "$name: the $component package differs from its component (< package, > install):"
      diff <(echo "$packaged") <(echo "$installed") >&2 || true
    fi
    if [[ $component == runtime ]]; then
      # Checks of every user keep their state there (see cmake/install.cmake).
      grep -q '^drwxrwxrwt root/root .* \./var/lib/kivrel-plugins/$' <<<"$listing" ||
        fail "$name: the runtime package lacks the state directory /var/lib/kivrel-plugins, mode 1777"
      [[ "$(dpkg-deb --info "$deb" postrm)" == *"rm -rf '/var/lib/kivrel-plugins'"* ]] ||
        fail "$name: the runtime package's postrm does not purge the state directory"
      listing_runtime=$listing packaged_runtime=$packaged
    else
      packaged_dev=$packaged
    fi
  done

  # The runtime package holds the programs of KIVREL_PROGRAMS and no other.
  local shipped
  shipped=$(grep "^$plugin_dir/" <<<"$packaged_runtime" | sed 's|.*/||' | sort)
  [[ "$shipped" == "$(printf '%s\n' "${programs[@]}" | sort)" ]] ||
    fail "$name: the programs packaged are '${shipped//$'\n'/ }', not '${programs[*]}'"
  local runtime_files=(
    /usr/share/locale/de/LC_MESSAGES/kivrel-plugins.mo
    /usr/share/kivrel-plugins/engines/objects.conf
    /usr/share/kivrel-plugins/engines/commands.cfg
    /usr/share/icinga2/include/plugins-contrib.d/kivrel-plugins.conf
    "$doc/copyright" "$doc/changelog.Debian.gz" "$doc/NEWS.gz" "$doc/README.md.gz"
    "$doc/examples/my.cnf" "$doc/examples/plugins.ini" "$doc/examples/services-objects.conf"
    "$doc/examples/services-commands.cfg" "$doc/examples/remote-commands.cfg"
    "$doc/examples/check_rate.cc"
  )
  # The examples cover every program: a service in both engine dialects
  # and a remote-executor command.
  local examples=$work/$name-staged-runtime$doc/examples
  for p in "${programs[@]}"; do
    grep -q "check_command = \"kivrel_${p#check_}\"" "$examples/services-objects.conf" ||
      fail "$name: services-objects.conf has no service of kivrel_${p#check_}"
    grep -Eq "^ +check_command +(kivrel_remote!)?kivrel_${p#check_}" "$examples/services-commands.cfg" ||
      fail "$name: services-commands.cfg has no service of kivrel_${p#check_}"
    grep -q "^command\[.*\]=$plugin_dir/$p " "$examples/remote-commands.cfg" ||
      fail "$name: remote-commands.cfg does not run $p"
  done
  for p in "${programs[@]}"; do
    runtime_files+=("/usr/share/man/man8/$p.8.gz")
    grep -q "^-rwxr-xr-x .* \.$plugin_dir/$p\$" <<<"$listing_runtime" ||
      fail "$name: $p is not an executable in the package"
  done
  for f in "${runtime_files[@]}"; do
    grep -qx -- "$f" <<<"$packaged_runtime" || fail "$name: $f is not in the runtime package"
  done
  # The engine's contributed commands hold the same CheckCommands.
  local staged=$work/$name-staged-runtime
  cmp -s "$staged/usr/share/icinga2/include/plugins-contrib.d/kivrel-plugins.conf" \
    "$staged/usr/share/kivrel-plugins/engines/objects.conf" ||
    fail "$name: the engine's kivrel-plugins.conf is not engines/objects.conf"
  local multiarch
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  for f in /usr/include/kivrel-plugins/{argmerge,common,ini_defaults,kitcore,kitmount,kitreply,kitrun,plugin_help,plugin_routines}.h \
    "/usr/lib/$multiarch/"{libcheckkit.a,libkivrel-plugin-common.a,pkgconfig/kivrel-plugins.pc} \
    "/usr/lib/$multiarch/cmake/kivrel-plugins/kivrel-pluginsConfig.cmake" \
    /usr/share/doc/kivrel-plugins-dev/copyright /usr/share/doc/kivrel-plugins-dev/changelog.Debian.gz; do
    grep -qx -- "$f" <<<"$packaged_dev" || fail "$name: $f is not in the -dev package"
  done
  if grep -E '^/usr/(include|lib)/' <<<"$packaged_runtime"; then
    fail "$name: the runtime package holds development files"
  fi
}

# check_depends NAME LINKED_IN: Depends of the runtime package names the
# package of every shared library a program links and nothing else, and
# libmariadb3 also when the client is linked in (LINKED_IN=1).
check_depends() {
  local name=$1 linked_in=$2 root=$work/$1-root p soname owners d
  rm -rf "$root"
  dpkg-deb --extract "$runtime_deb" "$root"
  local depends depends_pkgs linked_pkgs=
  depends=$(field "$runtime_deb" Depends)
  echo "$name: Depends: $depends"
  depends_pkgs=$(package_names "$depends")
  for p in "${programs[@]}"; do
    for soname in $(readelf --dynamic "$root$plugin_dir/$p" |
      sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      owners=$({ dpkg --search "*/$soname" 2>/dev/null || true; } |
        sed '/\/debug\//d; s/[:,].*//' | sort -u)
      [[ -n "$owners" ]] || { fail "no package holds $soname, linked by $p"; continue; }
      grep -qxF -f <(echo "$owners") <<<"$depends_pkgs" ||
        fail "$name: $p links $soname (from ${owners//$'\n'/ }), which Depends does not name"
      linked_pkgs+="$owners"$'\n'
    done
  done
  ((linked_in)) && linked_pkgs+=libmariadb3$'\n'
  for d in $depends_pkgs; do
    grep -qx -- "$d" <<<"$linked_pkgs" || fail "$name: Depends names $d, which holds no linked library"
  done
  local must=(libc6 libmariadb3 libssl3 libmd0) must_not=()
  if ((linked_in)); then must_not+=(libstdc++6); else must+=(libstdc++6); fi
  for d in "${must[@]}"; do
    grep -qx -- "$d" <<<"$depends_pkgs" || fail "$name: Depends does not name $d"
  done
  for d in "${must_not[@]}"; do
    ! grep -qx -- "$d" <<<"$depends_pkgs" || fail "$name: Depends names $d"
  done
  local dev_depends
  dev_depends=$(field "$dev_deb" Depends)
  [[ ",$dev_depends," == *", kivrel-plugins (= $package_version),"* ||
     "$dev_depends" == "kivrel-plugins (= $package_version)"* ]] ||
    fail "$name: kivrel-plugins-dev Depends '$dev_depends' lacks kivrel-plugins (= $package_version)"
  # Besides that, the -dev package depends on exactly the packages of the
  # modules its pkg-config file requires.
  local module pc_owner required_pkgs=kivrel-plugins$'\n'
  for module in $(dpkg-deb --fsys-tarfile "$dev_deb" | tar -xOf - --wildcards '*/kivrel-plugins.pc' |
    sed -n 's/^Requires: *//p' | tr ',' ' '); do
    pc_owner=$({ dpkg --search "$(pkg-config --variable=pcfiledir "$module")/$module.pc" || true; } |
      sed 's/[:,].*//')
    required_pkgs+=$pc_owner$'\n'
  done
  [[ "$(package_names "$dev_depends" | sort -u)" == "$(sort -u <<<"${required_pkgs%$'\n'}")" ]] ||
    fail "$name: kivrel-plugins-dev Depends '$dev_depends' is not kivrel-plugins and the packages of the modules its pkg-config file requires"
}

# check_built_using NAME LINKED_IN: the fields that name linked-in sources,
# and the copyright file's stanzas for them.
check_built_using() {
  local name=$1 linked_in=$2 copyright=$work/$1-root$doc/copyright
  local built static
  built=$(field "$runtime_deb" Built-Using)
  static=$(field "$runtime_deb" Static-Built-Using)
  echo "$name: Built-Using: ${built:-none}; Static-Built-Using: ${static:-none}"
  grep -q '^License: MIT$' "$copyright" || fail "$name: the copyright file does not name MIT"
  grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright" ||
    fail "$name: the copyright file is not machine-readable"
  if ((linked_in)); then
    local client gcc
    client=$(dpkg-query -W -f='${source:Package} (= ${source:Version})' libmariadb-dev)
    gcc=$(dpkg-query -W -f='${source:Package} (= ${source:Version})' \
      "$(dpkg --search "$(g++ -print-file-name=libstdc++.a)" | sed 's/[:,].*//')")
    [[ "$built" == "$client" ]] || fail "$name: Built-Using is '$built', not '$client'"
    [[ ", $static," == *", $client,"* && ", $static," == *", $gcc,"* ]] ||
      fail "$name: Static-Built-Using '$static' lacks '$client' or '$gcc'"
    local licence
    for licence in 'MIT and LGPL-2.1+ and GPL-3+ with GCC-Runtime-3.1 exception' \
      'MIT and GPL-3+ with GCC-Runtime-3.1 exception' LGPL-2.1+ 'GPL-3+ with GCC-Runtime-3.1 exception'; do
      grep -qxF "License: $licence" "$copyright" ||
        fail "$name: the copyright file does not name the licence $licence"
    done
  else
    [[ -z "$built$static" ]] || fail "$name: a shared build declares Built-Using"
    ! grep -q 'LGPL\|GPL-3' "$copyright" || fail "$name: the copyright file names code not linked in"
  fi
}

# check_hardening NAME: hardening-check passes every program. Debian 12's C
# library start files carry no CET property, so no program of Debian 12
# (/usr/bin/ls neither) has the control-flow marking; that check is left out.
check_hardening() {
  local name=$1 p out
  for p in "${programs[@]}"; do
    out=$(hardening-check --nocfprotection "$work/$name-root$plugin_dir/$p" 2>&1) ||
      fail "$name: hardening-check $p: $out"
  done
  echo "$name: hardening-check passes ${programs[*]}"
}

# check_lintian DEB...: no error and no warning.
check_lintian() {
  local out
  out=$(lintian --info --pedantic --display-info --tag-display-limit 0 --fail-on none "$@" 2>&1) ||
    fail "lintian could not check $*"
  out=$(grep -v '^running with root privileges' <<<"$out" || true)
  echo "lintian --info --pedantic ${*##*/}:"
  echo "${out:-  (no tags)}"
  if grep -q '^[EW]:' <<<"$out"; then
    fail "lintian reports errors or warnings"
  fi
}

# ---- The default build: shared client library and C++ runtime ---------------
build shared
check_control "$runtime_deb" kivrel-plugins net
check_control "$dev_deb" kivrel-plugins-dev libdevel
check_contents shared
check_depends shared 0
check_built_using shared 0
check_hardening shared
check_lintian "$runtime_deb" "$dev_deb"
shared_runtime_deb=$runtime_deb
shared_dev_deb=$dev_deb

# ---- The packaged programs run, and their manual pages render ----------------
root=$work/shared-root
bin=$root$plugin_dir
[[ "$("$bin/check_sysinfo" -t sys -c os)" == "$(uname -s)" ]] ||
  fail "packaged check_sysinfo -t sys -c os does not print $(uname -s)"
render() { MANWIDTH=200 MAN_DISABLE_SECCOMP=1 LC_ALL=C man -l "$1" 2>"$work/man.err"; }
for p in "${programs[@]}"; do
  page=$root/usr/share/man/man8/$p.8.gz
  text=$(render "$page") || fail "man -l $p.8.gz failed: $(cat "$work/man.err")"
  grep -q "^ *$p - " <<<"$text" || fail "$p.8 has no NAME line for $p"
  grep -q '^FILES' <<<"$text" || fail "$p.8 has no FILES section"
  grep -q '^ENVIRONMENT' <<<"$text" || fail "$p.8 has no ENVIRONMENT section"
  if [[ $p == check_sysinfo ]]; then
    options=(-h "-t TYPE" "-c ITEM" --help --version /etc/os-release)
  else
    [[ "$("$bin/$p" --version)" == *"$version"* ]] || fail "packaged $p --version does not name $version"
    mapfile -t options < <("$bin/$p" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
    ((${#options[@]} > 5)) || fail "$p --help lists too few long options: ${options[*]}"
    # What the database checks read besides their options.
    # shellcheck disable=SC2088  # the page shows the tilde
    options+=(/etc/kivrel-plugins/plugins.ini KIVREL_PLUGIN_CONFIG_FILE MYSQL_PWD
      KIVREL_PLUGIN_STATE_DIRECTORY '~/.my.cnf' "[$p]")
  fi
  for o in "${options[@]}"; do
    grep -qF -- "$o" <<<"$text" || fail "$p.8 does not show $o"
  done
done

# ---- Both packages in one root: outside plugins built from the -dev files ----
stage=$work/both
dpkg-deb --extract "$shared_runtime_deb" "$stage"
dpkg-deb --extract "$shared_dev_deb" "$stage"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
OUTSIDE_STAGE=$stage run_logged "$work/outside.log" sh "$src/tests/outside_plugin/run.sh" \
  cmake "$work/shared" "$work/outside" /usr "/usr/lib/$multiarch" /usr/include "$version" cc c++
echo "outside plugins: $(tail -n 1 "$work/outside.log")"

# ---- Client library and C++ runtime linked in --------------------------------
build static -DKIVREL_STATIC_CLIENT=ON -DKIVREL_STATIC_CXX_RUNTIME=ON
check_control "$runtime_deb" kivrel-plugins net
check_contents static
check_depends static 1
check_built_using static 1
check_hardening static
check_lintian "$runtime_deb"

if ((failures > 0)); then
  echo "package_test: $failures failure(s)" >&2
  exit 1
fi
echo "package_test: both builds' packages are fine"
