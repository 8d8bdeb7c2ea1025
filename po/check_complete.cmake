# SPDX-License-Identifier: MIT
# Extract the messages of the sources afresh and require that every
# catalogue translates all of them (run by ctest as po_complete).
string(REPLACE "|" ";" sources "${SOURCES}")
string(REPLACE "|" ";" linguas "${LINGUAS}")
get_filename_component(msgcmp_dir "${XGETTEXT}" DIRECTORY)
find_program(MSGCMP msgcmp HINTS "${msgcmp_dir}" REQUIRED)
set(fresh "${WORK}/fresh.pot")
execute_process(
  COMMAND "${XGETTEXT}" --language=C++ --keyword=_ --keyword=N_ --from-code=UTF-8
          --no-location -o "${fresh}" ${sources}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "xgettext failed")
endif()
file(READ "${fresh}" template)
foreach(lang IN LISTS linguas)
  # msgcmp fails when a message of the sources is missing or untranslated.
  execute_process(COMMAND "${MSGCMP}" "${PO_DIR}/${lang}.po" "${fresh}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${lang}.po lacks translations of messages in the sources")
  endif()
  # Argument placeholders stay as the sources write them, as in the option
  # lines that are not translated: "--port=INTEGER" in every language.
  file(STRINGS "${PO_DIR}/${lang}.po" options REGEX "--[a-z-]+=[^ \\\"]")
  foreach(line IN LISTS options)
    string(REGEX MATCHALL "--[a-z-]+=[^ \\\",;)]+" found "${line}")
    foreach(option IN LISTS found)
      string(FIND "${template}" "${option}" at)
      if(at EQUAL -1)
        message(FATAL_ERROR "${lang}.po translates a placeholder: ${option}")
      endif()
    endforeach()
  endforeach()
endforeach()
message(STATUS "every catalogue translates every message")
