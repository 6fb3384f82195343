# SPDX-License-Identifier: MIT
# Runs `marrowvane-dat cat ARCHIVE ID ID ...` into a pipe whose reader ends at once, as
# `| head -c0` would, and checks that the tool stops quietly: status 1, nothing on
# standard error.
#
# Usage: cmake -DPROGRAM=<tool> -DARCHIVE=<archive> -DID=<file id> [-DEMULATOR=<runner>]
#              -P closed_pipe.cmake
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED PROGRAM OR NOT DEFINED ARCHIVE OR NOT DEFINED ID)
  message(FATAL_ERROR "closed_pipe: PROGRAM, ARCHIVE and ID must be given")
endif()

# So many copies of the file that the output outgrows any pipe's buffer: some write
# must meet the closed end, however the reader's exit and the writes interleave.
set(ARGS cat "${ARCHIVE}")
foreach(copy RANGE 1 200)
  list(APPEND ARGS ${ID})
endforeach()

execute_process(
  COMMAND ${EMULATOR} "${PROGRAM}" ${ARGS}
  COMMAND "${CMAKE_COMMAND}" -E true
  RESULTS_VARIABLE statuses
  ERROR_VARIABLE errors
  TIMEOUT 100)
list(GET statuses 0 status)
if(NOT status STREQUAL "1" OR NOT errors STREQUAL "")
  message(FATAL_ERROR "closed_pipe: ${PROGRAM} cat into a closed pipe: exit status "
                      "${status}, expected 1; standard error, expected empty:\n${errors}")
endif()
