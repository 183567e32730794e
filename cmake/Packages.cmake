# Korlan's own packages, made by `cpack -G TGZ` and `cpack -G DEB` in the
# build directory; both hold the self-verifying installation, lists included.
set(KORLAN_PACKAGE_CONTACT "Korlan maintainers <korlan@example.org>"
  CACHE STRING "Maintainer named in Korlan's packages")
set(CPACK_PACKAGE_NAME korlan)
set(CPACK_PACKAGE_CONTACT "${KORLAN_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "verifies an installed file tree against its packing list")
set(CPACK_PACKAGE_DESCRIPTION
  "Korlan reports every file of an installation that is missing or whose size differs from its packing list. Installed in /opt/korlan, it verifies its own installation when run without arguments.")
set(CPACK_GENERATOR TGZ)
# A tarball unpacks anywhere (the top directory is korlan-VERSION-SYSTEM);
# the Debian package installs at one place, its own tree, set for DEB alone.
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/PackageGenerator.cmake")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# dpkg-shlibdeps (dpkg-dev) finds the libraries the program needs, and reads
# the program's type with `file`; without them, the libraries of a C++
# program built here are stated.
find_program(KORLAN_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(KORLAN_FILE file)
if(KORLAN_DPKG_SHLIBDEPS AND KORLAN_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libssl3, libstdc++6")
endif()
include(CPack)
