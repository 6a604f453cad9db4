# Installation and packages: the tool, its manual page, the licence and the
# changelog on Linux (a .deb); the tool, a short readme and the licence on
# Windows (a .zip).

include(GNUInstallDirs)

if(WIN32)
  # Windows users unpack the archive anywhere: everything sits at its top.
  set(LOMVERA_INSTALL_BINDIR .)
  configure_file(doc/README-windows.txt.in ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  set(LOMVERA_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  configure_file(doc/lomvera.1.in ${CMAKE_CURRENT_BINARY_DIR}/lomvera.1 @ONLY)
  # The changelog's latest entry is the version being built.
  file(STRINGS doc/changelog latest_change LIMIT_COUNT 1)
  if(NOT latest_change MATCHES "^lomvera \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "doc/changelog does not begin with an entry for version ${PROJECT_VERSION}")
  endif()
  configure_file(doc/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog COPYONLY)
  # Debian keeps manual pages and changelogs compressed with gzip -9n (no
  # name or time stamp, so that every build gives the same bytes). Building
  # the tool builds them too, so that what `cmake --install` installs is
  # there whichever targets were built.
  set(compressed_documents ${CMAKE_CURRENT_BINARY_DIR}/lomvera.1.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  foreach(compressed IN LISTS compressed_documents)
    string(REGEX REPLACE "\\.gz$" "" document ${compressed})
    add_custom_command(OUTPUT ${compressed} COMMAND gzip -9nkf ${document} DEPENDS ${document} VERBATIM)
  endforeach()
  add_custom_target(compressed_documents DEPENDS ${compressed_documents})
  add_dependencies(lomvera compressed_documents)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lomvera.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
endif()
install(TARGETS lomvera RUNTIME DESTINATION ${LOMVERA_INSTALL_BINDIR})

set(CPACK_PACKAGE_NAME lomvera)
set(CPACK_PACKAGE_VENDOR "Lomvera")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Removes stripes from scanned TGA pictures")
set(LOMVERA_MAINTAINER "Lomvera maintainers <lomvera@example.org>" CACHE STRING
    "Who answers for the package: a name and a contact address, as the .deb's Maintainer field gives them")
set(CPACK_PACKAGE_CONTACT "${LOMVERA_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LOMVERA_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The long description; CPack puts the summary before it as the synopsis.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Lomvera measures the brightness and colour offset that scanners with\n"
    "interleaved sensor lines leave on every second column or row of a scan,\n"
    "and writes a corrected copy. It reads uncompressed 24- and 32-bit TGA\n"
    "files and writes 24-bit TGA files, one file or a whole directory per run.")
endif()
include(CPack)
