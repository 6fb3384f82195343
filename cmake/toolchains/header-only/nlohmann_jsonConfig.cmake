# SPDX-License-Identifier: MIT
# nlohmann_json for a cross build: the host's headers, through a directory that holds
# only them.
include(${CMAKE_CURRENT_LIST_DIR}/stage_headers.cmake)
include(/usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
set(nlohmann_json_VERSION ${PACKAGE_VERSION})
marrowvane_dat_stage_headers(nlohmann_json::nlohmann_json nlohmann)
