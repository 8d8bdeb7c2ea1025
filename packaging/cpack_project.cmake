# SPDX-License-Identifier: MIT
# Read by cpack for each generator it runs.
# A package for /usr made from a tree configured for another prefix would look
# for its catalogues and configuration where it installs none.
if(CPACK_GENERATOR STREQUAL "DEB"
   AND NOT CPACK_KIVREL_CONFIGURED_PREFIX STREQUAL CPACK_PACKAGING_INSTALL_PREFIX)
  message(FATAL_ERROR
    "the build is configured for ${CPACK_KIVREL_CONFIGURED_PREFIX}; configure it "
    "with -DCMAKE_INSTALL_PREFIX=${CPACK_PACKAGING_INSTALL_PREFIX} to make the package")
endif()
