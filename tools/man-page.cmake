# Writes the manual page of the program from its --help text, so that the two never disagree.
#   cmake -DPROGRAM=path -DOUTPUT=path -DVERSION=x.y -P tools/man-page.cmake
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed")
endif()
# roff takes a leading dot or apostrophe as a request and a backslash as an escape.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" help "${help}")
string(REGEX REPLACE "^[^\n]*\n\n" "" body "${help}")
set(page ".TH TARNWICK 1 \"\" \"Tarnwick ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\ntarnwick \\- a remote-terminal client for SSH, Telnet, TLS and serial lines\n")
string(APPEND page ".SH DESCRIPTION\n.nf\n${body}.fi\n")
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
file(WRITE ${OUTPUT} "${page}")
