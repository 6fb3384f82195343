# SPDX-License-Identifier: MIT
# One case of unusual or hostile paths for the Windows build of the tool, run in the
# emulator: the case builds its own folder, runs the tool, and checks its exit status
# and messages; after every run nothing may have appeared outside OUTDIR and no
# temporary file may be left anywhere in the folder.
#
# Usage: cmake -DPROGRAM=<exe> -DEMULATOR=<runner> -DSAMPLE=<good.dat> -DWORK=<dir>
#              -DCASE=<name> -P windows_path_cases.cmake
# A case the emulator or this machine cannot express prints
# "windows_path_cases: skipped: <why>".
cmake_minimum_required(VERSION 3.25)

foreach(required IN ITEMS PROGRAM SAMPLE WORK CASE)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "windows_path_cases: ${required} must be given")
  endif()
endforeach()

# Folders made read-only for root carry the immutable attribute, which also stops
# their removal: clear it on the way out and before starting again.
set(immutable "")
function(release_read_only)
  foreach(dir IN LISTS immutable)
    execute_process(COMMAND chattr -i "${dir}" RESULT_VARIABLE ignored ERROR_QUIET)
    file(CHMOD "${dir}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  endforeach()
endfunction()

# Root ignores permission bits, so for root the folder is made immutable instead.
function(make_read_only dir)
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(uid STREQUAL "0")
    execute_process(COMMAND chattr +i "${dir}" RESULT_VARIABLE ignored ERROR_QUIET)
  else()
    file(CHMOD "${dir}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_EXECUTE)
  endif()
  set(immutable "${dir}" PARENT_SCOPE)
endfunction()

macro(fail text)
  release_read_only()
  message(FATAL_ERROR "windows_path_cases ${CASE}: ${text}")
endmacro()

macro(skip text)
  release_read_only()
  message("windows_path_cases: skipped: ${text}")
  return()
endmacro()

if(EXISTS "${WORK}")
  execute_process(COMMAND chattr -R -i "${WORK}" RESULT_VARIABLE ignored ERROR_QUIET OUTPUT_QUIET)
  file(REMOVE_RECURSE "${WORK}")
endif()
file(MAKE_DIRECTORY "${WORK}")

# Runs the tool; sets `status`, `out` and `err` in the caller.
function(run_tool)
  execute_process(COMMAND ${EMULATOR} "${PROGRAM}" ${ARGN}
    RESULT_VARIABLE run_status OUTPUT_VARIABLE run_out ERROR_VARIABLE run_err)
  string(JOIN " " command ${ARGN})
  message("$ marrowvane-dat ${command}\n  status ${run_status}\n${run_out}${run_err}")
  set(status "${run_status}" PARENT_SCOPE)
  set(out "${run_out}" PARENT_SCOPE)
  set(err "${run_err}" PARENT_SCOPE)
endfunction()

function(expect_success)
  if(NOT status STREQUAL "0")
    fail("exit status ${status}, expected 0")
  endif()
  foreach(text IN LISTS ARGN)
    string(FIND "${out}" "${text}" at)
    if(at EQUAL -1)
      fail("standard output lacks: ${text}")
    endif()
  endforeach()
endfunction()

# A failure is one line on standard error naming what went wrong, and status 1. The
# tool joins names with the system's separator, so both kinds compare equal.
function(expect_one_error)
  if(NOT status STREQUAL "1")
    fail("exit status ${status}, expected 1")
  endif()
  string(REGEX MATCHALL "marrowvane-dat: " lines "${err}")
  list(LENGTH lines count)
  if(NOT count EQUAL 1)
    fail("${count} error lines, expected exactly one")
  endif()
  string(REPLACE "\\" "/" slashed "${err}")
  foreach(text IN LISTS ARGN)
    string(FIND "${slashed}" "${text}" at)
    if(at EQUAL -1)
      fail("standard error lacks: ${text}")
    endif()
  endforeach()
endfunction()

# Everything in the case's folder outside `outdir`, links listed but not entered.
function(outside_of outdir into)
  file(GLOB_RECURSE found LIST_DIRECTORIES true "${WORK}/*")
  list(FILTER found EXCLUDE REGEX "^${outdir}(/|$)")
  set(${into} "${found}" PARENT_SCOPE)
endfunction()

function(expect_only_in outdir before)
  outside_of("${outdir}" after)
  if(NOT after STREQUAL before)
    fail("written outside ${outdir}:\n  before: ${before}\n  after: ${after}")
  endif()
  file(GLOB_RECURSE found LIST_DIRECTORIES true "${WORK}/*")
  list(FILTER found INCLUDE REGEX "/\\.[^/]*\\.part-[0-9]+-[0-9]+$")
  if(found)
    fail("temporary files left: ${found}")
  endif()
endfunction()

# The sample archive under another name; a hard link costs nothing.
function(place_sample path)
  get_filename_component(dir "${path}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  file(CREATE_LINK "${SAMPLE}" "${path}" COPY_ON_ERROR)
endfunction()

set(font_id 0x40000001)
set(font_file Font/40000001.bin)

if(CASE STREQUAL "non_ascii_archive")
  # Names outside the narrow code page must reach the system whole, both for a good
  # archive and in the messages about a bad one.
  set(dir "${WORK}/Ärchív 日本語")
  place_sample("${dir}/ĝood Ω.dat")
  # No OUTDIR here: the whole folder must stay as it is.
  outside_of("${WORK}/none" before)
  run_tool(info "${dir}/ĝood Ω.dat")
  expect_success("file_count:      3000")
  run_tool(info "${dir}/fehlt-ü.dat")
  expect_one_error("${dir}/fehlt-ü.dat: Failed to open file at ${dir}/fehlt-ü.dat")
  run_tool(info "${dir}")
  expect_one_error("${dir}: is a directory, not an archive file")
  expect_only_in("${WORK}/none" "${before}")

elseif(CASE STREQUAL "non_ascii_extract")
  set(archive "${WORK}/Ärchív 日本語/ĝood Ω.dat")
  set(outdir "${WORK}/Ausgabe ñ 日本")
  place_sample("${archive}")
  outside_of("${outdir}" before)
  run_tool(extract --type Font "${archive}" "${outdir}")
  expect_success("Extracted 6 files")
  if(NOT EXISTS "${outdir}/${font_file}")
    fail("${outdir}/${font_file} was not written under its own name")
  endif()
  expect_only_in("${outdir}" "${before}")
  execute_process(COMMAND ${EMULATOR} "${PROGRAM}" cat "${archive}" ${font_id}
    RESULT_VARIABLE status OUTPUT_FILE "${WORK}/cat.bin")
  expect_success()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${WORK}/cat.bin"
    "${outdir}/${font_file}" RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    fail("cat and extract gave different bytes for ${font_id}")
  endif()
  # A second run names the non-ASCII file it refuses to replace.
  run_tool(extract "${archive}" "${outdir}" ${font_id})
  expect_one_error("${outdir}/${font_file}: refusing to overwrite an existing file")

elseif(CASE STREQUAL "long_paths")
  # Beyond 260 characters a path only works in the system's extended form.
  set(deep "${WORK}")
  foreach(i RANGE 1 6)
    string(APPEND deep "/folder-${i}-with-a-name-long-enough-to-add-up-quickly")
  endforeach()
  string(LENGTH "${deep}/good.dat" length)
  if(length LESS_EQUAL 260)
    fail("the archive's path has only ${length} characters")
  endif()
  place_sample("${deep}/good.dat")
  set(outdir "${deep}/out")
  outside_of("${outdir}" before)
  run_tool(info "${deep}/good.dat")
  expect_success("file_count:      3000")
  # OUTDIR and two missing levels above it are made.
  run_tool(extract --type Font "${deep}/good.dat" "${outdir}/made/too")
  expect_success("Extracted 6 files")
  if(NOT EXISTS "${outdir}/made/too/${font_file}")
    fail("${outdir}/made/too/${font_file} was not written")
  endif()
  run_tool(extract --type Font "${deep}/good.dat" "${deep}/good.dat")
  expect_one_error("${deep}/good.dat: exists and is not a directory")
  run_tool(info "${deep}/missing.dat")
  expect_one_error("Failed to open file at ${deep}/missing.dat")
  expect_only_in("${outdir}" "${before}")

elseif(CASE STREQUAL "linked_type_dir")
  # A link planted where a type's folder belongs is refused, never written through.
  set(outdir "${WORK}/out")
  file(MAKE_DIRECTORY "${outdir}" "${WORK}/elsewhere")
  file(CREATE_LINK "${WORK}/elsewhere" "${outdir}/Font" SYMBOLIC)
  outside_of("${outdir}" before)
  run_tool(extract --type Font "${SAMPLE}" "${outdir}")
  expect_one_error("${outdir}/Font: is a symbolic link or junction; refusing to follow it")
  expect_only_in("${outdir}" "${before}")

elseif(CASE STREQUAL "linked_file_forced")
  # --force replaces a link in a file's place; the file it pointed to stays as it was.
  set(outdir "${WORK}/out")
  file(MAKE_DIRECTORY "${outdir}/Font")
  file(WRITE "${WORK}/victim" "keep")
  file(CREATE_LINK "${WORK}/victim" "${outdir}/${font_file}" SYMBOLIC)
  outside_of("${outdir}" before)
  run_tool(extract --force "${SAMPLE}" "${outdir}" ${font_id})
  expect_success("Extracted 1 file")
  file(READ "${WORK}/victim" victim)
  if(NOT victim STREQUAL "keep")
    fail("the link's target was written through")
  endif()
  if(IS_SYMLINK "${outdir}/${font_file}")
    fail("${outdir}/${font_file} is still a link")
  endif()
  expect_only_in("${outdir}" "${before}")

elseif(CASE STREQUAL "junction")
  # A junction is the link Windows users make without special rights.
  set(outdir "${WORK}/out")
  file(MAKE_DIRECTORY "${outdir}" "${WORK}/elsewhere")
  string(REPLACE "/" "\\" junction "Z:${outdir}/Font")
  string(REPLACE "/" "\\" target "Z:${WORK}/elsewhere")
  execute_process(COMMAND ${EMULATOR} cmd /c mklink /J "${junction}" "${target}"
    RESULT_VARIABLE ignored OUTPUT_QUIET ERROR_QUIET)
  if(NOT EXISTS "${outdir}/Font")
    skip("this Wine cannot make a junction (mklink /J makes nothing); the linked_type_dir case refuses a link in the same place")
  endif()
  outside_of("${outdir}" before)
  run_tool(extract --type Font "${SAMPLE}" "${outdir}")
  expect_one_error("${outdir}/Font: is a symbolic link or junction; refusing to follow it")
  expect_only_in("${outdir}" "${before}")

elseif(CASE STREQUAL "read_only_outdir")
  set(outdir "${WORK}/out")
  file(MAKE_DIRECTORY "${outdir}")
  make_read_only("${outdir}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E touch "${outdir}/probe"
    RESULT_VARIABLE ignored OUTPUT_QUIET ERROR_QUIET)
  if(EXISTS "${outdir}/probe")
    file(REMOVE "${outdir}/probe")
    skip("cannot make a folder read-only here (root on a file system without chattr +i)")
  endif()
  outside_of("${outdir}" before)
  run_tool(extract --type Font "${SAMPLE}" "${outdir}")
  expect_one_error("${outdir}/Font: cannot create directory: ")
  expect_only_in("${outdir}" "${before}")
  release_read_only()
  # The type's folder exists but takes no files: the temporary cannot be created.
  file(MAKE_DIRECTORY "${outdir}/Font")
  make_read_only("${outdir}/Font")
  run_tool(extract "${SAMPLE}" "${outdir}" ${font_id})
  expect_one_error("${outdir}/${font_file}: cannot create a temporary file: ")
  expect_only_in("${outdir}" "${before}")
  release_read_only()

else()
  fail("no such case")
endif()
