# Included at the end of project(mp_test) in the armel cross build (set up by
# toolchain-armel.cmake through CMAKE_PROJECT_mp_test_INCLUDE).
#
# The simulated device preloads "<build>/simroot/$LIB/libmpsim.so". The armel
# program loads the armel build of it from simroot/lib/arm-linux-gnueabi; the
# shell that the program starts through system() is the build machine's own
# /bin/sh, run natively, and loads the host build from simroot/lib/<host
# multiarch>. That host library comes from the host build (preset "default"):
# its simroot/lib/<host multiarch> is linked into this build's simroot.
if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

set(MPSIM_HOST_SIMROOT "${PROJECT_SOURCE_DIR}/build/default/simroot" CACHE PATH
  "simroot folder of a host build of the simulated device (its lib/<host multiarch>/libmpsim.so is preloaded into host programs such as /bin/sh)")

# The multiarch folder that the build machine's dynamic loader expands $LIB to.
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
  OUTPUT_VARIABLE _mp_host_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
  RESULT_VARIABLE _mp_rc)
if(NOT _mp_rc EQUAL 0 OR _mp_host_multiarch STREQUAL "")
  set(_mp_host_multiarch "${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu")
endif()
set(MPSIM_HOST_MULTIARCH "${_mp_host_multiarch}" CACHE STRING
  "multiarch folder of the build machine's libraries ($LIB of its dynamic loader)")

# Run once the whole project is configured, when MP_BUILD_SIM and MP_BUILD_TESTS
# are known.
function(_mp_link_host_simroot)
  if(NOT MP_BUILD_SIM)
    return()
  endif()
  set(link "${CMAKE_BINARY_DIR}/simroot/lib/${MPSIM_HOST_MULTIARCH}")
  set(target "${MPSIM_HOST_SIMROOT}/lib/${MPSIM_HOST_MULTIARCH}")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/simroot/lib")
  if(IS_SYMLINK "${link}" OR NOT EXISTS "${link}")
    # The host build may come later: a dangling link is fine until tests run.
    file(REMOVE "${link}")
    file(CREATE_LINK "${target}" "${link}" SYMBOLIC)
  endif()
  # Stop the build, before any test runs, with a clear message when the host
  # library is missing, instead of tests failing one by one where a shell starts.
  if(MP_BUILD_TESTS)
    set(hint "build mpsim with the host preset first (cmake --preset default && cmake --build --preset default --target mpsim) or set MPSIM_HOST_SIMROOT")
    add_custom_target(mpsim_host_check ALL
      COMMAND sh -c "test -f '${link}/libmpsim.so' || { echo 'missing ${target}/libmpsim.so: ${hint}' >&2; exit 1; }"
      VERBATIM)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL _mp_link_host_simroot)
