# find_package(Korlan): the imported program Korlan::korlan and
# korlan_add_self_check(NAME <command>), which makes the project's
# installation verify itself.
if(CMAKE_VERSION VERSION_LESS 3.20)
  set(Korlan_FOUND FALSE)
  set(Korlan_NOT_FOUND_MESSAGE "Korlan's package needs CMake 3.20 or newer")
  return()
endif()
include("${CMAKE_CURRENT_LIST_DIR}/KorlanTargets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/KorlanSelfCheck.cmake")
