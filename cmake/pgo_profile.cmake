# Collects the counts for profile-guided optimisation (see CMakeLists.txt):
# clears the counts of an earlier session from COUNTS, then runs the session
# through the instrumented module in MODULE_DIR, which writes them there.
#   cmake -DPYTHON=... -DSESSION=... -DMODULE_DIR=... -DCOUNTS=... -P pgo_profile.cmake
file(GLOB stale "${COUNTS}/*.gcda")
if(stale)
  file(REMOVE ${stale})
endif()
execute_process(COMMAND "${PYTHON}" "${SESSION}" "${MODULE_DIR}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the profiling session failed (${status}); configure with -DQUORVANE_PGO=OFF to build without it")
endif()
file(GLOB counts "${COUNTS}/*.gcda")
if(NOT counts)
  message(FATAL_ERROR "the profiling session left no counts in ${COUNTS}")
endif()
