# Installing the POSIX programs (cmake --install) and the Debian package of
# them (cpack -G DEB, run by scripts/package). Native builds only.
include(GNUInstallDirs)

set(KESTREL_RELEASE_TEXT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
if(PROJECT_VERSION_MINOR LESS 10)
  set(KESTREL_RELEASE_TEXT "${PROJECT_VERSION_MAJOR}.0${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
endif()

# Manual pages, compressed as Debian installs them. kestrel1's is written by
# hand; kestrel1-cli's is made from its --help text.
set(man_dir ${CMAKE_BINARY_DIR}/man)
set(man_pages ${man_dir}/kestrel1.1.gz)
add_custom_command(OUTPUT ${man_dir}/kestrel1.1.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/man/kestrel1.1 > ${man_dir}/kestrel1.1.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/kestrel1.1
  VERBATIM)
if(TARGET kestrel1-cli)
  add_custom_command(OUTPUT ${man_dir}/kestrel1-cli.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:kestrel1-cli> -DNAME=kestrel1-cli
      "-DSUMMARY=scripted SSH protocol 1.5 session without a window" -DSECTION_DATE=2026-12-07
      -DRELEASE=${KESTREL_RELEASE_TEXT} -DOUTPUT=${man_dir}/kestrel1-cli.1
      -P ${PROJECT_SOURCE_DIR}/cmake/ManFromHelp.cmake
    COMMAND gzip -9nf ${man_dir}/kestrel1-cli.1
    DEPENDS kestrel1-cli ${PROJECT_SOURCE_DIR}/cmake/ManFromHelp.cmake
    VERBATIM)
  list(APPEND man_pages ${man_dir}/kestrel1-cli.1.gz)
endif()
add_custom_target(man_pages ALL DEPENDS ${man_pages})

install(TARGETS kestrel1 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET kestrel1-cli)
  install(TARGETS kestrel1-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian wants its copyright and changelog in the package's doc folder.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kestrel1)
add_custom_command(OUTPUT ${man_dir}/changelog.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/package/changelog > ${man_dir}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/package/changelog
  VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${man_dir}/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/docs/package/copyright ${man_dir}/changelog.gz DESTINATION ${doc_dir})

set(CPACK_PACKAGE_NAME kestrel1)
set(CPACK_PACKAGE_VENDOR "Orrin Software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SSH protocol 1.5 client for terminals")
set(CPACK_PACKAGE_CONTACT "Orrin Software <kestrel1@orrin.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION "kestrel1 logs in to old routers, switches and embedded boards that speak
only SSH protocol 1.5, and shows the session with the engine and terminal of
the Kestrel1 handheld program. kestrel1-cli runs such a session from a
script, without a terminal.")
# Dependencies from the binaries themselves (dpkg-shlibdeps), not a list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
