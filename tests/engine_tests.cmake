# SPDX-License-Identifier: MIT
# ---- The monitoring-engine definitions under the real engines --------------
# cmake/engines.cmake generates the definitions under <build>/engines, naming
# the programs in their install directory (below); the test validates them
# with both real engines and runs the build's programs under a private
# instance of the object engine against the test server, and again on the
# agent of a private master (the distributed case). The object engine
# reads the CheckCommands where the staged install (install_stage, part of
# the run_env fixture) put them: the folder of contributed commands that
# `include <plugins-contrib>` reads.
add_test(NAME engines
  COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/engines_test.sh"
          "${CMAKE_BINARY_DIR}/engines"
          "${CMAKE_INSTALL_FULL_LIBEXECDIR}/${KIVREL_PACKAGE}"
          "$<TARGET_FILE_DIR:check_dbquery>"
          "${CMAKE_CURRENT_BINARY_DIR}/server/server.env"
          "${CMAKE_BINARY_DIR}/cache/classic-engine"
          "${test_stage_dir}${CMAKE_INSTALL_FULL_DATADIR}/icinga2/include/plugins-contrib.d/${KIVREL_PACKAGE}.conf")
set_tests_properties(engines PROPERTIES FIXTURES_REQUIRED run_env TIMEOUT 240
                     ENVIRONMENT "TMPDIR=${CMAKE_CURRENT_BINARY_DIR}/tmp")
# It runs check_dbreplica, which must not meet the replica tests' changes.
set_tests_properties(engines PROPERTIES RESOURCE_LOCK replica_channels)
