# SPDX-License-Identifier: MIT
# The install as a plugin author meets it: staged with DESTDIR, then used
# through pkg-config and through the CMake package by plugins built outside
# this tree. The installed libraries of a sanitizer build need the
# sanitizers' runtime wherever they are linked.
if(KIVREL_SANITIZE)
  set(outside_flags "-fsanitize=address,undefined")
else()
  set(outside_flags "")
endif()
add_test(NAME install_outside_plugin
  COMMAND sh "${CMAKE_CURRENT_SOURCE_DIR}/outside_plugin/run.sh"
    "${CMAKE_COMMAND}" "${CMAKE_BINARY_DIR}" "${CMAKE_CURRENT_BINARY_DIR}/outside_plugin"
    "${CMAKE_INSTALL_PREFIX}" "${CMAKE_INSTALL_FULL_LIBDIR}" "${CMAKE_INSTALL_FULL_INCLUDEDIR}"
    "${PROJECT_VERSION}" "${CMAKE_C_COMPILER}" "${CMAKE_CXX_COMPILER}" "${outside_flags}")
set_tests_properties(install_outside_plugin PROPERTIES TIMEOUT 120
                     ENVIRONMENT "TMPDIR=${CMAKE_CURRENT_BINARY_DIR}/tmp")
