# SPDX-License-Identifier: MIT
# Runs one program and checks both its exit status and its output (ctest's own
# PASS_REGULAR_EXPRESSION ignores the exit status).
#
# Usage: cmake -DPROGRAM=<path> -DEXPECTATIONS=<file> [-DEMULATOR=<runner>]
#              -P run_and_match.cmake
# EMULATOR runs a program built for another system (Wine for a Windows build).
#
# The expectations file sets:
#   ARGS            arguments for the program (a list)
#   EXIT_CODE       the exit status the program must end with
#   CONTAINS        texts the combined stdout and stderr must contain, literally
#   NOT_CONTAINS    texts they must not contain
#   MATCHES         regular expressions they must match
#   SKIP_IF_EXISTS  a path; when it exists the program is not run and the script
#                   prints "run_and_match: skipped" (pair it with the test property
#                   SKIP_REGULAR_EXPRESSION)
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED PROGRAM OR NOT DEFINED EXPECTATIONS)
  message(FATAL_ERROR "run_and_match: PROGRAM and EXPECTATIONS must be given")
endif()

set(ARGS "")
set(EXIT_CODE 0)
set(CONTAINS "")
set(NOT_CONTAINS "")
set(MATCHES "")
set(SKIP_IF_EXISTS "")
include("${EXPECTATIONS}")

if(NOT SKIP_IF_EXISTS STREQUAL "" AND EXISTS "${SKIP_IF_EXISTS}")
  message("run_and_match: skipped: ${SKIP_IF_EXISTS} exists")
  return()
endif()

execute_process(
  COMMAND ${EMULATOR} "${PROGRAM}" ${ARGS}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
message("${output}")

set(problems "")
if(NOT status STREQUAL "${EXIT_CODE}")
  string(APPEND problems "\n  exit status ${status}, expected ${EXIT_CODE}")
endif()
foreach(text IN LISTS CONTAINS)
  string(FIND "${output}" "${text}" at)
  if(at EQUAL -1)
    string(APPEND problems "\n  output lacks: ${text}")
  endif()
endforeach()
foreach(text IN LISTS NOT_CONTAINS)
  string(FIND "${output}" "${text}" at)
  if(NOT at EQUAL -1)
    string(APPEND problems "\n  output has, but must not: ${text}")
  endif()
endforeach()
foreach(pattern IN LISTS MATCHES)
  if(NOT output MATCHES "${pattern}")
    string(APPEND problems "\n  output does not match: ${pattern}")
  endif()
endforeach()

if(NOT problems STREQUAL "")
  message(FATAL_ERROR "run_and_match: ${PROGRAM} ${ARGS}${problems}")
endif()
