# mp_add_scenario_tests(DIR [PREFIX P] [LABELS L...]): every scenario file
# under DIR (recursively),
# except the fragments under a folder named "flows", becomes a CTest test
# running mp-sim on it; a scenario with a "flows" line becomes one test per
# flow, named <path without .scn>/<flow>. Labels: "scenario" and the
# scenario's own "labels" line, and LABELS; "serial" runs the test alone.
# PREFIX comes before every test name.
#
# The lines are read here, at configure time, from the scenario file itself;
# a change to one configures again.
#
# Which scenarios a build registers: the cross build (run under emulation)
# those labelled "armel", the sanitizer builds those labelled "asan" or
# "tsan", the host build all of them.
function(mp_add_scenario_tests dir)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PREFIX" "LABELS")
  if(NOT TARGET mp-sim)
    return()
  endif()
  set(select "")
  if(CMAKE_CROSSCOMPILING)
    set(select armel)
  elseif(MP_SANITIZE STREQUAL "address")
    set(select asan)
  elseif(MP_SANITIZE STREQUAL "thread")
    set(select tsan)
  endif()

  set(env "")
  if(CMAKE_CROSSCOMPILING)
    # The cross build has no libpng: the host build's mp-sim runs natively
    # and starts the armel program through the emulator, with the armel
    # preloaded library (whose simroot also holds the host one for the
    # shells the program starts) and the armel sound card plugin.
    get_filename_component(host_build "${MPSIM_HOST_SIMROOT}" DIRECTORY)
    set(MPSIM_HOST_MP_SIM "${host_build}/sim/runner/mp-sim" CACHE FILEPATH
      "mp-sim of a host build, which runs the armel build's scenario tests")
    if(EXISTS "${host_build}/CMakeCache.txt" AND NOT TARGET mpsim_host_runner)
      add_custom_target(mpsim_host_runner ALL
        COMMAND ${CMAKE_COMMAND} --build "${host_build}" --target mp-sim
        COMMENT "mp-sim of the host build (${host_build}) for the scenario tests"
        VERBATIM)
    endif()
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    set(runner "${MPSIM_HOST_MP_SIM}" --program $<TARGET_FILE:mp_test> --emulator "${emulator}")
    set(env "MPSIM_PRELOAD=${CMAKE_BINARY_DIR}/simroot/$LIB/libmpsim.so"
            "MPSIM_ALSA_PLUGIN=$<TARGET_FILE:asound_module_pcm_mpsim>")
  else()
    set(runner $<TARGET_FILE:mp-sim>)
  endif()

  file(GLOB_RECURSE files CONFIGURE_DEPENDS RELATIVE "${dir}" "${dir}/*.scn")
  list(SORT files)
  foreach(rel IN LISTS files)
    if(rel MATCHES "(^|/)flows/")
      continue()
    endif()
    set(file "${dir}/${rel}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
    set(labels ${arg_LABELS})
    set(flows "")
    file(STRINGS "${file}" lines REGEX "^[ \t]*(labels|flows)[ \t]")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "#.*" "" line "${line}")
      string(STRIP "${line}" line)
      separate_arguments(words UNIX_COMMAND "${line}")
      list(POP_FRONT words what)
      list(APPEND ${what} ${words})
    endforeach()
    if(select AND NOT select IN_LIST labels)
      continue()
    endif()
    string(REGEX REPLACE "\\.scn$" "" name "${arg_PREFIX}${rel}")
    set(runs "")
    if(flows)
      foreach(flow IN LISTS flows)
        list(APPEND runs "${flow}")
      endforeach()
    else()
      set(runs "-")
    endif()
    foreach(flow IN LISTS runs)
      if(flow STREQUAL "-")
        set(test "${name}")
        set(flow_args "")
      else()
        set(test "${name}/${flow}")
        set(flow_args --flow "${flow}")
      endif()
      add_test(NAME "${test}"
        COMMAND ${runner} ${flow_args} "${file}" "${CMAKE_BINARY_DIR}/scenario-out/${test}")
      set_tests_properties("${test}" PROPERTIES LABELS "scenario;${labels}")
      if(env)
        set_tests_properties("${test}" PROPERTIES ENVIRONMENT "${env}")
      endif()
      if("serial" IN_LIST labels)
        set_tests_properties("${test}" PROPERTIES RUN_SERIAL TRUE)
      endif()
    endforeach()
  endforeach()
endfunction()
