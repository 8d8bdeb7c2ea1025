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

# kivrel_manpage(PROGRAM SUMMARY [help2man option...])
function(kivrel_manpage program summary)
  set(include "${PROJECT_SOURCE_DIR}/packaging/man/${program}.h2m")
  set(page "${man_dir}/${program}.${KIVREL_MAN_SECTION}")
  add_custom_command(OUTPUT "${page}.gz"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${man_dir}"
    COMMAND "${HELP2MAN_EXECUTABLE}" --no-info
            --section=${KIVREL_MAN_SECTION}
            --version-string=${PROJECT_VERSION}
            "--source=${KIVREL_PACKAGE} ${PROJECT_VERSION}"
            "--manual=${KIVREL_PACKAGE}"
            "--name=${summary}"
            "--include=${include}"
            ${ARGN}
            --output=${page}
            "$<TARGET_FILE:${program}>"
    COMMAND "${GZIP_EXECUTABLE}" -9nf "${page}"
    DEPENDS ${program} "${include}"
    COMMENT "Making the manual page of ${program}"
    VERBATIM)
  set(man_pages ${man_pages} "${page}.gz" PARENT_SCOPE)
endfunction()

kivrel_manpage(check_dbhealth "check a MySQL or MariaDB server and its replication")
kivrel_manpage(check_dbquery "check the result of an SQL query against ranges")
kivrel_manpage(check_dbstatus "check a MySQL or MariaDB server's rates, ratios and headroom")
kivrel_manpage(check_dbreplica "check every replication channel of a MySQL or MariaDB replica")
kivrel_manpage(check_dbcluster "check a node of a Galera cluster")
# check_sysinfo knows -h but no --help, and no version option at all.
kivrel_manpage(check_sysinfo "print one item of system information" --help-option=-h)

add_custom_target(manpages ALL DEPENDS ${man_pages})
install(FILES ${man_pages}
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man${KIVREL_MAN_SECTION}")
