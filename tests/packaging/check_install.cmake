# Installs helper_ipc from BUILD_DIR into a fresh prefix under WORK, then configures, builds and
# runs a consumer project that finds it with find_package(helper_ipc): a C++ program and a C
# program.
file(REMOVE_RECURSE ${WORK})
function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}):\n${out}")
  endif()
  message(STATUS "${out}")
endfunction()
step(${CMAKE_COMMAND} --install ${BUILD_DIR} --component helper_ipc --prefix ${WORK}/prefix)
step(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK}/build -DCMAKE_PREFIX_PATH=${WORK}/prefix
     -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_C_COMPILER=${C_COMPILER})
step(${CMAKE_COMMAND} --build ${WORK}/build)
step(${WORK}/build/consumer)
step(${WORK}/build/c_consumer)
