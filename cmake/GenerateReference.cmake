# Writes one of the quillon tool's references (its manual page or a shell completion) by running
# the tool: "cmake -DPROGRAM=... -DWHAT=man|bash|zsh -DOUTPUT=... -P GenerateReference.cmake".
execute_process(COMMAND "${PROGRAM}" --generate "${WHAT}"
                OUTPUT_FILE "${OUTPUT}.new"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${OUTPUT}.new")
  message(FATAL_ERROR "quillon --generate ${WHAT} failed: ${result}")
endif()
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
