# Runs the Windows command (RUN: the emulator, if any, and the program) on a copy of the sample
# under a non-ASCII name: the first run must write exactly the bytes that the checked-in
# scrambled sample holds, the same as on every other system, and the second must restore it.
cmake_minimum_required(VERSION 3.20)

function(expect_run status)
  execute_process(COMMAND ${RUN} ${ARGN} WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE got
    ERROR_VARIABLE err)
  if(NOT got EQUAL status)
    message(FATAL_ERROR "exit status ${got}, expected ${status}: ${err}")
  endif()
endfunction()

function(expect_same file expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${file} ${expected}
    RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${file} differs from ${expected}")
  endif()
endfunction()

set(name "prøve-æøå.json")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(COPY_FILE ${DATA}/sample.json ${WORK_DIR}/${name})

expect_run(0 ${name})
expect_same(${WORK_DIR}/${name} ${DATA}/sample.json.scrambled)
expect_run(0 ${name})
expect_same(${WORK_DIR}/${name} ${DATA}/sample.json)
expect_run(1 missing.json)
expect_run(2)

file(GLOB left ${WORK_DIR}/*)
list(LENGTH left count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "files left behind: ${left}")
endif()
