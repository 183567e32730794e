# Read by cpack for each generator it runs.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /opt/korlan)
  # The systemd units too, outside the installation's tree (and so outside
  # its lists), where systemd looks for a package's units.
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 build)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${build}" korlan deb-systemd /)
endif()
