# korlan_add_self_check(NAME <command>): makes the project's installation
# verify itself. The Korlan program goes three levels below the top, at
# lib/<project>/bin/korlan, where it looks for the packing list when run
# without arguments, and bin/<command> links to it; the very last step of the
# install writes the lists of the whole installation at its top.
include_guard(GLOBAL)

function(korlan_add_self_check)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME" "")
  if(NOT arg_NAME OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "usage: korlan_add_self_check(NAME <command>)")
  endif()
  set(dir "lib/${PROJECT_NAME}/bin")
  install(PROGRAMS "$<TARGET_FILE:Korlan::korlan>" DESTINATION "${dir}")
  korlan_install_link_and_lists("${dir}" "${arg_NAME}")
endfunction()

# The rest, for an installation whose program is installed at <dir>/korlan by
# the caller: Korlan's own installs the program it builds.
function(korlan_install_link_and_lists dir command)
  get_property(taken GLOBAL PROPERTY KORLAN_SELF_CHECK)
  if(taken)
    message(FATAL_ERROR "korlan_add_self_check(NAME ${command}): the installation "
                        "has its self-check already, as ${taken}")
  endif()
  set_property(GLOBAL PROPERTY KORLAN_SELF_CHECK "${command}")
  # The link is made here and installed as it is, so that the install names
  # it in its log and in install_manifest.txt like every other file.
  set(link "${CMAKE_CURRENT_BINARY_DIR}/korlan-link/${command}")
  file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/korlan-link")
  file(CREATE_LINK "../${dir}/korlan" "${link}" SYMBOLIC)
  install(FILES "${link}" DESTINATION bin)
  # Install rules run in the order they are declared, a subdirectory's where
  # it is added: deferred to the end of the top directory, the lists come
  # after every file the project installs, wherever it declares them.
  # (A deferred call reads its arguments when it runs, so they are put in
  # its code now.)
  set(script "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/InstallPackingList.cmake")
  cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]]
    CALL _korlan_install_lists [[${dir}/korlan]] [[${script}]])")
endfunction()

function(_korlan_install_lists program script)
  install(CODE "set(KORLAN_PROGRAM \"${program}\")\ninclude(\"${script}\")")
endfunction()
