# Configures a fresh deliverables tree with the test hooks switched on and
# passes only when that configuration is refused: the hooks must never reach
# the deliverables.
#   cmake -DSOURCE_DIR=<src> -DWORK_DIR=<scratch dir> -P check_hooks_refused.cmake
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/toolchain-i686.cmake
    -DPENNANT_DELIVERABLES=ON -DBUILD_TESTING=OFF -DPENNANT_TEST_HOOKS=ON
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
file(REMOVE_RECURSE ${WORK_DIR})
if(result EQUAL 0)
  message(FATAL_ERROR "the deliverables tree was configured with the test hooks")
endif()
if(NOT output MATCHES "PENNANT_TEST_HOOKS")
  message(FATAL_ERROR "the configuration failed for another reason:\n${output}")
endif()
message(STATUS "the deliverables tree refuses the test hooks")
