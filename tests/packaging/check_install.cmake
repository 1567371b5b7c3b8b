# Installs helper_ipc from BUILD_DIR into a fresh prefix under WORK, checks the installed headers,
# then configures, builds and runs a consumer project that finds it with find_package(helper_ipc):
# a C++ program and a C program.
file(REMOVE_RECURSE ${WORK})
function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}):\n${out}")
  endif()
  message(STATUS "${out}")
endfunction()
step(${CMAKE_COMMAND} --install ${BUILD_DIR} --component helper_ipc --prefix ${WORK}/prefix)
# Clients get the protocol's headers, not the daemon's platform calls; and every header that is
# installed compiles on its own with only the installed ones beside it.
set(include_dir ${WORK}/prefix/include)
if(EXISTS ${include_dir}/helper_ipc/platform.h)
  message(FATAL_ERROR "platform.h is installed for client applications")
endif()
file(GLOB headers ${include_dir}/helper_ipc/*.h)
list(LENGTH headers count)
if(count LESS 2)
  message(FATAL_ERROR "no headers installed under ${include_dir}/helper_ipc")
endif()
foreach(header IN LISTS headers)
  step(${CXX_COMPILER} -std=c++20 -fsyntax-only -I${include_dir} -include ${header} -x c++
       /dev/null)
endforeach()
step(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK}/build -DCMAKE_PREFIX_PATH=${WORK}/prefix
     -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_C_COMPILER=${C_COMPILER})
step(${CMAKE_COMMAND} --build ${WORK}/build)
step(${WORK}/build/consumer)
step(${WORK}/build/c_consumer)
