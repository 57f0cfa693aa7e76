# Writes the manual page of a tool from its own --help with help2man (cmake -P):
#   -DTOOL=path -DNAME=udtool -DSUMMARY=text -DVERSION=x.y.z -DCOMMANDS=a;b -DHELP2MAN=path
#   -DOUTPUT=udtool.1
# help2man shows the tool's --help; the --help of each of COMMANDS follows under COMMAND
# OPTIONS, verbatim. The version comes from the project, not from the tool.
foreach(variable TOOL NAME SUMMARY VERSION HELP2MAN OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "qx_man_page.cmake: ${variable} is not set")
  endif()
endforeach()

set(include_text "[COMMAND OPTIONS]\n")
foreach(command IN LISTS COMMANDS)
  execute_process(COMMAND "${TOOL}" ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${command} --help failed (${status})")
  endif()
  # Verbatim in roff: backslashes escaped, and no line may start a request.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND include_text ".SS \"${NAME} ${command}\"\n.nf\n${help}.fi\n")
endforeach()
file(WRITE "${OUTPUT}.include" "${include_text}")

execute_process(
  COMMAND "${HELP2MAN}" --no-info --no-discard-stderr --section=1 "--name=${SUMMARY}"
          "--version-string=${VERSION}" "--include=${OUTPUT}.include" "--output=${OUTPUT}"
          "${TOOL}"
  RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${TOOL}: ${errors}")
endif()
