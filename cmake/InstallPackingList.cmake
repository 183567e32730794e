# Runs at install time: links bin/korlan to the program file and writes the
# packing list of the installation at its top, so that `korlan` without
# arguments verifies the installation it belongs to.
set(top "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(MAKE_DIRECTORY "${top}/bin")
file(CREATE_LINK "../${KORLAN_PROGRAM_DIR}/korlan" "${top}/bin/korlan" SYMBOLIC)
set(entries "")
foreach(file IN LISTS KORLAN_INSTALLED_FILES)
  file(SIZE "${top}/${file}" size)
  string(APPEND entries "${size} ./${file}\n")
endforeach()
message(STATUS "Writing: ${top}/packing.lst")
file(WRITE "${top}/packing.lst" "${entries}")
