# Warning flags shared by every target of the project.
add_library(veltrane_warnings INTERFACE)
target_compile_options(veltrane_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow)
if(VELTRANE_WERROR)
  target_compile_options(veltrane_warnings INTERFACE -Werror)
endif()
