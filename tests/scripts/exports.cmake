# The library's dynamic symbols and the functions of the public header are
# the same set: every export starts with kd_ and is declared in HEADER, and
# every declared function is exported unless it is still pending below.
#   cmake -DLIB=libkeldra.so -DHEADER=keldra.h [-DEXTRA_DECLARED=name] -P exports.cmake

cmake_minimum_required(VERSION 3.20)

# Declared but not yet defined, as of 2026-12-07. A name leaves this list
# when its function lands; the test fails while a defined name stays here.
set(pending)

execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(exported "")
foreach(line ${lines})
  if(line MATCHES "^[0-9a-f]+ [A-Za-z] (.+)$")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()

file(READ ${HEADER} header)
string(REGEX MATCHALL "KD_API[^;(]* \\**(kd_[a-z0-9_]+)\\(" decls "${header}")
set(declared ${EXTRA_DECLARED})
foreach(d ${decls})
  string(REGEX REPLACE ".*(kd_[a-z0-9_]+)\\($" "\\1" name "${d}")
  list(APPEND declared ${name})
endforeach()
list(LENGTH declared declaredCount)
if(declaredCount LESS 20)
  message(FATAL_ERROR "only ${declaredCount} functions found in ${HEADER}")
endif()

set(problems "")
foreach(sym ${exported})
  if(NOT sym IN_LIST declared)
    string(APPEND problems "exported but not declared in the header: ${sym}\n")
  endif()
endforeach()
foreach(name ${declared})
  if(name IN_LIST exported AND name IN_LIST pending)
    string(APPEND problems "defined now, remove from the pending list: ${name}\n")
  elseif(NOT name IN_LIST exported AND NOT name IN_LIST pending)
    string(APPEND problems "declared but not exported: ${name}\n")
  endif()
endforeach()
foreach(name ${pending})
  if(NOT name IN_LIST declared)
    string(APPEND problems "pending but not declared: ${name}\n")
  endif()
endforeach()
if(problems)
  message(FATAL_ERROR "${problems}")
endif()
list(LENGTH exported count)
list(LENGTH pending pendingCount)
message(STATUS "${count} exported symbols, all declared; ${pendingCount} declared functions pending")
