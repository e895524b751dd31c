# SPDX-License-Identifier: MIT
# cJSON for the daemon: Debian's libcjson, linked dynamically, or its source
# compiled in (static builds, and builds for a C library Debian ships no
# libcjson for). Static builds take the source from the cache that
# scripts/fetch-sources fills unless CJSON_SOURCE_DIR names another.
if(MINDER_STATIC AND NOT CJSON_SOURCE_DIR)
  if(DEFINED ENV{MINDER_CACHE})
    set(cache $ENV{MINDER_CACHE})
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(cache $ENV{XDG_CACHE_HOME}/minder)
  else()
    set(cache $ENV{HOME}/.cache/minder)
  endif()
  set(CJSON_SOURCE_DIR ${cache}/cjson CACHE PATH "cJSON source compiled into the daemon" FORCE)
endif()

if(NOT CJSON_SOURCE_DIR)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET libcjson)
  set(MINDER_CJSON PkgConfig::CJSON)
  return()
endif()

if(NOT EXISTS ${CJSON_SOURCE_DIR}/cJSON.c OR NOT EXISTS ${CJSON_SOURCE_DIR}/cJSON.h)
  message(FATAL_ERROR "no cJSON.c and cJSON.h in CJSON_SOURCE_DIR=${CJSON_SOURCE_DIR}: "
                      "run scripts/fetch-sources cjson, or name a cJSON source tree")
endif()
enable_language(C)
# The sources include <cjson/cJSON.h>, as with the system's library.
configure_file(${CJSON_SOURCE_DIR}/cJSON.h ${CMAKE_BINARY_DIR}/cjson/cjson/cJSON.h COPYONLY)
add_library(cjson_inside STATIC ${CJSON_SOURCE_DIR}/cJSON.c)
target_include_directories(cjson_inside SYSTEM PUBLIC ${CMAKE_BINARY_DIR}/cjson)
target_compile_options(cjson_inside PRIVATE -ffunction-sections -fdata-sections)
target_link_libraries(cjson_inside PUBLIC m)
set(MINDER_CJSON cjson_inside)
