# Installs helper_ipc from BUILD_DIR into a fresh prefix under WORK, checks the installed headers
# and what the shared C library exports and contains, then configures, builds and runs a consumer
# project that finds it with find_package(helper_ipc): a C++ program and a C program.
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
foreach(header IN LISTS headers)
  step(${CXX_COMPILER} -std=c++20 -fsyntax-only -I${include_dir} -include ${header} -x c++
       /dev/null)
endforeach()
# The C library exports its C functions and nothing else, and carries none of the daemon's code.
# (The consumers below fail to build when headers or libraries are missing.)
file(GLOB c_library ${WORK}/prefix/lib*/libhelper_ipc_c.so ${WORK}/prefix/lib*/libhelper_ipc_c.dylib)
execute_process(COMMAND ${NM} -g --defined-only ${c_library} OUTPUT_VARIABLE exported
                RESULT_VARIABLE rc)
string(REGEX MATCHALL "[^\n]+" exported "${exported}")
set(count 0)
foreach(line IN LISTS exported)
  if(NOT line MATCHES " _?helper_ipc_[a-z0-9_]+$")
    message(FATAL_ERROR "libhelper_ipc_c exports more than its C functions: ${line}")
  endif()
  math(EXPR count "${count} + 1")
endforeach()
if(NOT rc EQUAL 0 OR count LESS 20)
  message(FATAL_ERROR "nm found ${count} C functions in ${c_library}")
endif()
execute_process(COMMAND ${NM} -C ${c_library} OUTPUT_VARIABLE all_symbols)
if(all_symbols MATCHES "[^\n]*(pelmor::|accept_connection|peer_uid|chmod_nofollow|spawn_close|open_pipe|pipe_nosigpipe)[^\n]*")
  message(FATAL_ERROR "libhelper_ipc_c holds the daemon's code: ${CMAKE_MATCH_0}")
endif()
step(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK}/build -DCMAKE_PREFIX_PATH=${WORK}/prefix
     -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_C_COMPILER=${C_COMPILER})
step(${CMAKE_COMMAND} --build ${WORK}/build)
step(${WORK}/build/consumer)
step(${WORK}/build/c_consumer)
