# Runs COMMAND (a list: program and arguments) and writes what it prints to OUTPUT; fails when the
# program fails or prints nothing, so a build never installs an empty page. With DATE, the date
# in a manual page's .TH line (empty, or the one the program knows) becomes DATE: the day of the
# build, or of the release when SOURCE_DATE_EPOCH gives it, as for every page of the package.
#
#   cmake "-DCOMMAND=prog;arg" -DOUTPUT=file [-DDATE=2026-01-01] -P output-of.cmake
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
if(DATE)
  file(READ "${OUTPUT}.new" text)
  string(REGEX REPLACE "^(\\.TH [^ ]+ [^ ]+) (\"\"|[0-9-]+)" "\\1 ${DATE}" text "${text}")
  file(WRITE "${OUTPUT}.new" "${text}")
endif()
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
