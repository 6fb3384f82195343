# SPDX-License-Identifier: MIT
# marrowvane_dat_stage_headers(TARGET DIR): an imported interface TARGET whose include
# directory holds only a link to /usr/include/DIR.
include_guard(GLOBAL)
function(marrowvane_dat_stage_headers target dir)
  if(TARGET ${target})
    return()
  endif()
  set(staged ${CMAKE_BINARY_DIR}/host-headers/${dir})
  file(MAKE_DIRECTORY ${staged})
  file(CREATE_LINK /usr/include/${dir} ${staged}/${dir} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${staged})
endfunction()
