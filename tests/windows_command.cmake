# SPDX-License-Identifier: MIT
# The Windows command from outside, run under the emulator (EMULATOR, empty on Windows itself) in
# WORK_DIR with the sample data from DATA:
#  - under a non-ASCII name, the first run writes exactly the checked-in scrambled sample (the
#    bytes that every build writes) and the second restores it; a hidden file stays hidden;
#  - a file whose full path is longer than 260 characters is read and replaced, at a sweep of
#    lengths and of where the 260th character falls;
#  - a file that another program holds open without delete sharing (HOLD_OPEN runs the command
#    while it does so) is refused within a second or two of what starting the programs costs, and
#    left as it was;
#  - a file past 4 GiB is scrambled, at 64-bit offsets, by the 32-bit build as by the 64-bit one
#    (once: not again as AS_USER);
#  - -c writes the scrambled bytes to standard output, leaving the file, and - reads them back;
#    -o writes them to a new file, and over it again;
#  - a missing file or no file fails, and no temporary file is ever left behind.
# With AS_USER (run as root), all of it runs again as that ordinary user: in a folder of its own
# under TMPDIR, with copies of the programs and the data, and a wine prefix of its own.
cmake_minimum_required(VERSION 3.20)

# wine maps file names between Windows and Unix through the locale's character set: outside a
# UTF-8 locale a non-ASCII name reaches the program as another name.
set(ENV{LC_ALL} C.UTF-8)

if(AS_USER)
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT uid EQUAL 0)
    message("skipped: needs root to run as ${AS_USER}")
    return()
  endif()
  # Where the user may reach: the test run keeps wine's own TMPDIR in the build tree.
  set(tmp "$ENV{XORSCRAMBLE_TEST_USER_TMPDIR}")
  if(NOT tmp)
    set(tmp "$ENV{TMPDIR}")
  endif()
  if(NOT tmp)
    set(tmp /tmp)
  endif()
  string(RANDOM LENGTH 12 suffix)
  set(home "${tmp}/xorscramble-windows-${suffix}")
  file(MAKE_DIRECTORY ${home} ${home}/tmp)
  file(COPY ${PROGRAM} ${HOLD_OPEN} ${DATA}/sample.json ${DATA}/sample.json.scrambled
    ${CMAKE_CURRENT_LIST_FILE} DESTINATION ${home})
  execute_process(COMMAND id -g ${AS_USER} OUTPUT_VARIABLE group OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND chown -R ${AS_USER}:${group} ${home})
  get_filename_component(program ${PROGRAM} NAME)
  get_filename_component(hold_open ${HOLD_OPEN} NAME)
  execute_process(
    COMMAND setpriv --reuid=${AS_USER} --regid=${group} --clear-groups
      env HOME=${home} WINEPREFIX=${home}/wine-prefix TMPDIR=${home}/tmp
      XDG_CACHE_HOME=${home}/.cache XDG_CONFIG_HOME=${home}/.config
      XDG_DATA_HOME=${home}/.local/share WINEDLLOVERRIDES=winemenubuilder.exe=d
      ${CMAKE_COMMAND} -DEMULATOR=${EMULATOR} -DPROGRAM=${home}/${program}
      -DHOLD_OPEN=${home}/${hold_open} -DDATA=${home}
      -DWORK_DIR=${home}/work -DONCE_DONE=ON -P ${home}/windows_command.cmake
    RESULT_VARIABLE got)
  # Its wine server saves the prefix as it goes: it is waited for before the home is removed.
  get_filename_component(wine_dir "${EMULATOR}" DIRECTORY)
  execute_process(COMMAND setpriv --reuid=${AS_USER} --regid=${group} --clear-groups
    env WINEPREFIX=${home}/wine-prefix TMPDIR=${home}/tmp ${wine_dir}/wineserver -w)
  file(REMOVE_RECURSE ${home})
  if(NOT got EQUAL 0)
    message(FATAL_ERROR "as ${AS_USER}: exit status ${got}")
  endif()
  return()
endif()

# Runs the command with ARGN; the exit status must be `status` and, if given, the error output
# `message`.
function(expect_run status message)
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGN} WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE got ERROR_VARIABLE err)
  if(NOT got EQUAL status)
    message(FATAL_ERROR "${ARGN}: exit status ${got}, expected ${status}: ${err}")
  endif()
  if(NOT message STREQUAL "" AND NOT err STREQUAL message)
    message(FATAL_ERROR "${ARGN}: said\n${err}instead of\n${message}")
  endif()
endfunction()

function(expect_same file expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${file} ${expected}
    RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${file} differs from ${expected}")
  endif()
endfunction()

function(expect_hidden file)
  execute_process(COMMAND ${EMULATOR} attrib ${file} WORKING_DIRECTORY ${WORK_DIR}
    OUTPUT_VARIABLE attributes)
  string(FIND "${attributes}" "H" at)
  if(at LESS 0 OR at GREATER 10)
    message(FATAL_ERROR "${file} is no longer hidden: ${attributes}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

set(name "prøve-æøå.json")
file(COPY_FILE ${DATA}/sample.json ${WORK_DIR}/${name})
execute_process(COMMAND ${EMULATOR} attrib +h ${name} WORKING_DIRECTORY ${WORK_DIR})
expect_run(0 "" ${name})
expect_same(${WORK_DIR}/${name} ${DATA}/sample.json.scrambled)
expect_hidden(${name})
expect_run(0 "" ${name})
expect_same(${WORK_DIR}/${name} ${DATA}/sample.json)

# -c writes the scrambled bytes out and leaves the file; "-" reads them back from standard input.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} -c ${name} WORKING_DIRECTORY ${WORK_DIR}
  OUTPUT_FILE ${WORK_DIR}/out.json RESULT_VARIABLE got)
execute_process(COMMAND ${EMULATOR} ${PROGRAM} - WORKING_DIRECTORY ${WORK_DIR}
  INPUT_FILE ${WORK_DIR}/out.json OUTPUT_FILE ${WORK_DIR}/back.json RESULT_VARIABLE got_back)
if(NOT got EQUAL 0 OR NOT got_back EQUAL 0)
  message(FATAL_ERROR "-c and -: exit status ${got} and ${got_back}")
endif()
expect_same(${WORK_DIR}/out.json ${DATA}/sample.json.scrambled)
expect_same(${WORK_DIR}/back.json ${DATA}/sample.json)
expect_same(${WORK_DIR}/${name} ${DATA}/sample.json)
file(REMOVE ${WORK_DIR}/out.json ${WORK_DIR}/back.json)
# -o makes a scrambled copy, and replaces it the second time, the file left as it was.
foreach(round new existing)
  expect_run(0 "" -o copy.json ${name})
  expect_same(${WORK_DIR}/copy.json ${DATA}/sample.json.scrambled)
endforeach()
expect_same(${WORK_DIR}/${name} ${DATA}/sample.json)
file(REMOVE ${WORK_DIR}/copy.json)

# Long paths, wherever the work folder is: the full path that the program works with
# ("\\?\" and, under wine, "Z:" before the work folder) is made to end its first folder at lengths
# from 240 to 262 characters, every one where the first 259 characters end in or just past it
# (wine's ReplaceFileW wrote past a buffer of its own there), and to be 250 to 1,000 long.
string(LENGTH "${WORK_DIR}" work_length)
if(WORK_DIR MATCHES "^/")
  math(EXPR base "6 + ${work_length}")
else()
  math(EXPR base "4 + ${work_length}")
endif()
function(expect_long folder_length total)
  math(EXPR first "${folder_length} - ${base} - 1")
  if(first LESS 1)
    return()  # the work folder alone is longer
  endif()
  string(REPEAT "d" ${first} rel)
  set(length ${folder_length})
  math(EXPR rest "${total} - ${length} - 1")
  while(rest GREATER 200)
    string(REPEAT "e" 150 next)
    set(rel "${rel}/${next}")
    math(EXPR length "${length} + 151")
    math(EXPR rest "${total} - ${length} - 1")
  endwhile()
  string(REPEAT "f" ${rest} name)
  file(MAKE_DIRECTORY ${WORK_DIR}/${rel})
  file(COPY_FILE ${DATA}/sample.json ${WORK_DIR}/${rel}/${name})
  string(REPLACE "/" "\\" rel_windows "${rel}")
  expect_run(0 "" ${rel_windows}\\${name})
  expect_same(${WORK_DIR}/${rel}/${name} ${DATA}/sample.json.scrambled)
  file(GLOB left ${WORK_DIR}/${rel}/*)
  list(LENGTH left count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "a path of ${total} characters, its first folder ${folder_length}: "
      "files left behind: ${left}")
  endif()
  string(REGEX REPLACE "/.*" "" top "${rel}")
  file(REMOVE_RECURSE ${WORK_DIR}/${top})
endfunction()
foreach(folder_length 240 244 246 247 248 249 250 251 252 254 256 257 258 259 262)
  expect_long(${folder_length} 366)
endforeach()
foreach(total 250 500 1000)
  math(EXPR folder_length "${total} - 20")
  if(folder_length GREATER 246)
    set(folder_length 246)
  endif()
  expect_long(${folder_length} ${total})
endforeach()

# Starting two programs under an emulator takes seconds of its own, more while a new prefix
# settles: the refusal is timed against the same two programs started to do nothing with the file.
file(COPY_FILE ${DATA}/sample.json ${WORK_DIR}/held.json)
string(TIMESTAMP start "%s")
execute_process(COMMAND ${EMULATOR} ${HOLD_OPEN} held.json ${PROGRAM} --version
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE got OUTPUT_QUIET)
string(TIMESTAMP middle "%s")
if(NOT got EQUAL 0)
  message(FATAL_ERROR "hold_open with xorscramble --version: exit status ${got}")
endif()
execute_process(COMMAND ${EMULATOR} ${HOLD_OPEN} held.json ${PROGRAM} held.json
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE got ERROR_VARIABLE err)
string(TIMESTAMP end "%s")
if(NOT got EQUAL 1 OR NOT err STREQUAL "xorscramble: held.json: in use by another program; left as it was\n")
  message(FATAL_ERROR "a file held open: exit status ${got}: ${err}")
endif()
# Whole seconds on both sides: up to 2 s of the difference is rounding.
math(EXPR seconds "(${end} - ${middle}) - (${middle} - ${start})")
if(seconds GREATER 3)
  message(FATAL_ERROR "a file held open: refused only ${seconds} s later than a run that does nothing")
endif()
expect_same(${WORK_DIR}/held.json ${DATA}/sample.json)

# A file past 4 GiB, sparse so that it needs no disk space to make, is read and written in pieces
# at 64-bit offsets: its bytes past 4 GiB are scrambled in the key's phase there, the same as
# the bytes at the same phase at its start. Half a minute under wine: once, not again as AS_USER
# (ONCE_DONE), whom it would tell nothing more.
find_program(TRUNCATE truncate)
if(TRUNCATE AND NOT ONCE_DONE)
  execute_process(COMMAND ${TRUNCATE} -s 4294967301 ${WORK_DIR}/huge.json)
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} huge.json WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE got ERROR_VARIABLE err)
  if(NOT got EQUAL 0)
    message(FATAL_ERROR "a file past 4 GiB: exit status ${got}: ${err}")
  endif()
  file(SIZE ${WORK_DIR}/huge.json size)
  file(READ ${WORK_DIR}/huge.json start OFFSET 1 LIMIT 3 HEX)
  file(READ ${WORK_DIR}/huge.json past OFFSET 4294967296 LIMIT 3 HEX)
  file(REMOVE ${WORK_DIR}/huge.json)
  if(NOT size EQUAL 4294967301 OR NOT past STREQUAL start OR start STREQUAL "000000")
    message(FATAL_ERROR "a file past 4 GiB: size ${size}, bytes ${start} at 1, ${past} at 4 GiB")
  endif()
endif()

expect_run(1 "xorscramble: Get data from file(missing.json) failed! (No such file or directory)\n"
  missing.json)
expect_run(2 "xorscramble: missing file operand\nTry 'xorscramble --help' for more information.\n")

file(GLOB left ${WORK_DIR}/*)
list(LENGTH left count)
if(NOT count EQUAL 2)
  message(FATAL_ERROR "files left behind: ${left}")
endif()
