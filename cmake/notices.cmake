# SPDX-License-Identifier: MIT
# Licence notices, installed under share/doc/minder/: minder's own, with the
# daemon and with the tool; and those of what a build carries inside: cJSON's
# whenever its source is compiled in, and musl's when the daemon is linked
# statically. These two are taken at configure time from where the code comes
# from (the cJSON source tree; Debian's musl-dev, or the file
# MINDER_MUSL_LICENSE names) and never kept in this repository.
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION share/doc/minder)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION share/doc/minder COMPONENT tool
        EXCLUDE_FROM_ALL)
if(CJSON_SOURCE_DIR)
  if(NOT EXISTS ${CJSON_SOURCE_DIR}/LICENSE)
    message(FATAL_ERROR "no LICENSE in CJSON_SOURCE_DIR=${CJSON_SOURCE_DIR}: "
                        "cJSON's licence must travel with every copy of the daemon")
  endif()
  install(FILES ${CJSON_SOURCE_DIR}/LICENSE DESTINATION share/doc/minder RENAME LICENSE.cJSON)
endif()

if(MINDER_STATIC)
  set(MINDER_MUSL_LICENSE "" CACHE FILEPATH "musl's licence text, installed with static builds")
  if(NOT MINDER_MUSL_LICENSE)
    file(GLOB found /usr/share/doc/musl-dev*/copyright)
    if(found)
      list(GET found 0 found)
      set(MINDER_MUSL_LICENSE ${found} CACHE FILEPATH "" FORCE)
    endif()
  endif()
  if(NOT EXISTS "${MINDER_MUSL_LICENSE}")
    message(FATAL_ERROR "a static build carries musl inside, and its licence must travel with "
                        "it: install Debian's musl-dev or name the text with -DMINDER_MUSL_LICENSE=FILE")
  endif()
  install(FILES ${MINDER_MUSL_LICENSE} DESTINATION share/doc/minder RENAME LICENSE.musl)
endif()
