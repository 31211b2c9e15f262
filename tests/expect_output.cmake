# SPDX-License-Identifier: MIT
# Runs RUN (a program and its arguments); it must exit 0 and print exactly EXPECTED and a newline.
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND ${RUN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT out STREQUAL "${EXPECTED}\n")
  message(FATAL_ERROR "exit status ${status}, printed\n${out}${err}instead of\n${EXPECTED}")
endif()
