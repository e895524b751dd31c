# SPDX-License-Identifier: MIT
# The README, the changelog and the guides, installed side by side under
# share/doc/minder/ with the guides' pictures in images/. In the source tree
# the guides sit in docs/ and the README above them; the installed copies get
# their relative links rewritten for the flat layout, so that every link of
# an installed page names a page or picture installed beside it.
set(doc_out ${CMAKE_BINARY_DIR}/doc)
file(GLOB guides ${CMAKE_SOURCE_DIR}/docs/*.md)
set(pages ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${guides})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pages})
set(installed_pages)
foreach(page ${pages})
  file(READ ${page} text)
  string(REPLACE "](docs/" "](" text "${text}")
  string(REPLACE "](../README.md" "](README.md" text "${text}")
  string(REPLACE "](../CHANGELOG.md" "](CHANGELOG.md" text "${text}")
  get_filename_component(name ${page} NAME)
  file(WRITE ${doc_out}/${name} "${text}")
  list(APPEND installed_pages ${doc_out}/${name})
endforeach()
install(FILES ${installed_pages} DESTINATION share/doc/minder)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/images DESTINATION share/doc/minder)
