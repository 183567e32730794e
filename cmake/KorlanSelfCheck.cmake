# korlan_add_self_check(NAME <command> [MTREE_KEYWORDS <keyword>...]
#                       [SIGN_COMMAND <command>...]):
# makes the project's installation verify itself. The Korlan program goes
# three levels below the top, at lib/<project>/bin/korlan, where it looks for
# the lists when run without arguments, and bin/<command> links to it; the
# very last step of the install writes packing.lst, packing.sha256 and
# packing.mtree at the top, of the files that install installed. The
# manifest holds the keywords of MTREE_KEYWORDS (korlan --keywords) when
# given; SIGN_COMMAND, when given, is run on the manifest, its path appended
# (generator expressions in it are evaluated, as install(CODE) does), and the
# signature it makes, packing.mtree.minisig or .sig, is installed with it:
# the manifest names the other two lists with their digests, so that one
# signature covers all three.
include_guard(GLOBAL)

function(korlan_add_self_check)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME" "MTREE_KEYWORDS;SIGN_COMMAND")
  if(NOT arg_NAME OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "usage: korlan_add_self_check(NAME <command> "
                        "[MTREE_KEYWORDS <keyword>...] [SIGN_COMMAND <command>...])")
  endif()
  set(dir "lib/${PROJECT_NAME}/bin")
  install(PROGRAMS "$<TARGET_FILE:Korlan::korlan>" DESTINATION "${dir}")
  korlan_install_link_and_lists("${dir}" "${arg_NAME}"
    MTREE_KEYWORDS ${arg_MTREE_KEYWORDS} SIGN_COMMAND ${arg_SIGN_COMMAND})
endfunction()

# The rest, for an installation whose program is installed at <dir>/korlan by
# the caller: Korlan's own installs the program it builds. Takes the options
# of korlan_add_self_check after the two operands.
function(korlan_install_link_and_lists dir command)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "MTREE_KEYWORDS;SIGN_COMMAND")
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

  # What the install step needs, fixed now. The paths it lists go to a file
  # in the build tree: below the top, it would be installed itself.
  list(JOIN arg_MTREE_KEYWORDS "," keywords)
  set(code "")
  _korlan_append_set(code KORLAN_PROGRAM "${dir}/korlan")
  _korlan_append_set(code KORLAN_FILES "${CMAKE_CURRENT_BINARY_DIR}/korlan-installed.txt")
  _korlan_append_set(code KORLAN_KEYWORDS "${keywords}")
  _korlan_append_set(code KORLAN_SIGN_COMMAND "${arg_SIGN_COMMAND}")
  _korlan_bracket(script "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/InstallPackingList.cmake")
  string(APPEND code "include(${script})\n")

  # Install rules run in the order they are declared, a subdirectory's where
  # it is added (policy CMP0082 NEW; under OLD, after all of the top
  # directory's own): deferred to the end of the top directory, the lists
  # come after every file the project installs, wherever it declares them.
  # The policy is read there, where its last setting is the one that counts.
  # (A deferred call reads its arguments when it runs, so the values are put
  # in its code now.)
  _korlan_bracket(top "${CMAKE_SOURCE_DIR}")
  _korlan_bracket(command "${command}")
  _korlan_bracket(code "${code}")
  cmake_language(EVAL CODE "
    cmake_language(DEFER DIRECTORY ${top} CALL cmake_policy GET CMP0082 _korlan_cmp0082)
    cmake_language(DEFER DIRECTORY ${top} CALL _korlan_install_lists ${command} ${code})")
endfunction()

function(_korlan_install_lists command code)
  if(NOT _korlan_cmp0082 STREQUAL "NEW")
    message(FATAL_ERROR "korlan_add_self_check(NAME ${command}): policy CMP0082 is not NEW "
      "in the top directory, so its subdirectories would install after the lists and be "
      "left out of them; in the top CMakeLists.txt, require CMake 3.14 or newer "
      "(cmake_minimum_required(VERSION 3.14)) or set cmake_policy(SET CMP0082 NEW)")
  endif()
  install(CODE "${code}")
endfunction()

# Appends to the code in var the line that sets name to value.
function(_korlan_append_set var name value)
  _korlan_bracket(value "${value}")
  set(${var} "${${var}}set(${name} ${value})\n" PARENT_SCOPE)
endfunction()

# Sets var to value as a bracket argument, [=[value]=] with as many = as it
# takes, which CMake reads back as it is. (A newline right after the opening
# bracket is dropped when read, so a value that starts with one gets two.)
function(_korlan_bracket var value)
  set(eq "")
  string(FIND "${value}]" "]]" at)
  while(at GREATER -1)
    string(APPEND eq "=")
    string(FIND "${value}]${eq}" "]${eq}]" at)
  endwhile()
  if(value MATCHES "^\n")
    string(PREPEND value "\n")
  endif()
  set(${var} "[${eq}[${value}]${eq}]" PARENT_SCOPE)
endfunction()
