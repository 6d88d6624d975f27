# AddressSanitizer + UndefinedBehaviorSanitizer, switched on by VELTRANE_SANITIZE.
add_library(veltrane_sanitizers INTERFACE)
if(VELTRANE_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_compile_options(veltrane_sanitizers INTERFACE ${_san})
  target_link_options(veltrane_sanitizers INTERFACE ${_san})
endif()
