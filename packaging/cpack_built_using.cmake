# SPDX-License-Identifier: MIT
# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS):
# CPack knows no Built-Using fields, so the runtime package is unpacked,
# given them, and packed again with dpkg-deb. Built-Using names the sources
# whose licence asks that they be kept (the LGPL client library);
# Static-Built-Using every source linked in, for rebuilds after their
# security fixes.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND "${DPKG_DEB}" --field "${deb}" Package
    OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  if(NOT package STREQUAL CPACK_KIVREL_RUNTIME_PACKAGE)
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND "${DPKG_DEB}" --raw-extract "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${tree}/DEBIAN/control" control)
  set(fields "")
  if(CPACK_KIVREL_BUILT_USING)
    string(APPEND fields "Built-Using: ${CPACK_KIVREL_BUILT_USING}\n")
  endif()
  string(APPEND fields "Static-Built-Using: ${CPACK_KIVREL_STATIC_BUILT_USING}\n")
  # Before the description, which ends the paragraph.
  string(REGEX REPLACE "\nDescription:" "\n${fields}Description:" control "${control}")
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  execute_process(COMMAND "${DPKG_DEB}" --root-owner-group --build "${tree}" "${deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
  message(STATUS "Built-Using fields added to ${deb}")
endforeach()
