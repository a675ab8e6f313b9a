# Writes a program's man page from its own --help and --version (help2man) and the sections
# of an include file, compressed as Debian wants it. Called as
#   cmake -DHELP2MAN=<help2man> -DPROGRAM=<program> -DNAME=<one line> -DINCLUDE=<file.h2m>
#         -DOUTPUT=<page.1.gz> -P man_page.cmake
execute_process(
  COMMAND "${HELP2MAN}" --no-info --section=1 "--name=${NAME}" "--include=${INCLUDE}"
          "--output=${OUTPUT}.tmp" "${PROGRAM}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed on ${PROGRAM} (${status})")
endif()
# The programs print "usage: ..." first, which help2man leaves in the description: it becomes
# the synopsis.
file(READ "${OUTPUT}.tmp" page)
string(REGEX REPLACE "\\.SH DESCRIPTION\nusage: ([^\n]*)\n" ".SH SYNOPSIS\n\\1\n.SH DESCRIPTION\n" page "${page}")
file(WRITE "${OUTPUT}.tmp" "${page}")
execute_process(COMMAND gzip -9nc "${OUTPUT}.tmp" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE status)
file(REMOVE "${OUTPUT}.tmp")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on the page of ${PROGRAM}")
endif()
