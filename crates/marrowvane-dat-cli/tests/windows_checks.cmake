# SPDX-License-Identifier: MIT
# The tool's checks in a Windows build: every command on the test kit's sample archive,
# run in the emulator, with exit status and output matched by run_and_match.cmake.
set(cli_checks_dir ${CMAKE_CURRENT_BINARY_DIR}/checks)
set(cli_sample ${MARROWVANE_DAT_SAMPLES_DIR}/good.dat)
set(cli_out ${CMAKE_CURRENT_BINARY_DIR}/extracted)
file(MAKE_DIRECTORY ${cli_checks_dir})

# cli_check(NAME [EXIT_CODE n] [ARGS ...] [CONTAINS ...] [NOT_CONTAINS ...])
function(cli_check name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "EXIT_CODE" "ARGS;CONTAINS;NOT_CONTAINS")
  if(NOT DEFINED arg_EXIT_CODE)
    set(arg_EXIT_CODE 0)
  endif()
  set(content "set(EXIT_CODE ${arg_EXIT_CODE})\n")
  foreach(list_name IN ITEMS ARGS CONTAINS NOT_CONTAINS)
    foreach(item IN LISTS arg_${list_name})
      string(APPEND content "list(APPEND ${list_name} [==[\n${item}]==])\n")
    endforeach()
  endforeach()
  file(CONFIGURE OUTPUT ${cli_checks_dir}/${name}.cmake CONTENT "${content}" @ONLY)
  add_test(NAME cli.windows.${name}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:marrowvane_dat_cli>
      "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" -DEXPECTATIONS=${cli_checks_dir}/${name}.cmake
      -P ${PROJECT_SOURCE_DIR}/crates/marrowvane-dat/tests/run_and_match.cmake)
  set_tests_properties(cli.windows.${name} PROPERTIES
    FIXTURES_REQUIRED font_parity_sample_good TIMEOUT 120)
endfunction()

cli_check(version ARGS --version CONTAINS "marrowvane-dat ${PROJECT_VERSION}")
cli_check(info ARGS info ${cli_sample} CONTAINS "kind:            Portal" "file_count:      3000")
cli_check(ls_json ARGS ls --json ${cli_sample} CONTAINS "\"id\":" "0x40000001")
cli_check(verify ARGS verify ${cli_sample} CONTAINS "Fonts: 6 of 6 passed, 959 glyphs")
cli_check(font ARGS font ${cli_sample} 0x40000001 CONTAINS "95")
cli_check(stats ARGS stats ${cli_sample} CONTAINS "Font")
cli_check(diff_self ARGS diff ${cli_sample} ${cli_sample})
cli_check(missing_archive EXIT_CODE 1 ARGS info ${cli_sample}.missing
  CONTAINS "Failed to open file at" "(os error 2)")
cli_check(directory_archive EXIT_CODE 1 ARGS info ${MARROWVANE_DAT_SAMPLES_DIR}
  CONTAINS "marrowvane-dat: ")
cli_check(slash_is_not_an_option EXIT_CODE 1 ARGS info /no-such-archive
  CONTAINS "/no-such-archive")

# Extract into a fresh directory; a second run refuses to replace what is there, and
# one with --force replaces it, leaving no temporary behind either time.
add_test(NAME cli.windows.extract.clean COMMAND ${CMAKE_COMMAND} -E rm -rf ${cli_out})
set_tests_properties(cli.windows.extract.clean PROPERTIES FIXTURES_SETUP cli_windows_out)
cli_check(extract ARGS extract ${cli_sample} ${cli_out} CONTAINS "Extracted 3000 files")
set_tests_properties(cli.windows.extract PROPERTIES FIXTURES_REQUIRED
  "font_parity_sample_good;cli_windows_out" FIXTURES_SETUP cli_windows_extracted)
cli_check(extract_again_refuses EXIT_CODE 1 ARGS extract ${cli_sample} ${cli_out}
  CONTAINS "refusing to overwrite an existing file (and 2999 others)")
cli_check(extract_force ARGS extract --force ${cli_sample} ${cli_out}
  CONTAINS "Extracted 3000 files")
set_tests_properties(cli.windows.extract_again_refuses PROPERTIES FIXTURES_REQUIRED
  "font_parity_sample_good;cli_windows_extracted" FIXTURES_SETUP cli_windows_refused)
set_tests_properties(cli.windows.extract_force PROPERTIES FIXTURES_REQUIRED
  "font_parity_sample_good;cli_windows_refused")

# Unusual and hostile paths, each case in a folder of its own: names outside the narrow
# code page, paths past 260 characters, links planted in OUTDIR, a read-only OUTDIR.
foreach(case IN ITEMS non_ascii_archive non_ascii_extract long_paths linked_type_dir
                      linked_file_forced junction read_only_outdir)
  add_test(NAME cli.windows.paths.${case}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:marrowvane_dat_cli>
      "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" -DSAMPLE=${cli_sample}
      -DWORK=${CMAKE_CURRENT_BINARY_DIR}/paths/${case} -DCASE=${case}
      -P ${CMAKE_CURRENT_SOURCE_DIR}/windows_path_cases.cmake)
  # Wine decodes the command line and file names in the locale's encoding, so the
  # non-ASCII names reach it whole only under a UTF-8 locale.
  set_tests_properties(cli.windows.paths.${case} PROPERTIES
    FIXTURES_REQUIRED font_parity_sample_good TIMEOUT 120 ENVIRONMENT LC_ALL=C.UTF-8
    SKIP_REGULAR_EXPRESSION "windows_path_cases: skipped: ")
endforeach()

# A reader that stops early (`| head`) ends the tool quietly with status 1, as on POSIX,
# though Windows reports the closed pipe differently.
add_test(NAME cli.windows.closed_pipe_is_quiet
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:marrowvane_dat_cli>
    "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" -DARCHIVE=${cli_sample} -DID=0x40000006
    -P ${CMAKE_CURRENT_SOURCE_DIR}/closed_pipe.cmake)
set_tests_properties(cli.windows.closed_pipe_is_quiet PROPERTIES
  FIXTURES_REQUIRED font_parity_sample_good TIMEOUT 120)
