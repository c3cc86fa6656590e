# Runs COMMAND (a list: program and arguments) and writes what it prints to OUTPUT; fails when the
# program fails or prints nothing, so a build never installs an empty page.
#
#   cmake "-DCOMMAND=prog;arg" -DOUTPUT=file -P output-of.cmake
execute_process(COMMAND ${COMMAND} OUTPUT_FILE "${OUTPUT}.new" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${OUTPUT}.new")
  message(FATAL_ERROR "'${COMMAND}' failed: ${result}")
endif()
file(SIZE "${OUTPUT}.new" size)
if(size EQUAL 0)
  file(REMOVE "${OUTPUT}.new")
  message(FATAL_ERROR "'${COMMAND}' printed nothing")
endif()
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
