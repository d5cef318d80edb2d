# cmake -DPROGRAM=path -DNAME=name -DSUMMARY=text -DSECTION_DATE=date
#       -DRELEASE=text -DOUTPUT=file.1 -P ManFromHelp.cmake
# A manual page whose body is the program's own --help text, so that it never
# falls behind the options the program accepts.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed")
endif()
# roff: a leading dot or quote would start a request; backslashes escape.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
file(WRITE ${OUTPUT} ".TH ${NAME} 1 \"${SECTION_DATE}\" \"Kestrel1 ${RELEASE}\" \"User Commands\"
.SH NAME
${NAME} \\- ${SUMMARY}
.SH SYNOPSIS
.B ${NAME}
.RI [ options ]
.SH DESCRIPTION
The options and exit status, as
.B \"${NAME} \\-\\-help\"
prints them:
.PP
.nf
${help}.fi
.SH SEE ALSO
.BR kestrel1 (1)
")
