# The C example in README.md is the file examples/quickstart.c, verbatim.
file(READ ${README} readme)
file(READ ${EXAMPLE} example)
string(FIND "${readme}" "${example}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md does not contain examples/quickstart.c verbatim")
endif()
