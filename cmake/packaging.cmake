# The Debian package, made by CPack from what `cmake --install` installs:
#
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release
#   cmake --build build-deb && (cd build-deb && cpack)
#
# The catalogue, configuration and state directories are fixed when the tree
# is configured, so the package is made only from a tree configured for /usr.

# Debian keeps a copyright file and a changelog beside each package's
# documentation; both belong to any installation.
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}")
find_program(GZIP_EXECUTABLE gzip)
if(GZIP_EXECUTABLE)
  set(changelog "${CMAKE_BINARY_DIR}/changelog.gz")
  # -n leaves out the name and time stamp, so the file is the same each time.
  add_custom_command(OUTPUT "${changelog}"
    COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/packaging/changelog"
            "${CMAKE_BINARY_DIR}/changelog"
    COMMAND "${GZIP_EXECUTABLE}" -9nf "${CMAKE_BINARY_DIR}/changelog"
    DEPENDS "${PROJECT_SOURCE_DIR}/packaging/changelog"
    COMMENT "Compressing the changelog"
    VERBATIM)
  add_custom_target(changelog ALL DEPENDS "${changelog}")
else()
  set(changelog "${PROJECT_SOURCE_DIR}/packaging/changelog")
endif()
install(FILES "${changelog}" DESTINATION "${CMAKE_INSTALL_DOCDIR}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${KIVREL_PACKAGE}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "kivrel-plugins developers")
set(CPACK_PACKAGE_CONTACT "kivrel-plugins developers <devel@kivrel-plugins.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitoring checks for MySQL and MariaDB servers")
set(CPACK_PACKAGE_DESCRIPTION
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
  "The package also holds checkkit, the static support library that the\n"
  "checks are built on, for building further plugins.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})

set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Absolute destinations (the catalogue directory) go under the staging
# directory too, not into the building machine's /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.kivrel-plugins.org/")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# Depends is worked out by dpkg-shlibdeps from the libraries the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_KIVREL_CONFIGURED_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/cpack_project.cmake")

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

include(CPack)
