# SPDX-License-Identifier: MIT
# Manual pages of the programs, made by help2man from their help
# screens and the texts in packaging/man, and installed gzip-compressed into
# section 8 (the programs are run by the monitoring system, not by users).
find_program(HELP2MAN_EXECUTABLE help2man)
find_program(GZIP_EXECUTABLE gzip)
if(NOT HELP2MAN_EXECUTABLE OR NOT GZIP_EXECUTABLE)
  message(STATUS "help2man or gzip not found: the manual pages are not built")
  return()
endif()
# A sanitizer build's programs report the strings they leave to the process
# exit and end with an error; its pages would be the same as any other's.
if(KIVREL_SANITIZE)
  message(STATUS "sanitizer build: the manual pages are not built")
  return()
endif()

set(KIVREL_MAN_SECTION 8)
set(man_dir "${CMAKE_BINARY_DIR}/man")
set(man_pages)

# One page for each program of KIVREL_PROGRAMS, from packaging/man/PROGRAM.h2m
# (which names the page in its [NAME] section). The pages of the programs
# that connect to a server (those linking db_common) add
# packaging/man/db_common.h2m.in, on option files and the environment (a
# program that keeps data between runs says how in its KIVREL_MAN_STATE
# property); a program's KIVREL_MAN_INCLUDES property names further texts
# of packaging/man, and its KIVREL_HELP2MAN_OPTIONS property further
# options for help2man.
foreach(program IN LISTS KIVREL_PROGRAMS)
  set(includes "${PROJECT_SOURCE_DIR}/packaging/man/${program}.h2m")
  if(NOT EXISTS "${includes}")
    message(FATAL_ERROR "${program} has no manual page text: write packaging/man/${program}.h2m")
  endif()
  get_target_property(libraries ${program} LINK_LIBRARIES)
  if("db_common" IN_LIST libraries)
    set(KIVREL_MAN_PROGRAM ${program})
    get_property(KIVREL_MAN_STATE_USE TARGET ${program} PROPERTY KIVREL_MAN_STATE)
    if(NOT KIVREL_MAN_STATE_USE)
      set(KIVREL_MAN_STATE_USE "${program} keeps no data between runs.")
    endif()
    set(KIVREL_MAN_DOCDIR "${CMAKE_INSTALL_FULL_DOCDIR}")
    set(KIVREL_PLUGIN_INI "${KIVREL_SYSCONFDIR}/${KIVREL_PACKAGE}/plugins.ini")
    configure_file("${PROJECT_SOURCE_DIR}/packaging/man/db_common.h2m.in"
                   "${man_dir}/${program}.db_common.h2m" @ONLY)
    list(APPEND includes "${man_dir}/${program}.db_common.h2m")
  endif()
  # The table a program prints with --mode=list, as a MODES section.
  get_property(modes TARGET ${program} PROPERTY KIVREL_MAN_MODES)
  set(generated)
  if(modes)
    set(generated "${man_dir}/${program}.modes.h2m")
    add_custom_command(OUTPUT "${generated}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${man_dir}"
      COMMAND "${CMAKE_COMMAND}" "-DPROGRAM=$<TARGET_FILE:${program}>" "-DOUTPUT=${generated}"
              -P "${PROJECT_SOURCE_DIR}/cmake/man_modes.cmake"
      DEPENDS ${program} "${PROJECT_SOURCE_DIR}/cmake/man_modes.cmake"
      COMMENT "Listing the modes of ${program} for its manual page"
      VERBATIM)
    list(APPEND includes "${generated}")
  endif()
  # SEE ALSO names every other program of the suite, after what the page's
  # own text names there.
  set(others ${KIVREL_PROGRAMS})
  list(REMOVE_ITEM others ${program})
  list(TRANSFORM others APPEND " (${KIVREL_MAN_SECTION})")
  list(TRANSFORM others PREPEND ".BR ")
  list(JOIN others ",\n" see_also)
  file(WRITE "${man_dir}/${program}.see_also.h2m.new" "[SEE ALSO]\n${see_also}\n")
  configure_file("${man_dir}/${program}.see_also.h2m.new" "${man_dir}/${program}.see_also.h2m" COPYONLY)
  get_property(extra_includes TARGET ${program} PROPERTY KIVREL_MAN_INCLUDES)
  foreach(extra IN LISTS extra_includes)
    list(APPEND includes "${PROJECT_SOURCE_DIR}/packaging/man/${extra}")
  endforeach()
  list(APPEND includes "${man_dir}/${program}.see_also.h2m")
  get_property(options TARGET ${program} PROPERTY KIVREL_HELP2MAN_OPTIONS)
  list(TRANSFORM includes PREPEND "--include=" OUTPUT_VARIABLE include_options)

  set(page "${man_dir}/${program}.${KIVREL_MAN_SECTION}")
  add_custom_command(OUTPUT "${page}.gz"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${man_dir}"
    COMMAND "${HELP2MAN_EXECUTABLE}" --no-info
            --section=${KIVREL_MAN_SECTION}
            --version-string=${PROJECT_VERSION}
            "--source=${KIVREL_PACKAGE} ${PROJECT_VERSION}"
            "--manual=${KIVREL_PACKAGE}"
            ${include_options}
            ${options}
            --output=${page}
            "$<TARGET_FILE:${program}>"
    COMMAND "${GZIP_EXECUTABLE}" -9nf "${page}"
    DEPENDS ${program} ${includes}
    COMMENT "Making the manual page of ${program}"
    VERBATIM)
  list(APPEND man_pages "${page}.gz")
endforeach()

add_custom_target(manpages ALL DEPENDS ${man_pages})
install(FILES ${man_pages}
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man${KIVREL_MAN_SECTION}" COMPONENT runtime)
