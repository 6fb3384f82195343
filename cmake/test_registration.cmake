# SPDX-License-Identifier: MIT
# How GoogleTest programs become ctest tests.
#
# marrowvane_dat_add_gtests(TARGET [SHARDS n] [CROSS_FILTER pattern])
#   A native build registers every case on its own (gtest_discover_tests). A cross
#   build runs its programs in an emulator whose start costs seconds, so there each
#   program is registered as n tests that split its cases between them (GoogleTest's
#   sharding), and a failing shard names its failed cases in its output. CROSS_FILTER
#   (a --gtest_filter pattern) narrows the cases a cross build runs.
include_guard(GLOBAL)
include(GoogleTest)

function(marrowvane_dat_add_gtests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SHARDS;CROSS_FILTER" "")
  if(NOT CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
    return()
  endif()
  if(NOT arg_SHARDS)
    set(arg_SHARDS 1)
  endif()
  set(filter "")
  if(arg_CROSS_FILTER)
    set(filter "--gtest_filter=${arg_CROSS_FILTER}")
  endif()
  math(EXPR last "${arg_SHARDS} - 1")
  foreach(shard RANGE ${last})
    set(name ${target}.shard${shard})
    add_test(NAME ${name} COMMAND ${target} --gtest_brief=1 ${filter})
    set_tests_properties(${name} PROPERTIES
      ENVIRONMENT "GTEST_TOTAL_SHARDS=${arg_SHARDS};GTEST_SHARD_INDEX=${shard}"
      TIMEOUT 600)
  endforeach()
endfunction()
