# Stands in for a group of tests that cannot run here:
#   cmake -DWHAT="the Windows tests" -DREASON="..." [-DREQUIRED_IN_CI=ON] -P skip.cmake
# It prints one SKIPPED line with the reason. With REQUIRED_IN_CI, a CI run (CI=true), where
# every test that can run has to, fails instead. A -P script cannot choose its exit status before
# CMake 3.29, so the test's SKIP_REGULAR_EXPRESSION recognises the skip instead: it matches an
# output that is the first line alone.
message(NOTICE "SKIPPED: ${WHAT} ${REASON}")
if(REQUIRED_IN_CI AND "$ENV{CI}" STREQUAL "true")
    message(FATAL_ERROR "CI is \"true\": here ${WHAT} have to run.")
endif()
