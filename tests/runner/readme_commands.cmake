# The command tables of sim/runner/README.md are mp-sim's own list
# (mp-sim --commands): a command added, renamed or re-described in
# commands.cpp without its README line fails here.
execute_process(COMMAND ${MP_SIM} --commands OUTPUT_VARIABLE listed RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "mp-sim --commands failed (${rc})")
endif()
file(READ ${README} readme)
string(REGEX MATCH "<!-- commands: the output of mp-sim --commands -->\n(.*)<!-- end of commands -->"
       block "${readme}")
if(NOT CMAKE_MATCH_1 STREQUAL listed)
  message(FATAL_ERROR "the command tables of ${README} differ from `mp-sim --commands`; "
                      "paste its output between the two comment lines there")
endif()
