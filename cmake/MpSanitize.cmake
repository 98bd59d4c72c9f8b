# MP_SANITIZE=address (AddressSanitizer and UndefinedBehaviorSanitizer),
# thread (ThreadSanitizer) or fuzzer (clang only: AddressSanitizer and
# UndefinedBehaviorSanitizer plus libFuzzer's coverage instrumentation, without
# its main; the default when MP_BUILD_FUZZ is on, since a fuzzer is blind to
# code built without coverage). Applied to the program and the tests through
# mp_sanitize(); the simulated device's preloaded library and sound plugin stay
# plain, since they are loaded into every process (the shell included).
set(MP_SANITIZE "" CACHE STRING "Sanitizer for the program and tests: '', address, thread or fuzzer")
set_property(CACHE MP_SANITIZE PROPERTY STRINGS "" address thread fuzzer)

set(MP_SANITIZE_MODE "${MP_SANITIZE}")
if(MP_SANITIZE_MODE STREQUAL "" AND MP_BUILD_FUZZ)
  set(MP_SANITIZE_MODE fuzzer)
endif()

add_library(mp_sanitize INTERFACE)
if(MP_SANITIZE_MODE STREQUAL "address")
  target_compile_options(mp_sanitize INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(mp_sanitize INTERFACE -fsanitize=address,undefined)
elseif(MP_SANITIZE_MODE STREQUAL "thread")
  target_compile_options(mp_sanitize INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(mp_sanitize INTERFACE -fsanitize=thread)
elseif(MP_SANITIZE_MODE STREQUAL "fuzzer")
  # The fuzz targets themselves link with -fsanitize=fuzzer, which brings
  # libFuzzer's main; everything else only gets the sanitizer run-times.
  target_compile_options(mp_sanitize INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(mp_sanitize INTERFACE -fsanitize=address,undefined)
elseif(NOT MP_SANITIZE_MODE STREQUAL "")
  message(FATAL_ERROR "MP_SANITIZE must be empty, address, thread or fuzzer")
endif()
