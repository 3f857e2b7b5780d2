# cmake -DLIBRARY=path -P check_exports.cmake
# Fails unless the library's dynamic symbol table defines exactly the six
# calls of the public header.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
set(expected UPSClose UPSOpen UPSRead UPSReadWrite UPSWrite _Z12UPSIoControlPvjS_jPj)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exports differ\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "exports: ${found}")

# The soname is what programs linked against the library ask for at run time.
execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[libZqUps\\.so\\]")
  message(FATAL_ERROR "the soname of ${LIBRARY} is not libZqUps.so")
endif()
