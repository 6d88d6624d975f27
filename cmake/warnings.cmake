# Warning flags shared by every target of the project.
add_library(veltrane_warnings INTERFACE)
target_compile_options(veltrane_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
  -Wconversion -Wsign-conversion -Wold-style-cast -Wnull-dereference)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(veltrane_warnings INTERFACE -Wuseless-cast)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # g++ 12 reports std::string concatenation at -O3 as an overlapping memcpy
  # (a known false positive of its -Wrestrict, fixed in g++ 13).
  target_compile_options(veltrane_warnings INTERFACE -Wno-restrict)
endif()
if(VELTRANE_WERROR)
  target_compile_options(veltrane_warnings INTERFACE -Werror)
endif()
