# Writes OUTPUT, a header with the revision and date of the commit checked out at
# SOURCE_DIR, for the daemon's version text. Run at every build (cmake -P), it rewrites the
# header only when they change, so a rebuild of the same commit gives the same bytes. Outside
# a git checkout of this tree, or without git (GIT_EXECUTABLE empty or missing), the texts
# of the last release stand.
#   cmake -DSOURCE_DIR=... -DOUTPUT=... [-DGIT_EXECUTABLE=...] -P version.cmake
cmake_minimum_required(VERSION 3.25)
set(revision "889249d")
set(date "2026-06-23")

if(GIT_EXECUTABLE AND EXISTS "${GIT_EXECUTABLE}")
  # Only the tree's own checkout counts, not one that merely contains it.
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                  RESULT_VARIABLE top_result OUTPUT_VARIABLE top
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  file(REAL_PATH "${SOURCE_DIR}" source_real)
  if(top_result EQUAL 0)
    file(REAL_PATH "${top}" top)
  endif()
  if(top_result EQUAL 0 AND top STREQUAL source_real)
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" log -1 --format=%H%n%cd --date=short
                    RESULT_VARIABLE log_result OUTPUT_VARIABLE log
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    # The full hash cut to seven characters: %h may grow longer to stay unique, and the
    # version text has room for seven.
    if(log_result EQUAL 0 AND log MATCHES "^([0-9a-f]+)\n([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])$")
      set(date "${CMAKE_MATCH_2}")
      string(SUBSTRING "${CMAKE_MATCH_1}" 0 7 revision)
    endif()
  endif()
endif()

file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "// Generated at build time from the checked-out commit; do not edit.
#pragma once
#define TESMAR_VERSION_GIT \"@revision@\"
#define TESMAR_VERSION_DATE \"@date@\"
" @ONLY)
