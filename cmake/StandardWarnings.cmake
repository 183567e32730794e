# Compiler warnings as an interface target: every target of ours links
# korlan_warnings, and code that is not ours (GoogleTest, a parent project
# that adds Korlan as a subdirectory) keeps its own flags.
add_library(korlan_warnings INTERFACE)
target_compile_options(korlan_warnings INTERFACE -Wall -Wextra)
if(KORLAN_WERROR)
  target_compile_options(korlan_warnings INTERFACE -Werror)
endif()
