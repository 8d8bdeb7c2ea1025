# SPDX-License-Identifier: MIT
# Installation: the programs, and for plugins built elsewhere the library
# checkkit, the programs' common routines, their headers, a pkg-config file
# and a CMake package. The database code stays private to the programs.
#
# Two components, which the Debian packages follow: `runtime` (the
# programs and everything an operator needs; the default component) and
# `dev` (what a plugin author builds against).
include(CMakePackageConfigHelpers)

install(TARGETS ${KIVREL_PROGRAMS}
        RUNTIME DESTINATION "${CMAKE_INSTALL_LIBEXECDIR}/kivrel-plugins" COMPONENT runtime)

# A stripped installation (cmake --install --strip, and the packages) also
# loses the .comment and .note sections, as Debian's dh_strip does it; the
# static libraries keep their symbols.
# kivrel_strip_comments(COMPONENT FILE...): files relative to the prefix.
function(kivrel_strip_comments component)
  if(NOT CMAKE_OBJCOPY)
    return()
  endif()
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(file ${ARGN})
        execute_process(COMMAND [[${CMAKE_OBJCOPY}]] --remove-section=.comment
          --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\"
          COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()
  " COMPONENT ${component})
endfunction()
list(TRANSFORM KIVREL_PROGRAMS PREPEND "${CMAKE_INSTALL_LIBEXECDIR}/kivrel-plugins/"
     OUTPUT_VARIABLE installed_programs)
kivrel_strip_comments(runtime ${installed_programs})

# ---- Libraries and headers -------------------------------------------------
# Installed beside other libraries, the common routines need a name of their
# own.
set_target_properties(plugin_common PROPERTIES OUTPUT_NAME kivrel-plugin-common)
install(TARGETS checkkit plugin_common
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT dev)
kivrel_strip_comments(dev
  "${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:checkkit>"
  "${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:plugin_common>")

set(KIVREL_HEADER_DIR "${CMAKE_INSTALL_INCLUDEDIR}/kivrel-plugins")
install(FILES
  lib/argmerge.h
  lib/kitcore.h
  lib/kitmount.h
  lib/kitreply.h
  lib/kitrun.h
  plugins/common.h
  plugins/ini_defaults.h
  plugins/plugin_help.h
  plugins/plugin_routines.h
  DESTINATION "${KIVREL_HEADER_DIR}" COMPONENT dev)

# ---- pkg-config --------------------------------------------------------------
# The file names the prefix really installed into, which `cmake --install
# --prefix` or a package generator may choose after configuring; so it is
# written at install time, straight into its destination.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(pc_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(pc_file "${CMAKE_INSTALL_LIBDIR}/pkgconfig/kivrel-plugins.pc")
else()
  set(pc_file "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/kivrel-plugins.pc")
endif()
install(CODE "
  set(PROJECT_VERSION [[${PROJECT_VERSION}]])
  set(KIVREL_PC_LIBDIR [[${pc_LIBDIR}]])
  set(KIVREL_PC_INCLUDEDIR [[${pc_INCLUDEDIR}]])
  set(pc \"\$ENV{DESTDIR}${pc_file}\")
  message(STATUS \"Installing: \${pc}\")
  configure_file([[${CMAKE_CURRENT_LIST_DIR}/kivrel-plugins.pc.in]] \"\${pc}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc}\")
" COMPONENT dev)

# ---- CMake package -----------------------------------------------------------
set(KIVREL_CHECKKIT_FILE
    "${CMAKE_STATIC_LIBRARY_PREFIX}checkkit${CMAKE_STATIC_LIBRARY_SUFFIX}")
set(KIVREL_PLUGIN_COMMON_FILE
    "${CMAKE_STATIC_LIBRARY_PREFIX}kivrel-plugin-common${CMAKE_STATIC_LIBRARY_SUFFIX}")
set(cmake_package_dir "${CMAKE_INSTALL_LIBDIR}/cmake/kivrel-plugins")
configure_package_config_file(cmake/kivrel-pluginsConfig.cmake.in
  "${PROJECT_BINARY_DIR}/kivrel-pluginsConfig.cmake"
  INSTALL_DESTINATION "${cmake_package_dir}"
  PATH_VARS KIVREL_HEADER_DIR CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/kivrel-pluginsConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/kivrel-pluginsConfig.cmake"
  "${PROJECT_BINARY_DIR}/kivrel-pluginsConfigVersion.cmake"
  DESTINATION "${cmake_package_dir}" COMPONENT dev)

# ---- The state directory -----------------------------------------------------
# Checks that keep state between runs (check_dbstatus's rates) run as the
# engine's user, who cannot create a directory in /var/lib. Below this
# directory each user gets one of its own, made 0700 and checked for its
# owner and mode at every use; so the directory itself is open to every
# user, with the sticky bit, as /var/tmp is: each may make its own, none can
# remove or rename another's.
install(DIRECTORY DESTINATION "${KIVREL_STATE_DIR}" COMPONENT runtime)
install(CODE "
  execute_process(COMMAND chmod 1777 \"\$ENV{DESTDIR}${KIVREL_STATE_DIR}\"
                  COMMAND_ERROR_IS_FATAL ANY)
" COMPONENT runtime)
