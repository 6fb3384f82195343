# SPDX-License-Identifier: MIT
# The Debian package, made by `cpack -G DEB` in a configured build tree. It holds
# whatever that tree installs: the library (static or shared, as built), headers,
# CMake and pkg-config files, the tool, its man page and its bash completion.
set(MARROWVANE_DAT_PACKAGE_MAINTAINER
  "The marrowvane_dat developers <maintainers@marrowvane-dat.invalid>"
  CACHE STRING "The Maintainer field of the Debian package: 'Name <email>'")

set(CPACK_PACKAGE_NAME marrowvane-dat)
set(CPACK_PACKAGE_VENDOR "The marrowvane_dat developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "reads the packed DAT archives of an online game's client")
set(CPACK_PACKAGE_DESCRIPTION [[
marrowvane_dat is a C++23 library that opens DAT archives, returns any
stored file's bytes by id (decompressing LRS payloads), classifies file ids
into file types and decodes Font records.
.
This package holds the library with its headers, CMake and pkg-config
files, and the marrowvane-dat command-line tool, which lists, prints,
extracts and verifies the files of an archive.]])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(WIN32)
  # The Windows download: a ZIP that unpacks into one folder with bin/, lib/, include/.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME marrowvane-dat-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/README-windows.txt DESTINATION . RENAME README.txt)
  include(CPack)
  return()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MARROWVANE_DAT_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Runtime dependencies (libc6, libstdc++6, ...) come from dpkg-shlibdeps, so they
# follow whatever the binaries actually link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shared build ships a shlibs file (and the ldconfig trigger) for its library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

include(CPack)
