# SPDX-License-Identifier: MIT
# The committed message template is the one the sources give today (run by
# ctest as po_template_current), and every source that holds a message is
# among those the template is made from.
#   XGETTEXT_CMD  the xgettext command line of the pot target, "|"-separated
#   SOURCES       the sources it reads, "|"-separated
#   SOURCE_DIRS   the folders whose sources may hold messages, "|"-separated
#   TEMPLATE, WORK
cmake_minimum_required(VERSION 3.16)
string(REPLACE "|" ";" cmd "${XGETTEXT_CMD}")
string(REPLACE "|" ";" sources "${SOURCES}")
string(REPLACE "|" ";" dirs "${SOURCE_DIRS}")

set(missing)
foreach(dir IN LISTS dirs)
  file(GLOB candidates "${dir}/*.cc" "${dir}/*.h")
  foreach(file IN LISTS candidates)
    file(STRINGS "${file}" marked REGEX "(^|[^A-Za-z0-9_])(N?_|n?gettext|dcgettext)\\(\"")
    if(marked AND NOT file IN_LIST sources)
      list(APPEND missing "${file}")
    endif()
  endforeach()
endforeach()
if(missing)
  list(JOIN missing "\n  " text)
  message(FATAL_ERROR "sources with messages that the template leaves out "
                      "(add them to KIVREL_PO_SOURCES):\n  ${text}")
endif()

list(GET cmd 0 xgettext)
get_filename_component(tool_dir "${xgettext}" DIRECTORY)
find_program(MSGCAT msgcat HINTS "${tool_dir}" REQUIRED)
set(fresh "${WORK}/template_fresh.pot")
execute_process(COMMAND ${cmd} -o "${fresh}" ${sources} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "xgettext failed")
endif()
# Compared without the creation date and in one order and line width.
foreach(which fresh committed)
  if(which STREQUAL "fresh")
    set(input "${fresh}")
  else()
    set(input "${TEMPLATE}")
  endif()
  execute_process(COMMAND "${MSGCAT}" --sort-output --no-wrap --no-location "${input}"
    OUTPUT_VARIABLE ${which} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "msgcat cannot read ${input}")
  endif()
  string(REGEX REPLACE "\"POT-Creation-Date: [^\"]*\"" "" ${which} "${${which}}")
endforeach()
if(NOT fresh STREQUAL committed)
  message(FATAL_ERROR "${TEMPLATE} is stale: regenerate it with "
                      "cmake --build <build folder> --target pot")
endif()
message(STATUS "the template holds exactly the messages of the sources")
