# AddressSanitizer + UndefinedBehaviorSanitizer, switched on by VELTRANE_SANITIZE.
add_library(veltrane_sanitizers INTERFACE)
if(VELTRANE_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_compile_options(veltrane_sanitizers INTERFACE ${_san})
  target_link_options(veltrane_sanitizers INTERFACE ${_san})
endif()

# ThreadSanitizer, switched on by VELTRANE_TSAN (the tsan preset): the
# calculations that share work between threads.
if(VELTRANE_TSAN)
  set(_tsan -fsanitize=thread -fno-omit-frame-pointer)
  target_compile_options(veltrane_sanitizers INTERFACE ${_tsan})
  target_link_options(veltrane_sanitizers INTERFACE ${_tsan})
  # The loader runs the resolvers of functions built for several processors
  # before ThreadSanitizer's runtime is up, and an instrumented resolver
  # crashes the program at start: one build of each kernel here.
  target_compile_definitions(veltrane_sanitizers INTERFACE VELTRANE_ONE_KERNEL_BUILD)
endif()
