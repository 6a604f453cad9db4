# Installation and packages: the tool and its manual page on Linux (a .deb),
# the tool and a short readme on Windows (a .zip).

include(GNUInstallDirs)

if(WIN32)
  # Windows users unpack the archive anywhere: everything sits at its top.
  set(LOMVERA_INSTALL_BINDIR .)
  configure_file(doc/README-windows.txt.in ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)
else()
  set(LOMVERA_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  configure_file(doc/lomvera.1.in ${CMAKE_CURRENT_BINARY_DIR}/lomvera.1 @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lomvera.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(TARGETS lomvera RUNTIME DESTINATION ${LOMVERA_INSTALL_BINDIR})

set(CPACK_PACKAGE_NAME lomvera)
set(CPACK_PACKAGE_VENDOR "Lomvera")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Removes stripes from scanned TGA pictures")
set(CPACK_PACKAGE_CONTACT "Lomvera maintainers")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
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
