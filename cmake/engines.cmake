# SPDX-License-Identifier: MIT
# Command definitions for the monitoring engines, generated so that they name
# the programs where this build installs them:
#   <datadir>/kivrel-plugins/engines/objects.conf  CheckCommand objects
#   <datadir>/kivrel-plugins/engines/commands.cfg  "define command" blocks
# and the CheckCommand objects once more as
#   <datadir>/icinga2/include/plugins-contrib.d/kivrel-plugins.conf
# the folder of contributed commands that the object engine reads through
# `include <plugins-contrib>` (its include directory is <datadir>/icinga2/include
# when both share the prefix, as in the package).
# Neither file is active until the engine's main configuration includes it.
set(KIVREL_ENGINE_PLUGINDIR "${CMAKE_INSTALL_FULL_LIBEXECDIR}/${KIVREL_PACKAGE}")
set(KIVREL_ENGINE_DATADIR "${CMAKE_INSTALL_FULL_DATADIR}/${KIVREL_PACKAGE}/engines")
set(KIVREL_ENGINE_CONTRIB_SUBDIR "icinga2/include/plugins-contrib.d")
set(KIVREL_ENGINE_CONTRIBDIR "${CMAKE_INSTALL_FULL_DATADIR}/${KIVREL_ENGINE_CONTRIB_SUBDIR}")

foreach(definitions objects.conf commands.cfg)
  configure_file("engines/${definitions}.in" "${CMAKE_BINARY_DIR}/engines/${definitions}" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/engines/${definitions}"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/${KIVREL_PACKAGE}/engines")
endforeach()
install(FILES "${CMAKE_BINARY_DIR}/engines/objects.conf"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/${KIVREL_ENGINE_CONTRIB_SUBDIR}"
        RENAME "${KIVREL_PACKAGE}.conf")
