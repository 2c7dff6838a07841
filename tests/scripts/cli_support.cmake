cmake_minimum_required(VERSION 3.20)
# Shared by the keldra program's tests: run(EXPECTED_RC ARGS...) runs the
# program, sets `out` and `err`, and fails on another exit status ("nonzero":
# any failure) and always on a signal (status 128 and above, or a name).
function(run expect_rc)
  execute_process(COMMAND ${KELDRA} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT rc MATCHES "^[0-9]+$" OR rc GREATER_EQUAL 128)
    message(FATAL_ERROR "keldra ${ARGN}: ended by a signal (${rc})\n${err}")
  endif()
  if(expect_rc STREQUAL "nonzero")
    if(rc EQUAL 0)
      message(FATAL_ERROR "keldra ${ARGN}: expected failure, got success\n${out}")
    endif()
  elseif(NOT rc EQUAL expect_rc)
    message(FATAL_ERROR "keldra ${ARGN}: exit ${rc}, expected ${expect_rc}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  set(rc "${rc}" PARENT_SCOPE)
endfunction()

# Fails unless `text` matches every regular expression given.
function(expect text)
  foreach(re ${ARGN})
    if(NOT text MATCHES "${re}")
      message(FATAL_ERROR "expected /${re}/ in:\n${text}")
    endif()
  endforeach()
endfunction()
