# SPDX-License-Identifier: MIT
# The host tool as a Debian package, minder-tool_VERSION_ARCH.deb, made by
# "cpack -G DEB" in a build of the tool (scripts/release). Its files are a
# component of their own, deb, which no plain install touches: the tool
# stripped, its manual page compressed, and under
# /usr/share/doc/minder-tool/ the licence as Debian's machine-readable
# copyright file and a Debian changelog, as Debian's policy wants them. The
# run-time dependencies come from the binary, through dpkg-shlibdeps.
set(deb_contact "The minder developers <minder@example.org>")
set(deb_doc share/doc/minder-tool)
set(deb_dir ${CMAKE_BINARY_DIR}/deb)

# The copyright file: the licence's permission text as a "License: Expat"
# paragraph, each line indented by one blank, an empty line as " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]*)\n+(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: no copyright line followed by the licence's text")
endif()
set(holder ${CMAKE_MATCH_1})
string(REPLACE "\n\n" "\n.\n" text "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " text "${text}")
file(WRITE ${deb_dir}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: minder\n"
     "\n"
     "Files: *\n"
     "Copyright: ${holder}\n"
     "License: Expat\n"
     " ${text}\n")

# The Debian changelog: one entry for this version, dated by the release's
# commit when SOURCE_DATE_EPOCH says so; CHANGELOG.md beside it says what
# changed.
string(TIMESTAMP deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${deb_dir}/changelog
     "minder-tool (${PROJECT_VERSION}) unstable; urgency=medium\n"
     "\n"
     "  * Release ${PROJECT_VERSION}; CHANGELOG.md.gz lists what it changed.\n"
     "\n"
     " -- ${deb_contact}  ${deb_date}\n")

install(TARGETS minder-tool RUNTIME DESTINATION bin COMPONENT deb EXCLUDE_FROM_ALL)
# Stripped as Debian strips its packages' programs.
install(CODE "
  execute_process(COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note
                          --strip-unneeded \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/minder-tool\"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR \"strip minder-tool: failed\")
  endif()
" COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${deb_dir}/copyright DESTINATION ${deb_doc} COMPONENT deb EXCLUDE_FROM_ALL)
# Compressed as Debian's policy asks: gzip -9n, so no name or time stamp.
install(CODE "
  set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  file(MAKE_DIRECTORY \"\${root}/share/man/man1\" \"\${root}/${deb_doc}\")
  foreach(pair \"${CMAKE_SOURCE_DIR}/man/minder-tool.1=share/man/man1/minder-tool.1.gz\"
               \"${deb_dir}/changelog=${deb_doc}/changelog.gz\"
               \"${CMAKE_SOURCE_DIR}/CHANGELOG.md=${deb_doc}/CHANGELOG.md.gz\")
    string(REPLACE \"=\" \";\" pair \"\${pair}\")
    list(GET pair 0 from)
    list(GET pair 1 to)
    execute_process(COMMAND gzip -9n -c \"\${from}\" OUTPUT_FILE \"\${root}/\${to}\"
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"gzip \${from}: failed\")
    endif()
  endforeach()
" COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME minder-tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${deb_contact})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL deb)
set(CPACK_DEBIAN_DEB_PACKAGE_NAME minder-tool)
set(CPACK_DEBIAN_DEB_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "host tool for the minder process supervisor\n"
       "minder supervises the programs of an embedded Linux device: it starts\n"
       "them, restarts them when they end and installs the upgrades they ask for.\n"
       "minder-tool tells, on the build host, what minder will make of a program\n"
       "directory, an upgrade package or a boot-check record, builds and\n"
       "checks upgrade packages, and rehearses an upgrade on an emulated board.")
# Rehearsals emulate the board with a static qemu: one on PATH, else the tool
# fetches Debian's into its cache.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS qemu-user-static)
include(CPack)
