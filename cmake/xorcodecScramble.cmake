# SPDX-License-Identifier: MIT
# xorcodec_scramble(OUTPUT <out> INPUT <in> [DEPENDS <file or target>...])
#
# Adds a custom command that writes <out>, the bytes of <in> scrambled (or restored) with the
# built-in key, by running `xorscramble -o <out> -- <in>`: a project ships scrambled data built
# from its plain sources, and rebuilds it when they change. Relative paths are taken from the
# current source folder (<in>) and binary folder (<out>), as add_custom_command takes them. Add a
# target that depends on <out> for it to be built:
#
#   xorcodec_scramble(OUTPUT shipped.json INPUT data/plain.json)
#   add_custom_target(data ALL DEPENDS shipped.json)
#
# The command is the target xorcodec::xorscramble: the one installed beside the CMake package, or,
# in a project that adds this one with add_subdirectory, the one it builds.
function(xorcodec_scramble)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUTPUT;INPUT" "DEPENDS")
  if(NOT arg_OUTPUT OR NOT arg_INPUT OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "usage: xorcodec_scramble(OUTPUT <out> INPUT <in> [DEPENDS ...])")
  endif()
  if(NOT TARGET xorcodec::xorscramble)
    message(FATAL_ERROR "xorcodec_scramble: no xorcodec::xorscramble here (the package was built "
      "without the command, or XORCODEC_BUILD_TOOL is OFF)")
  endif()
  get_filename_component(in "${arg_INPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(out "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  file(RELATIVE_PATH shown "${CMAKE_BINARY_DIR}" "${out}")
  get_filename_component(out_dir "${out}" DIRECTORY)
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${out_dir}"
    COMMAND xorcodec::xorscramble -o "${out}" -- "${in}"
    DEPENDS "${in}" xorcodec::xorscramble ${arg_DEPENDS}
    COMMENT "Scrambling ${shown}"
    VERBATIM)
endfunction()
