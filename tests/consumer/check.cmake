# SPDX-License-Identifier: MIT
# Installs the build tree into a fresh prefix (or, with INSTALLED=ON, takes what is installed on
# the system, as from the Debian package) and builds the consumer against it, found either as a
# CMake package (MODE=cmake) or through pkg-config (MODE=pkg-config), then runs it; with CMake,
# the data it ships scrambled must be the checked-in scrambled sample. MODE=subdirectory builds
# the consumer with this source tree added to it instead, nothing installed.
# Variables: BUILD_DIR (unless INSTALLED), SOURCE_DIR, WORK_DIR, MODE, CXX, CXX_FLAGS, LINK_FLAGS,
# and WITH_TOOL where the package holds the command (which then ships the data).
cmake_minimum_required(VERSION 3.20)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " line "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${line}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
if(INSTALLED OR MODE STREQUAL "subdirectory")
  set(prefix "")
else()
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endif()
if(NOT CXX)
  set(CXX c++)
endif()
set(data ${SOURCE_DIR}/tests/data)
set(consumer ${SOURCE_DIR}/tests/consumer)

if(MODE MATCHES "^(cmake|subdirectory)$")
  set(source "")
  if(MODE STREQUAL "subdirectory")
    set(source -DXORCODEC_SOURCE_DIR=${SOURCE_DIR})
  endif()
  run(${CMAKE_COMMAND} -S ${consumer} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
      "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}" -DXORCODEC_PLAIN=${data}/sample.json ${source})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
  set(program ${WORK_DIR}/build/consumer)
  if(WITH_TOOL OR MODE STREQUAL "subdirectory")
    run(${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/build/shipped/sample.json
        ${data}/sample.json.scrambled)
  endif()
else()
  if(prefix)
    file(GLOB_RECURSE pc_files ${prefix}/*/xorcodec.pc)
    list(GET pc_files 0 pc_file)
    get_filename_component(pc_dir ${pc_file} DIRECTORY)
    set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  endif()
  execute_process(COMMAND pkg-config --cflags --libs xorcodec
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "pkg-config does not find xorcodec (${pc_dir})")
  endif()
  # Plain paths, where the prefix is: never ".." in them.
  if(flags MATCHES "\\.\\.")
    message(FATAL_ERROR "pkg-config gives paths that are not plain: ${flags}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags} ${CXX_FLAGS} ${LINK_FLAGS}")
  set(program ${WORK_DIR}/consumer)
  run(${CXX} -std=c++17 ${consumer}/consumer.cpp -o ${program} ${flags})
  # A shared library in a prefix of its own is found as its users there find it (CMake's build
  # records where it is; a pkg-config build does not).
  if(prefix)
    set(ENV{LD_LIBRARY_PATH} ${pc_dir}/..)
  endif()
endif()

run(${program} ${data}/sample.json.scrambled ${data}/sample.json)
