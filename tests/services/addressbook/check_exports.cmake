# Fails unless the functions LIBRARY defines for others (its dynamic symbol
# table) are exactly EXPECTED.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(functions)
foreach(line ${lines})
  if(line MATCHES "^[0-9a-fA-F]+ [TtWi] (.+)$")
    list(APPEND functions ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT functions)
if(NOT "${functions}" STREQUAL "${EXPECTED}")
  message(FATAL_ERROR "${LIBRARY} exports functions [${functions}], expected [${EXPECTED}]")
endif()
