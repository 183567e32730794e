# korlan_add_self_check(NAME <command> [MTREE_KEYWORDS <keyword>...]
#                       [SIGN_COMMAND <command>...] [CONFIG <glob>...]
#                       [EXTRA_FILES <glob>...]):
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
# signature covers all three. CONFIG names the configuration files (globs
# below the prefix, as `korlan --config` matches them): their customers may
# edit them, so the manifest states their type, mode and owners but not
# what they hold, and the other lists leave them out. EXTRA_FILES names the
# files the install makes itself (install(CODE) or install(SCRIPT): a link,
# a cache), which CMake's record of the install does not hold: globs below
# the prefix, expanded when the install step writes the lists.
#
# The prefix is the installation's own: its lists lie at its top. A prefix
# shared with other software (/, /usr, /usr/local), or CPack's
# CPACK_PACKAGING_INSTALL_PREFIX set to one, is warned about at configure
# time: two products' lists would take each other's place there.
include_guard(GLOBAL)

function(korlan_add_self_check)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME"
                        "MTREE_KEYWORDS;SIGN_COMMAND;CONFIG;EXTRA_FILES")
  if(NOT arg_NAME OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "usage: korlan_add_self_check(NAME <command> "
                        "[MTREE_KEYWORDS <keyword>...] [SIGN_COMMAND <command>...] "
                        "[CONFIG <glob>...] [EXTRA_FILES <glob>...])")
  endif()
  set(dir "lib/${PROJECT_NAME}/bin")
  install(PROGRAMS "$<TARGET_FILE:Korlan::korlan>" DESTINATION "${dir}")
  korlan_install_link_and_lists("${dir}" "${arg_NAME}"
    MTREE_KEYWORDS ${arg_MTREE_KEYWORDS} SIGN_COMMAND ${arg_SIGN_COMMAND}
    CONFIG ${arg_CONFIG} EXTRA_FILES ${arg_EXTRA_FILES})
endfunction()

# Warns when `prefix`, named `what`, is one other software shares.
function(_korlan_check_prefix command what prefix)
  cmake_path(NORMAL_PATH prefix)
  string(REGEX REPLACE "(.)/$" "\\1" prefix "${prefix}")
  if(prefix MATCHES "^(/|/usr|/usr/local)$")
    message(WARNING "korlan_add_self_check(NAME ${command}): ${what} is ${prefix}, which other "
      "software shares: the installation's lists at its top (${prefix}/packing.mtree ...) would "
      "take another product's place, and `korlan --unlisted` there reports the whole system. "
      "Install below a directory of the product's own, such as /opt/${PROJECT_NAME}.")
  endif()
endfunction()

# The rest, for an installation whose program is installed at <dir>/korlan by
# the caller: Korlan's own installs the program it builds. Takes the options
# of korlan_add_self_check after the two operands.
function(korlan_install_link_and_lists dir command)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" ""
                        "MTREE_KEYWORDS;SIGN_COMMAND;CONFIG;EXTRA_FILES")
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
  _korlan_append_set(code KORLAN_CONFIG "${arg_CONFIG}")
  _korlan_append_set(code KORLAN_EXTRA_FILES "${arg_EXTRA_FILES}")
  _korlan_check_prefix("${command}" "the install prefix" "${CMAKE_INSTALL_PREFIX}")
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
  # CPack's prefix is set anywhere in the top directory, include(CPack)
  # often last: read where the directory ends.
  if(DEFINED CPACK_PACKAGING_INSTALL_PREFIX)
    _korlan_check_prefix("${command}" "CPACK_PACKAGING_INSTALL_PREFIX"
                         "${CPACK_PACKAGING_INSTALL_PREFIX}")
  endif()
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
