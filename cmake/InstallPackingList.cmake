# Runs at install time: links bin/korlan to the program file and has the
# installed program write the packing list of the installation at its top,
# and the SHA-256 of every listed file beside it, so that `korlan` without
# arguments verifies the installation it belongs to (`korlan --sums`, its
# contents too). Neither file names the other.
set(top "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(MAKE_DIRECTORY "${top}/bin")
file(CREATE_LINK "../${KORLAN_PROGRAM_DIR}/korlan" "${top}/bin/korlan" SYMBOLIC)
message(STATUS "Writing: ${top}/packing.lst")
# The list is caught in memory, not in a file of its own: a temporary file
# below the top would be listed itself. It replaces packing.lst in one
# rename, so a failed install never leaves half a list behind.
execute_process(
  COMMAND "${top}/${KORLAN_PROGRAM_DIR}/korlan" --make-list "${top}"
  OUTPUT_VARIABLE list
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "korlan --make-list ${top} failed (${status}):\n${errors}")
endif()
file(WRITE "${top}/packing.lst.new" "${list}")
file(RENAME "${top}/packing.lst.new" "${top}/packing.lst")

message(STATUS "Writing: ${top}/packing.sha256")
execute_process(
  COMMAND "${top}/${KORLAN_PROGRAM_DIR}/korlan" --make-sums "${top}"
  OUTPUT_VARIABLE sums
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "korlan --make-sums ${top} failed (${status}):\n${errors}")
endif()
file(WRITE "${top}/packing.sha256.new" "${sums}")
file(RENAME "${top}/packing.sha256.new" "${top}/packing.sha256")
