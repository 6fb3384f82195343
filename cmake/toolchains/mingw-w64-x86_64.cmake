# SPDX-License-Identifier: MIT
# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the posix thread model,
# which std::thread and std::mutex need) and runs what it builds under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MARROWVANE_DAT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MARROWVANE_DAT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MARROWVANE_DAT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MARROWVANE_DAT_MINGW_TRIPLE}-windres)

# Libraries and headers only from the cross sysroot, so nothing built for Linux is
# ever linked; programs (wine, cmake, the compilers) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MARROWVANE_DAT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tool's header-only dependencies come from the host's /usr/include, but that
# directory must not reach the compiler's search path, where the host's C headers
# would shadow the sysroot's: these packages see only the libraries' own directories.
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/header-only CACHE PATH "")
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/header-only CACHE PATH "")

# The libstdc++, libgcc and winpthread DLLs are linked in, so a program runs on any
# Windows (and under Wine) without the cross compiler's runtime beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

find_program(MARROWVANE_DAT_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(MARROWVANE_DAT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MARROWVANE_DAT_WINE})
endif()

# pkg-config would otherwise offer the build machine's Linux libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_FIND_ROOT_PATH}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
