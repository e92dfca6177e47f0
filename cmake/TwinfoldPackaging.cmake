# What `cpack` makes from a build (scripts/release.sh runs it on the two release builds):
#   the native build:   twinfold_<version>_amd64.deb: the program, its manual page, the copyright
#                       and changelog files, the description below, and dependencies found by
#                       dpkg-shlibdeps (which comes with dpkg-dev)
#   the Windows build:  Twinfold-<version>-win64.zip: Twinfold.exe and a short README.txt
# Programs are stripped as they go into either.
set(TWINFOLD_PACKAGE_CONTACT "Twinfold maintainers <maintainers@twinfold.invalid>" CACHE STRING
    "Name and address that the Linux package gives as its maintainer")

set(CPACK_PACKAGE_NAME Twinfold)
set(CPACK_PACKAGE_VENDOR "the Twinfold developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TWINFOLD_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mirror one folder onto another")
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Twinfold-${PROJECT_VERSION}-win64)
  # The program and its readme in a folder of their own, where the settings file will land too.
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/docs/windows-readme.txt.in ${CMAKE_CURRENT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS twinfold_windows RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME twinfold)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The first line of the description is the summary above.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "twinfold makes a destination folder a mirror of a source folder in two
passes: it copies what the destination lacks and the files whose sizes
differ, then removes what the source lacks (unless NoDelete is given).
Every copy lands under a temporary name and is renamed into place, so a
crash, a kill or a full disk leaves each file either its old version or
a complete copy. Links are copied as links and never followed.")
  # Debian keeps a package's changelog and copyright file beside its other documentation.
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/twinfold)
  set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/docs/debian/changelog > ${changelog}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/debian/changelog VERBATIM)
  add_custom_target(twinfold_package_docs ALL DEPENDS ${changelog})
  install(FILES ${changelog} ${CMAKE_CURRENT_SOURCE_DIR}/docs/debian/copyright DESTINATION ${doc})
  # A release must say what it is: the changelog's newest entry names the project's version.
  file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/docs/debian/changelog newest LIMIT_COUNT 1)
  if(NOT newest MATCHES "^twinfold \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "docs/debian/changelog has no entry for ${PROJECT_VERSION} at its top")
  endif()
endif()

include(CPack)
