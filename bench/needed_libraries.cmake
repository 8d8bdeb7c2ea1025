# SPDX-License-Identifier: MIT
# cmake -DREADELF=... -DPROGRAM=FILE -DOUTPUT=FILE -P needed_libraries.cmake
#
# Write a linker script that names the shared libraries PROGRAM was linked
# to, in its order, so that a floor linked with it loads and binds at start
# what its program does.
execute_process(COMMAND "${READELF}" -d "${PROGRAM}" OUTPUT_VARIABLE dynamic
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${READELF} -d ${PROGRAM} failed")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" entries "${dynamic}")
set(inputs)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".*\\[(.*)\\]" "-l:\\1" input "${entry}")
  string(APPEND inputs " ${input}")
endforeach()
file(WRITE "${OUTPUT}" "/* The shared libraries of ${PROGRAM}. */\nINPUT(${inputs} )\n")
