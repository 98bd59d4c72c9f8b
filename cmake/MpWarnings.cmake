# Warnings used for every target of the project.
add_library(mp_warnings INTERFACE)
target_compile_options(mp_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wundef -Wcast-align
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast>
  $<$<BOOL:${MP_WERROR}>:-Werror>)
option(MP_WERROR "Treat warnings as errors" ON)
