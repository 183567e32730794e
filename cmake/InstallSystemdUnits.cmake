# Installs the systemd units that verify an installation, with the path of
# its program written in: the prefix's bin/korlan, as this install lays it
# out (the prefix given to `cmake --install`, or the package's). Set by the
# install code:
#   KORLAN_UNITS     the unit files, their ExecStart naming
#                    @CMAKE_INSTALL_PREFIX@/bin/korlan
#   KORLAN_UNIT_DIR  where they go: below the prefix when relative, else at
#                    this absolute path (below DESTDIR)

function(_korlan_install_units)
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  cmake_path(ABSOLUTE_PATH prefix NORMALIZE)
  cmake_path(APPEND prefix bin korlan OUTPUT_VARIABLE program)
  cmake_path(ABSOLUTE_PATH KORLAN_UNIT_DIR BASE_DIRECTORY "${prefix}" NORMALIZE
             OUTPUT_VARIABLE dir)
  set(installed ${CMAKE_INSTALL_MANIFEST_FILES})
  foreach(unit IN LISTS KORLAN_UNITS)
    cmake_path(GET unit FILENAME name)
    cmake_path(APPEND dir "${name}" OUTPUT_VARIABLE path)
    file(READ "${unit}" text)
    # (In brackets: an install script runs under policy CMP0053 OLD, where
    # a quoted @VARIABLE@ would be replaced.)
    string(REPLACE [[@CMAKE_INSTALL_PREFIX@/bin/korlan]] "${program}" text "${text}")
    message(STATUS "Installing: $ENV{DESTDIR}${path}")
    file(WRITE "$ENV{DESTDIR}${path}" "${text}")
    list(APPEND installed "${path}")
  endforeach()
  set(CMAKE_INSTALL_MANIFEST_FILES ${installed} PARENT_SCOPE)
endfunction()

_korlan_install_units()
