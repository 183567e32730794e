# The last step of an install: the installed program writes packing.lst,
# packing.sha256 and packing.mtree at the top of the installation, of the
# files this install installed, so that it verifies them when run without
# arguments; a reinstall's lists name none of the files an older version
# left behind (`korlan --unlisted` shows those). Set by the install code:
#   KORLAN_PROGRAM       the installed program's path below the top
#   KORLAN_FILES         a file outside the installation for the paths
#   KORLAN_KEYWORDS      the manifest's keywords, comma separated, or empty
#   KORLAN_SIGN_COMMAND  the command that signs the manifest, or empty
#   KORLAN_CONFIG        globs of the configuration files, below the prefix
#   KORLAN_EXTRA_FILES   globs of the files the install made itself

# Text as CMake prints a message's lines that start with a space: as they
# are, not rewrapped, so that each line of the program reads whole.
function(_korlan_indent var text)
  string(STRIP "${text}" text)
  string(REPLACE "\n" "\n  " text "  ${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

function(_korlan_write_lists)
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  cmake_path(ABSOLUTE_PATH prefix NORMALIZE)
  set(top "$ENV{DESTDIR}${prefix}")
  set(installed ${CMAKE_INSTALL_MANIFEST_FILES})

  # What this install installed: CMake's install steps so far name each file
  # with its full path, without DESTDIR (the directories they make are not
  # named; the program lists those on the way). Those below the prefix go
  # to the program, one a line and relative to the top. A name holding a
  # newline cannot pass one a line, nor one holding a semicolon through
  # CMake's list: such a file is not listed, and shows as unlisted.
  set(paths "")
  foreach(path IN LISTS installed)
    cmake_path(IS_PREFIX prefix "${path}" NORMALIZE below)
    if(below)
      cmake_path(RELATIVE_PATH path BASE_DIRECTORY "${prefix}")
      string(APPEND paths "${path}\n")
    endif()
  endforeach()
  # The files the install made itself, which CMake's record does not hold.
  foreach(glob IN LISTS KORLAN_EXTRA_FILES)
    file(GLOB extra LIST_DIRECTORIES false RELATIVE "${top}" "${top}/${glob}")
    if(NOT extra)
      message(FATAL_ERROR "EXTRA_FILES ${glob}: no such file below ${top}")
    endif()
    foreach(path IN LISTS extra)
      string(APPEND paths "${path}\n")
      cmake_path(APPEND prefix "${path}" OUTPUT_VARIABLE full)
      list(APPEND installed "${full}")
    endforeach()
  endforeach()
  file(WRITE "${KORLAN_FILES}" "${paths}")

  set(make "${top}/${KORLAN_PROGRAM}" --make-lists "--files-from=${KORLAN_FILES}")
  foreach(glob IN LISTS KORLAN_CONFIG)
    list(APPEND make "--config=./${glob}")
  endforeach()
  if(NOT KORLAN_KEYWORDS STREQUAL "")
    list(APPEND make "--keywords=${KORLAN_KEYWORDS}")
  endif()
  execute_process(COMMAND ${make} "${top}" OUTPUT_VARIABLE out ERROR_VARIABLE out
                  RESULT_VARIABLE status)
  _korlan_indent(said "${out}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR
      "korlan --make-lists failed (${status}), the lists are left as they were:\n${said}")
  elseif(NOT out STREQUAL "")
    # A name packing.lst cannot hold: left out of it alone, named here.
    message(WARNING "${said}")
  endif()

  # Each list, and the signature of the manifest, recorded as CMake's own
  # steps record a file. The manifest names the other two with their
  # digests, so its signature covers all three: `korlan --key` without
  # operands believes it alone. A signature left by an earlier install is
  # of the list it replaced: removed.
  foreach(list packing.lst packing.sha256 packing.mtree)
    set(made ${list})
    file(REMOVE "${top}/${list}.minisig" "${top}/${list}.sig")
    if(KORLAN_SIGN_COMMAND AND list STREQUAL "packing.mtree")
      # Not caught: the command may ask for a password on the terminal.
      execute_process(COMMAND ${KORLAN_SIGN_COMMAND} "${top}/${list}" RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        list(JOIN KORLAN_SIGN_COMMAND " " sign)
        message(FATAL_ERROR
          "signing ${top}/${list} failed (${status}), its output is above:\n  ${sign}")
      endif()
      foreach(signature ${list}.minisig ${list}.sig)
        if(EXISTS "${top}/${signature}")
          list(APPEND made ${signature})
        endif()
      endforeach()
    endif()
    foreach(file IN LISTS made)
      message(STATUS "Installing: ${top}/${file}")
      cmake_path(APPEND prefix "${file}" OUTPUT_VARIABLE path)
      list(APPEND installed "${path}")
    endforeach()
  endforeach()
  set(CMAKE_INSTALL_MANIFEST_FILES ${installed} PARENT_SCOPE)
endfunction()

_korlan_write_lists()
