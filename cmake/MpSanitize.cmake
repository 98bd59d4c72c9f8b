# MP_SANITIZE=address (AddressSanitizer and UndefinedBehaviorSanitizer) or
# thread (ThreadSanitizer). Applied to the program and the tests through
# mp_sanitize(); the simulated device's preloaded library and sound plugin stay
# plain, since they are loaded into every process (the shell included).
set(MP_SANITIZE "" CACHE STRING "Sanitizer for the program and tests: '', address or thread")
set_property(CACHE MP_SANITIZE PROPERTY STRINGS "" address thread)

add_library(mp_sanitize INTERFACE)
if(MP_SANITIZE STREQUAL "address")
  target_compile_options(mp_sanitize INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(mp_sanitize INTERFACE -fsanitize=address,undefined)
elseif(MP_SANITIZE STREQUAL "thread")
  target_compile_options(mp_sanitize INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(mp_sanitize INTERFACE -fsanitize=thread)
elseif(NOT MP_SANITIZE STREQUAL "")
  message(FATAL_ERROR "MP_SANITIZE must be empty, address or thread")
endif()
