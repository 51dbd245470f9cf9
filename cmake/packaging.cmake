# What `cmake --install` puts on a machine and the packages CPack makes of it: the shipped
# program with its manual page (on Windows, with its two notes). nexivane-dev, the stand-in
# gallery, the tests and the benchmarks are development tools and are never installed.
include(GNUInstallDirs)

set(NEXIVANE_PACKAGE_MAINTAINER "Nexivane developers <developers@nexivane.example>" CACHE STRING
    "The maintainer named in the Debian package (a gallery that ships its own build names itself)")

if(WIN32)
  # The zip unpacks into one folder that holds the program and its two notes side by side.
  install(TARGETS nexivane RUNTIME DESTINATION .)
  # Text with CR LF line ends, so that every Windows editor shows its lines.
  configure_file(${PROJECT_SOURCE_DIR}/doc/SETTINGS.txt.in ${PROJECT_BINARY_DIR}/package/SETTINGS.txt
                 @ONLY NEWLINE_STYLE CRLF)
  # The README is copied byte for byte but for its line ends: configure_file would replace any
  # @word@ in it.
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(REPLACE "\r\n" "\n" readme "${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/package/README.txt "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${PROJECT_BINARY_DIR}/package/README.txt ${PROJECT_BINARY_DIR}/package/SETTINGS.txt
          DESTINATION .)
else()
  install(TARGETS nexivane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The page names the version and the gallery this build talks to.
  configure_file(${PROJECT_SOURCE_DIR}/doc/nexivane.1.in ${PROJECT_BINARY_DIR}/doc/nexivane.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/doc/nexivane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_VENDOR "Nexivane")
set(CPACK_PACKAGE_CONTACT "${NEXIVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-line uploader for a picture gallery")
# Wrapped as Debian shows it; the empty line parts the two paragraphs.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "nexivane uploads files and directories to a picture-gallery web site in\n"
    "one go. It asks the gallery for its upload limits, walks the paths it is\n"
    "given, packs every accepted file into one archive and sends it in a\n"
    "single HTTP POST, then prints the gallery's answer.\n"
    "\n"
    "This build uploads to http://${NEXIVANE_GALLERY_HOST}:${NEXIVANE_GALLERY_PORT}/.")
# Debian ships programs without their debugging symbols; stripped, the zipped program is about a
# tenth of its size.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-win64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NEXIVANE_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Debian keeps manual pages compressed; `cmake --install` leaves the page as it is.
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/compress-man-pages.cmake)
endif()
include(CPack)
