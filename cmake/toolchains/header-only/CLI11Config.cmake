# SPDX-License-Identifier: MIT
# CLI11 for a cross build: the host's headers, through a directory that holds only them.
include(${CMAKE_CURRENT_LIST_DIR}/stage_headers.cmake)
include(/usr/share/cmake/CLI11/CLI11ConfigVersion.cmake)
set(CLI11_VERSION ${PACKAGE_VERSION})
marrowvane_dat_stage_headers(CLI11::CLI11 CLI)
