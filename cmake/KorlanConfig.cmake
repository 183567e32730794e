# find_package(Korlan): the imported program Korlan::korlan and
# korlan_add_self_check(NAME <command>), which makes the project's
# installation verify itself.
include("${CMAKE_CURRENT_LIST_DIR}/KorlanTargets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/KorlanSelfCheck.cmake")
