# SPDX-License-Identifier: MIT
# The Debian packages: built in trees of their own, configured for /usr, so
# they do not depend on this build's prefix or options; once shared, once
# with the client library and the C++ runtime linked in. The sanitizer
# build would only make the same packages again. Every program of
# KIVREL_PROGRAMS is checked.
if(NOT KIVREL_SANITIZE)
  add_test(NAME debian_package
    COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh"
            "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_BINARY_DIR}/package" "${PROJECT_VERSION}"
            "${KIVREL_PACKAGE_VERSION}" ${KIVREL_PROGRAMS})
  # The nested builds run two compilers each.
  set_tests_properties(debian_package PROPERTIES TIMEOUT 1200 PROCESSORS 2
                       FIXTURES_SETUP debian_packages
                       ENVIRONMENT "TMPDIR=${CMAKE_CURRENT_BINARY_DIR}/tmp")

  # The README's examples, on the default build's packages as installed.
  add_test(NAME readme_examples
    COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/readme_examples_test.sh"
            "${PROJECT_SOURCE_DIR}/README.md" "${CMAKE_CURRENT_BINARY_DIR}/package/shared"
            "${server_dir}/server.env" "${cluster_dir}/server.env"
            "${CMAKE_CURRENT_BINARY_DIR}/readme_examples")
  # The replica example must not meet the replica tests' changes, and the
  # cluster example needs all three nodes, which the cluster tests stop.
  set_tests_properties(readme_examples PROPERTIES
    FIXTURES_REQUIRED "debian_packages;run_env;galera" RESOURCE_LOCK replica_channels
    TIMEOUT 120 ENVIRONMENT "TMPDIR=${CMAKE_CURRENT_BINARY_DIR}/tmp")
  set_tests_properties(${cluster_cases} PROPERTIES DEPENDS readme_examples)
endif()
