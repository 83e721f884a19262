# Renders one manual page as plain text (no bold or underline, 80 columns)
# with CR LF line ends:  cmake -DGROFF=... -DPAGE=... -DOUT=... -P this file
execute_process(
  COMMAND ${GROFF} -man -Tascii -P-cbou -rLL=78n -rIN=7n ${PAGE}
  OUTPUT_VARIABLE text
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "groff failed on ${PAGE}")
endif()
string(REGEX REPLACE "\r?\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
