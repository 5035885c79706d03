# What `cmake --install` puts under the prefix, and the Debian package made
# from it by `cpack -G DEB` (from a Release build: /usr, stripped).
include(GNUInstallDirs)
# The unit names the installed program, so it is made at install time,
# when the prefix is known (cpack installs into /usr).
set(VELDRUM_UNIT ${CMAKE_BINARY_DIR}/generated/veldrum@.service)
install(CODE "set(VELDRUM_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/scripts/systemd/veldrum@.service.in\" \"${VELDRUM_UNIT}\" @ONLY)")

install(TARGETS veldrum stationsim lissdump RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# lib/systemd/system under the prefix: /usr/lib/... for the package,
# /usr/local/lib/... by hand; systemd reads both.
install(FILES ${VELDRUM_UNIT} DESTINATION lib/systemd/system)
install(FILES db/schema.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/veldrum)
install(FILES scripts/example/VELDRUM.INI scripts/example/KVR.ini scripts/example/lmhosts
        DESTINATION ${CMAKE_INSTALL_DATADIR}/veldrum/example)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES db/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME README.index.md)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veldrum)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VelDrum maintainers <veldrum@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "disk loop server for one seismic station")
set(CPACK_PACKAGE_DESCRIPTION "VelDrum keeps a NetBIOS session to a station's acquisition server,
records its channels into ring files indexed in an ODBC database, and
serves them as Mini-SEED over LISS, SeedLink and the FDSN web services,
with a status page and Prometheus metrics. One systemd instance
(veldrum@STATION) runs each station.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps adds the libraries the programs link; these are loaded by
# name at run time (the ODBC driver manager's tools and the SQLite driver)
# or needed by the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "unixodbc, libsqliteodbc, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "odbc-postgresql, sqlite3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/scripts/debian/postinst
    ${CMAKE_SOURCE_DIR}/scripts/debian/prerm
    ${CMAKE_SOURCE_DIR}/scripts/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
