# GoogleTest for the tests: the installed package by default. With PELMOR_GTEST_SOURCE_DIR naming
# GoogleTest's sources (on Debian /usr/src/googletest, from libgtest-dev), it is built from them
# inside this build instead, with the same compiler for the same target, and only when a test
# needs it. The cross builds use this: nothing built for another target is installed or kept
# outside their build trees. Either way the tests link GTest::gtest or GTest::gtest_main.
set(PELMOR_GTEST_SOURCE_DIR "" CACHE PATH
  "GoogleTest's sources, built with the tests instead of using the installed package")
if(PELMOR_GTEST_SOURCE_DIR)
  if(NOT EXISTS ${PELMOR_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "PELMOR_GTEST_SOURCE_DIR: ${PELMOR_GTEST_SOURCE_DIR} holds no "
                        "CMakeLists.txt (on Debian: apt-get install libgtest-dev)")
  endif()
  # The library alone: the tests use no mocks, and nothing of it is installed with the project.
  set(BUILD_GMOCK OFF)
  set(INSTALL_GTEST OFF)
  add_subdirectory(${PELMOR_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(lib gtest gtest_main)
    if(NOT TARGET GTest::${lib})  # older versions name them without the namespace only
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()
