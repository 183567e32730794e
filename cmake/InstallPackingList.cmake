# The last step of an install (KORLAN_PROGRAM: the installed program's path
# below the top): the installed program writes the packing list of the whole
# installation at its top, and the digests beside it where it can make them,
# so that it verifies the installation it belongs to when run without
# arguments.
set(prefix "${CMAKE_INSTALL_PREFIX}")
cmake_path(ABSOLUTE_PATH prefix)
set(top "$ENV{DESTDIR}${prefix}")
set(korlan "${top}/${KORLAN_PROGRAM}")

# The program's output on the top, caught in memory rather than in a file:
# a temporary file below the top would be listed itself.
function(korlan_make var option)
  execute_process(
    COMMAND "${korlan}" ${option} "${top}"
    OUTPUT_VARIABLE out
    ERROR_VARIABLE errors
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${korlan} ${option} ${top} failed (${status}):\n${errors}")
  endif()
  set(${var} "${out}" PARENT_SCOPE)
endfunction()

# Replaces top/name in one rename, so a failed install never leaves half a
# list behind, and records it for install_manifest.txt, which names files
# without DESTDIR as CMake's own steps do.
function(korlan_write name content)
  message(STATUS "Installing: ${top}/${name}")
  file(WRITE "${top}/${name}.new" "${content}")
  file(RENAME "${top}/${name}.new" "${top}/${name}")
  set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} "${prefix}/${name}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND "${korlan}" --help OUTPUT_VARIABLE help)
string(FIND "${help}" "--make-sums" sums)
# Neither maker reads packing.lst or packing.sha256 at the top, stale or new,
# so the digests, made after the list, are of what the list names.
korlan_make(list --make-list)
korlan_write(packing.lst "${list}")
if(sums GREATER -1)
  korlan_make(digests --make-sums)
  korlan_write(packing.sha256 "${digests}")
endif()
