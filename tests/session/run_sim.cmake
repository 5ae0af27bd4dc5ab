# Runs the simulator once and checks what it did:
#   SIM     the simulator's path
#   ARGS    its arguments, separated by '|'
#   EXIT    the exit code it must return
#   EXPECT  a regular expression its output (stdout and stderr) must match
#   ALSO    an optional second one
# Prints the output so that a failed run can be read in the test log.
if(NOT DEFINED SIM OR NOT DEFINED EXIT OR NOT DEFINED EXPECT)
  message(FATAL_ERROR "run_sim.cmake needs SIM, EXIT and EXPECT")
endif()
string(REPLACE "|" ";" arguments "${ARGS}")
execute_process(COMMAND ${SIM} ${arguments}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)
message("${output}${errors}")
if(NOT "${result}" STREQUAL "${EXIT}")
  message(FATAL_ERROR "serhubsim ${ARGS}: exit code ${result}, expected ${EXIT}")
endif()
if(NOT "${output}${errors}" MATCHES "${EXPECT}")
  message(FATAL_ERROR "serhubsim ${ARGS}: the output does not match '${EXPECT}'")
endif()
if(NOT "${ALSO}" STREQUAL "" AND NOT "${output}${errors}" MATCHES "${ALSO}")
  message(FATAL_ERROR "serhubsim ${ARGS}: the output does not match '${ALSO}'")
endif()
