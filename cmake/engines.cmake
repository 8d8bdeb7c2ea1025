# Command definitions for the monitoring engines, generated so that they name
# the programs where this build installs them:
#   <datadir>/kivrel-plugins/icinga2/kivrel-plugins.conf  Icinga 2 CheckCommands
#   <datadir>/kivrel-plugins/nagios/kivrel-plugins.cfg    Nagios 4 commands
# Neither file is active until the engine's main configuration includes it.
set(KIVREL_ENGINE_PLUGINDIR "${CMAKE_INSTALL_FULL_LIBEXECDIR}/${KIVREL_PACKAGE}")
set(KIVREL_ENGINE_DATADIR "${CMAKE_INSTALL_FULL_DATADIR}/${KIVREL_PACKAGE}")

set(KIVREL_ICINGA2_CONF "${CMAKE_BINARY_DIR}/engines/icinga2/kivrel-plugins.conf")
set(KIVREL_NAGIOS_CFG "${CMAKE_BINARY_DIR}/engines/nagios/kivrel-plugins.cfg")
configure_file(engines/icinga2/kivrel-plugins.conf.in "${KIVREL_ICINGA2_CONF}" @ONLY)
configure_file(engines/nagios/kivrel-plugins.cfg.in "${KIVREL_NAGIOS_CFG}" @ONLY)

install(FILES "${KIVREL_ICINGA2_CONF}"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/${KIVREL_PACKAGE}/icinga2")
install(FILES "${KIVREL_NAGIOS_CFG}"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/${KIVREL_PACKAGE}/nagios")
