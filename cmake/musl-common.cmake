# SPDX-License-Identifier: MIT
# Shared part of the musl toolchain files. A board's file names two triplets:
#   MINDER_GNU_TRIPLET   Debian's cross g++ (g++-TRIPLET): libstdc++ headers,
#                        code generation, binutils
#   MINDER_MUSL_TRIPLET  musl-dev's C driver (TRIPLET-gcc) and headers
# and everything else follows from them. Otherwise the caller sets:
#   MINDER_MUSL_CC   C compiler driver for musl (compiles cJSON, links everything)
#   MINDER_GXX       g++ whose libstdc++ headers the C++ sources see
#   MINDER_GXX_HEADERS  libstdc++ include directories of that g++
#   MINDER_MUSL_INCLUDE musl's include directory
# The daemon uses nothing from libstdc++ beyond its headers, so C++ sources
# compile with g++ against musl's headers, and every program links through the
# musl C driver without libstdc++: a libstdc++ symbol that creeps in fails the
# link with an undefined reference.
set(MINDER_MUSL ON CACHE BOOL "Built against musl (set by the toolchain file)")
if(MINDER_GNU_TRIPLET)
  set(MINDER_MUSL_CC ${MINDER_MUSL_TRIPLET}-gcc)
  set(MINDER_GXX ${MINDER_GNU_TRIPLET}-g++)
  execute_process(COMMAND ${MINDER_GXX} -dumpversion OUTPUT_VARIABLE minder_gcc_version
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(MINDER_GXX_HEADERS /usr/${MINDER_GNU_TRIPLET}/include/c++/${minder_gcc_version}
      /usr/${MINDER_GNU_TRIPLET}/include/c++/${minder_gcc_version}/${MINDER_GNU_TRIPLET})
  set(MINDER_MUSL_INCLUDE /usr/include/${MINDER_MUSL_TRIPLET})
  # cmake --install strips with it.
  find_program(CMAKE_STRIP NAMES ${MINDER_GNU_TRIPLET}-strip)
endif()
set(CMAKE_C_COMPILER ${MINDER_MUSL_CC})
set(CMAKE_CXX_COMPILER ${MINDER_GXX})
# musl's licence, installed with static builds (cmake/notices.cmake): the
# copyright file of Debian's musl-dev, the same for every architecture.
set(MINDER_MUSL_LICENSE /usr/share/doc/musl-dev/copyright CACHE FILEPATH
    "musl's licence text, installed with static builds")

execute_process(COMMAND ${MINDER_GXX} -print-file-name=include
  OUTPUT_VARIABLE minder_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
set(minder_includes "")
foreach(dir ${MINDER_GXX_HEADERS} ${MINDER_MUSL_INCLUDE} ${minder_gcc_include})
  string(APPEND minder_includes " -isystem ${dir}")
endforeach()
# libstdc++'s os_defines.h asks __GLIBC_PREREQ, which musl does not define.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc${minder_includes} '-D__GLIBC_PREREQ(a,b)=0'")
set(CMAKE_CXX_LINK_EXECUTABLE
  "${MINDER_MUSL_CC} <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
