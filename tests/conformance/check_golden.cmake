# Makes the self-test's calls again with the modules of this build
# (conformance golden write) and requires the recorded SHA-256, and that the
# shipped file is the recorded one.
#   cmake -DPROGRAM=... -DMODULES=... -DSUFFIX=... -DOUT=... -DSHIPPED=... -DRECORDED=... -P check_golden.cmake
execute_process(COMMAND ${PROGRAM} golden write ${MODULES} ${SUFFIX} ${OUT}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "conformance golden write failed (exit status ${status})")
endif()
file(STRINGS ${RECORDED} line LIMIT_COUNT 1)
string(REGEX MATCH "^[0-9a-f]+" recorded "${line}")
file(SHA256 ${OUT} made)
file(SHA256 ${SHIPPED} shipped)
if(NOT made STREQUAL recorded)
  message(FATAL_ERROR "The self-test's calls made by this build have SHA-256 ${made}, "
          "${recorded} is recorded in ${RECORDED}: the modules' results or the calls changed. "
          "If the change is intended, copy ${OUT} to ${SHIPPED} and record its digest.")
endif()
if(NOT shipped STREQUAL recorded)
  message(FATAL_ERROR "${SHIPPED} has SHA-256 ${shipped}, not the recorded ${recorded}")
endif()
message(STATUS "the self-test's calls made again: SHA-256 ${made}, as recorded")
