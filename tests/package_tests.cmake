# SPDX-License-Identifier: MIT
# The Debian package: built in a tree of its own, configured for /usr, so it
# does not depend on this build's prefix or options. The sanitizer build would
# only make the same package again.
if(NOT KIVREL_SANITIZE)
  add_test(NAME debian_package
    COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh"
            "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_BINARY_DIR}/package" "${PROJECT_VERSION}")
  # The nested build runs two compilers.
  set_tests_properties(debian_package PROPERTIES TIMEOUT 600 PROCESSORS 2)
endif()
