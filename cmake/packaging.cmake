# SPDX-License-Identifier: MIT
# The Debian packages, made by CPack from what `cmake --install` installs:
#
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release
#   cmake --build build-deb -j2 && (cd build-deb && cpack -G DEB)
#
# gives two packages, one for each install component:
#
#   kivrel-plugins      (runtime) the programs, manual pages, catalogues,
#                       engine definitions and documentation
#   kivrel-plugins-dev  (dev) headers, static libraries, pkg-config file and
#                       CMake package; depends on kivrel-plugins
#
# The catalogue, configuration and state directories are fixed when the tree
# is configured, so the packages are made only from a tree configured for
# /usr.
#
# The package version, KIVREL_PACKAGE_VERSION, is the project version with a
# Debian revision (CMakeLists.txt).
set(KIVREL_MAINTAINER "kivrel-plugins developers <devel@kivrel-plugins.org>")
set(doc_dir "${CMAKE_INSTALL_DATAROOTDIR}/doc/${KIVREL_PACKAGE}")
set(dev_doc_dir "${CMAKE_INSTALL_DATAROOTDIR}/doc/${KIVREL_PACKAGE}-dev")
set(packaging_dir "${CMAKE_BINARY_DIR}/packaging")
find_program(GZIP_EXECUTABLE gzip)

# ---- NEWS and the Debian changelog -------------------------------------------
# NEWS begins with the release being built: "kivrel-plugins VERSION (DATE)".
# The Debian changelog is made from that line, so the version is written
# nowhere else.
file(STRINGS "${PROJECT_SOURCE_DIR}/NEWS" news_head LIMIT_COUNT 1)
if(NOT news_head MATCHES "^${KIVREL_PACKAGE} ([^ ]+) \\(([0-9]+)-([0-9]+)-([0-9]+)\\)$"
   OR NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "NEWS must begin with \"${KIVREL_PACKAGE} ${PROJECT_VERSION} (YYYY-MM-DD)\", "
                      "the release being built; it begins with \"${news_head}\"")
endif()
# The day of the week (Sakamoto's method), for the changelog's RFC 5322 date.
math(EXPR year "${CMAKE_MATCH_2}")
math(EXPR month "${CMAKE_MATCH_3}")
math(EXPR day "${CMAKE_MATCH_4}")
set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
math(EXPR index "${month} - 1")
list(GET month_offsets ${index} offset)
set(y ${year})
if(month LESS 3)
  math(EXPR y "${y} - 1")
endif()
math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
set(weekdays Sun Mon Tue Wed Thu Fri Sat)
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(GET weekdays ${weekday} weekday)
list(GET months ${index} month_name)
string(LENGTH "${day}" day_digits)
if(day_digits EQUAL 1)
  set(day "0${day}")
endif()
set(KIVREL_RELEASE_DATE "${weekday}, ${day} ${month_name} ${year} 12:00:00 +0000")
file(WRITE "${packaging_dir}/changelog.Debian"
  "${KIVREL_PACKAGE} (${KIVREL_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}; /usr/share/doc/${KIVREL_PACKAGE}/NEWS.gz\n"
  "    lists its changes.\n\n"
  " -- ${KIVREL_MAINTAINER}  ${KIVREL_RELEASE_DATE}\n")

# ---- Copyright ----------------------------------------------------------------
# Machine-readable: MIT for all of this project. Code of others that a
# build links into the programs is named with its licence, and its Debian
# source package goes into Built-Using (below).

# kivrel_debian_source(FILE VAR): "SOURCE (= VERSION)" of the Debian package
# that holds FILE, or empty off Debian.
function(kivrel_debian_source file var)
  set(${var} "" PARENT_SCOPE)
  find_program(DPKG_QUERY_EXECUTABLE dpkg-query)
  if(NOT DPKG_QUERY_EXECUTABLE)
    return()
  endif()
  execute_process(COMMAND "${DPKG_QUERY_EXECUTABLE}" -S "${file}"
    OUTPUT_VARIABLE owner RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR NOT owner MATCHES "^([^:, ]+)")
    return()
  endif()
  execute_process(COMMAND "${DPKG_QUERY_EXECUTABLE}" -W
    "-f=\${source:Package} (= \${source:Version})" "${CMAKE_MATCH_1}"
    OUTPUT_VARIABLE source RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed)
    set(${var} "${source}" PARENT_SCOPE)
  endif()
endfunction()

string(REGEX REPLACE "^/" "" program_path "${CMAKE_INSTALL_FULL_LIBEXECDIR}/${KIVREL_PACKAGE}")
set(db_program_files)
foreach(program IN LISTS KIVREL_PROGRAMS)
  get_target_property(libraries ${program} LINK_LIBRARIES)
  if("db_common" IN_LIST libraries)
    list(APPEND db_program_files "${program_path}/${program}")
  endif()
endforeach()
string(REPLACE ";" "\n " db_program_files "${db_program_files}")

set(KIVREL_COPYRIGHT_LINKED_IN "")
set(KIVREL_COPYRIGHT_LINKED_LICENSES "")
set(KIVREL_BUILT_USING "")         # sources whose licence asks for them to be kept
set(KIVREL_STATIC_BUILT_USING "")  # every source linked in
set(runtime_licence "")
if(KIVREL_CXX_RUNTIME_LINKED_IN)
  execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=libstdc++.a
    OUTPUT_VARIABLE libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
  kivrel_debian_source("${libstdcxx}" cxx_source)
  if(cxx_source)
    list(APPEND KIVREL_STATIC_BUILT_USING "${cxx_source}")
    set(from " from the Debian source package ${cxx_source}")
  endif()
  set(runtime_licence " and GPL-3+ with GCC-Runtime-3.1 exception")
  string(APPEND KIVREL_COPYRIGHT_LINKED_IN "
Files: ${program_path}/*
Copyright: 2026 The kivrel-plugins developers
 1986-2022 Free Software Foundation, Inc.
License: MIT${runtime_licence}
Comment: The programs have the GNU C++ library and the GCC support library
 linked in${from}.
")
  string(APPEND KIVREL_COPYRIGHT_LINKED_LICENSES "
License: GPL-3+ with GCC-Runtime-3.1 exception
 The GNU C++ library and the GCC support library are free software; you can
 redistribute them and/or modify them under the terms of the GNU General
 Public License as published by the Free Software Foundation; either version
 3, or (at your option) any later version.
 .
 Under Section 7 of GPL version 3, you are granted additional permissions
 described in the GCC Runtime Library Exception, version 3.1, as published
 by the Free Software Foundation; the exception is quoted in
 /usr/share/doc/gcc-12-base/copyright on Debian 12.
 .
 On Debian systems, the complete text of the GNU General Public License
 version 3 can be found in `/usr/share/common-licenses/GPL-3'.
")
endif()
if(KIVREL_STATIC_CLIENT)
  kivrel_debian_source("${KIVREL_CLIENT_STATIC_LIBRARY}" client_source)
  set(from "")
  if(client_source)
    list(APPEND KIVREL_BUILT_USING "${client_source}")
    list(APPEND KIVREL_STATIC_BUILT_USING "${client_source}")
    set(from ",\n from the Debian source package ${client_source}")
  endif()
  string(APPEND KIVREL_COPYRIGHT_LINKED_IN "
Files: ${db_program_files}
Copyright: 2026 The kivrel-plugins developers
 2000-2012 MySQL AB & MySQL Finland AB & TCX DataKonsult AB
 2006-2011 The PHP Group
 2012-2013 Monty Program AB
 2014-2020 MariaDB Corporation Ab
License: MIT and LGPL-2.1+${runtime_licence}
Comment: The database checks have the MariaDB client library linked in${from}.
 The client library's own copyright file, /usr/share/doc/libmariadb3/copyright,
 names the holders and licences of each of its parts.
")
  string(APPEND KIVREL_COPYRIGHT_LINKED_LICENSES "
License: LGPL-2.1+
 This library is free software; you can redistribute it and/or modify it
 under the terms of the GNU Lesser General Public License as published by
 the Free Software Foundation; either version 2.1 of the License, or (at
 your option) any later version.
 .
 On Debian systems, the complete text of the GNU Lesser General Public
 License version 2.1 can be found in `/usr/share/common-licenses/LGPL-2.1'.
")
endif()
configure_file("${PROJECT_SOURCE_DIR}/packaging/copyright.in" "${packaging_dir}/copyright" @ONLY)
# The -dev package holds only this project's code.
set(KIVREL_COPYRIGHT_LINKED_IN "")
set(KIVREL_COPYRIGHT_LINKED_LICENSES "")
configure_file("${PROJECT_SOURCE_DIR}/packaging/copyright.in" "${packaging_dir}/copyright-dev" @ONLY)

# ---- Documentation --------------------------------------------------------------
# Debian compresses documentation larger than 4 kB with gzip -9n (-n: no name
# or time stamp, so the file is the same each time); the examples stay as
# they are, ready to copy.
set(compressed)
foreach(doc NEWS README.md)
  set(source "${PROJECT_SOURCE_DIR}/${doc}")
  list(APPEND compressed "${packaging_dir}/${doc}.gz")
  add_custom_command(OUTPUT "${packaging_dir}/${doc}.gz"
    COMMAND "${GZIP_EXECUTABLE}" -9nc "${source}" > "${packaging_dir}/${doc}.gz"
    DEPENDS "${source}" COMMENT "Compressing ${doc}")
endforeach()
add_custom_command(OUTPUT "${packaging_dir}/changelog.Debian.gz"
  COMMAND "${GZIP_EXECUTABLE}" -9nc "${packaging_dir}/changelog.Debian"
          > "${packaging_dir}/changelog.Debian.gz"
  DEPENDS "${packaging_dir}/changelog.Debian" COMMENT "Compressing the Debian changelog")
add_custom_target(documentation ALL DEPENDS ${compressed} "${packaging_dir}/changelog.Debian.gz")

install(FILES ${compressed} "${packaging_dir}/changelog.Debian.gz" "${packaging_dir}/copyright"
        DESTINATION "${doc_dir}" COMPONENT runtime)
install(FILES "${packaging_dir}/changelog.Debian.gz" DESTINATION "${dev_doc_dir}" COMPONENT dev)
install(FILES "${packaging_dir}/copyright-dev" DESTINATION "${dev_doc_dir}"
        RENAME copyright COMPONENT dev)
# Examples an operator copies: a client option file, an INI file for
# --extra-opts, services for both engine dialects, commands for a remote
# executor (configured with the programs' folder), and the example plugin.
configure_file("${PROJECT_SOURCE_DIR}/examples/remote-commands.cfg.in"
               "${packaging_dir}/examples/remote-commands.cfg" @ONLY)
install(FILES
  "${PROJECT_SOURCE_DIR}/examples/my.cnf"
  "${PROJECT_SOURCE_DIR}/examples/plugins.ini"
  "${PROJECT_SOURCE_DIR}/examples/services-objects.conf"
  "${PROJECT_SOURCE_DIR}/examples/services-commands.cfg"
  "${packaging_dir}/examples/remote-commands.cfg"
  "${PROJECT_SOURCE_DIR}/examples/check_rate.cc"
  DESTINATION "${doc_dir}/examples" COMPONENT runtime)

# ---- Packages ---------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${KIVREL_PACKAGE}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "kivrel-plugins developers")
set(CPACK_PACKAGE_CONTACT "${KIVREL_MAINTAINER}")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it before the first
# line of each component's description, which is that package's summary.

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_PACKAGE_RELEASE "${KIVREL_DEBIAN_REVISION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.kivrel-plugins.org/")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KIVREL_MAINTAINER}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "${KIVREL_PACKAGE}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "monitoring checks for MySQL and MariaDB servers\n"
  "Check plugins for a host and service monitoring system: check_dbhealth\n"
  "reports a server's statistics and checks a replica's threads and lag,\n"
  "check_dbquery classifies the number an SQL query returns against warning\n"
  "and critical ranges, check_dbstatus reports rates, ratios and headroom\n"
  "of a server (connections, cache hits, slow queries, long queries and\n"
  "transactions, lock waits) against ranges, and check_sysinfo prints one\n"
  "item of system information. check_dbreplica checks every replication\n"
  "channel of a replica, by its threads, lag or heartbeat, and\n"
  "check_dbcluster a node of a Galera cluster. Each reports through one\n"
  "status line and its exit code.\n"
  "\n"
  "The package holds the programs with their manual pages and German\n"
  "messages, command definitions for monitoring engines, and example\n"
  "configurations.")
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION ${CPACK_DEBIAN_RUNTIME_DESCRIPTION})
# Depends is worked out by dpkg-shlibdeps from the libraries the programs
# link. A client library linked in still loads its login plugins
# (ed25519, caching_sha2_password) from the shared library's package.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
if(KIVREL_STATIC_CLIENT)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libmariadb3")
endif()

set(CPACK_DEBIAN_DEV_PACKAGE_NAME "${KIVREL_PACKAGE}-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The pkg-config file and the CMake package ask for libmd.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${KIVREL_PACKAGE} (= ${KIVREL_PACKAGE_VERSION}), libmd-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "monitoring checks for MySQL and MariaDB servers - development files\n"
  "checkkit, the static C++17 support library that the checks of\n"
  "kivrel-plugins are built on, with C headers: the plugin context and its\n"
  "one fatal exit, warning and critical ranges, state retention between\n"
  "runs, a command runner, options from INI files, mount-table matching and\n"
  "expect-string matching, with the common routines of check plugins.\n"
  "\n"
  "The package holds the headers, the static libraries, a pkg-config file\n"
  "and a CMake package, for building further check plugins in C or C++.")
string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION ${CPACK_DEBIAN_DEV_DESCRIPTION})

set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Absolute destinations (the catalogue directory) go under the staging
# directory too, not into the building machine's /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

# CPack writes no Built-Using fields; packaging/cpack_built_using.cmake adds
# them to the runtime package once it is made.
string(REPLACE ";" ", " CPACK_KIVREL_BUILT_USING "${KIVREL_BUILT_USING}")
string(REPLACE ";" ", " CPACK_KIVREL_STATIC_BUILT_USING "${KIVREL_STATIC_BUILT_USING}")
set(CPACK_KIVREL_RUNTIME_PACKAGE "${KIVREL_PACKAGE}")
if(KIVREL_STATIC_BUILT_USING)
  if(CMAKE_VERSION VERSION_LESS 3.19)
    message(WARNING "CPack of CMake ${CMAKE_VERSION} runs no post-build scripts: the "
                    "package will lack Built-Using: ${KIVREL_STATIC_BUILT_USING}")
  endif()
  set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/cpack_built_using.cmake")
endif()

# ---- Maintainer scripts ------------------------------------------------------------
# Purging the package removes the state the checks kept; removing it keeps
# the state, as dpkg keeps a directory that is not empty.
file(WRITE "${packaging_dir}/postrm" "#!/bin/sh
set -e
if [ \"$1\" = purge ]; then
    rm -rf '${KIVREL_STATE_DIR}'
fi
")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${packaging_dir}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# ---- lintian overrides ---------------------------------------------------------------
string(REGEX REPLACE "^/" "" state_dir_in_package "${KIVREL_STATE_DIR}")
# Each line says why lintian's finding does not hold for these packages.
set(no_itp "# The packages are not uploaded to Debian, so their first changelog entry
# has no ITP bug to close.
")
file(WRITE "${packaging_dir}/lintian/${KIVREL_PACKAGE}" "${no_itp}"
"${KIVREL_PACKAGE}: initial-upload-closes-no-bugs
# The programs live in ${program_path}, out of PATH, since
# monitoring engines run them by their full path; their manual pages are
# still the operator's reference.
${KIVREL_PACKAGE}: spare-manual-page [usr/share/man/man8/*]
# The state directory is open to every user, with the sticky bit, as
# /var/tmp is: each engine's user makes its own directory (0700) in it.
${KIVREL_PACKAGE}: non-standard-dir-perm 1777 != 0755 [${state_dir_in_package}/]
")
if(KIVREL_STATIC_BUILT_USING)
  file(APPEND "${packaging_dir}/lintian/${KIVREL_PACKAGE}"
"# Static-Built-Using is known to dpkg (1.21) and to Debian policy (4.7),
# but not yet to the lintian of Debian 12.
${KIVREL_PACKAGE}: unknown-field Static-Built-Using
")
endif()
file(WRITE "${packaging_dir}/lintian/${KIVREL_PACKAGE}-dev" "${no_itp}"
  "${KIVREL_PACKAGE}-dev: initial-upload-closes-no-bugs\n")
install(FILES "${packaging_dir}/lintian/${KIVREL_PACKAGE}"
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides" COMPONENT runtime)
install(FILES "${packaging_dir}/lintian/${KIVREL_PACKAGE}-dev"
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides" COMPONENT dev)

set(CPACK_KIVREL_CONFIGURED_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/cpack_project.cmake")

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

include(CPack)
