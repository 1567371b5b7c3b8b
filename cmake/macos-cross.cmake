# Cross-compiles for macOS from Linux with Zig's clang, which carries the macOS SDK headers and
# link stubs for libSystem. Used by scripts/macos-cross; the binaries cannot run on the build
# machine, so building and linking them is what this checks.
#
# Set on the command line (scripts/macos-cross does):
#   PELMOR_ZIG                  the zig executable
#   PELMOR_MACOS_ARCH           arm64 or x86_64
#   PELMOR_MACOS_MIN            the oldest macOS to run on, for example 11.0
# and PELMOR_GTEST_SOURCE_DIR, so that GoogleTest is built for the target with the tests.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)  # Darwin 20 is macOS 11; only marks the build as a cross build

# The compiler checks that CMake runs in scratch projects see these too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  PELMOR_ZIG PELMOR_MACOS_ARCH PELMOR_MACOS_MIN)

foreach(var PELMOR_ZIG PELMOR_MACOS_ARCH PELMOR_MACOS_MIN)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "macos-cross.cmake needs -D${var}=...")
  endif()
endforeach()

if(PELMOR_MACOS_ARCH STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
  set(zig_arch aarch64)
elseif(PELMOR_MACOS_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(zig_arch x86_64)
else()
  message(FATAL_ERROR "PELMOR_MACOS_ARCH is arm64 or x86_64, not ${PELMOR_MACOS_ARCH}")
endif()
set(zig_target ${zig_arch}-macos.${PELMOR_MACOS_MIN})

# CMake runs the compiler, the archiver and the indexer as single programs, so each zig sub-command
# gets a small wrapper beside the zig executable. The target is part of the compiler's name: both
# architectures can be configured at the same time. Zig's linker refuses -v, which CMake passes
# (as -Wl,-v) when it asks the compiler about its ABI; the wrappers leave it out.
cmake_path(GET PELMOR_ZIG PARENT_PATH zig_dir)
set(wrappers ${zig_dir}/cmake-wrappers)
function(pelmor_zig_wrapper name)
  list(JOIN ARGN " " args)
  set(text "#!/bin/sh\nfor arg do\n  shift\n  [ \"$arg\" = -Wl,-v ] || set -- \"$@\" \"$arg\"\ndone\n")
  string(APPEND text "exec \"${PELMOR_ZIG}\" ${args} \"$@\"\n")
  set(path ${wrappers}/${name})
  if(EXISTS ${path})
    file(READ ${path} old)
    if(old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE ${path}.new "${text}")
  file(CHMOD ${path}.new PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(RENAME ${path}.new ${path})
endfunction()
pelmor_zig_wrapper(${zig_target}-c++ c++ -target ${zig_target})
pelmor_zig_wrapper(${zig_target}-cc cc -target ${zig_target})
pelmor_zig_wrapper(zig-ar ar)
pelmor_zig_wrapper(zig-ranlib ranlib)

set(CMAKE_CXX_COMPILER ${wrappers}/${zig_target}-c++)
set(CMAKE_C_COMPILER ${wrappers}/${zig_target}-cc)
set(CMAKE_AR ${wrappers}/zig-ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${wrappers}/zig-ranlib CACHE FILEPATH "archive indexer")

# The target triple carries the architecture and the minimum macOS; no Xcode SDK to look for.
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)

# Libraries, headers and packages are looked for under zig's own folder only, never on the build
# machine: everything the target needs comes with the compiler or is built here.
list(APPEND CMAKE_FIND_ROOT_PATH ${zig_dir})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
