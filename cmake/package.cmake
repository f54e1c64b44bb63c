# Installing, and the Debian package (CPack, DEB generator).
#
# `cmake --install` puts the four programs, the README with docs/, config.example and
# lobby.config.example under the prefix, and the systemd units in QUAREL_SYSTEMD_UNIT_DIR. The package
# (`cmake --build build --target package`, or scripts/package.sh for a Release build) holds the
# programs, stripped, in /usr/bin, the units in /lib/systemd/system, config.example with the status
# listener on as the conffile /etc/quarel/config, lobby.config.example as the conffile
# /etc/quarel/lobby.config, and the README with docs/,
# the copyright and the changelog in /usr/share/doc/quarel-server; its maintainer scripts create the
# system user `quarel` and, on purge only, remove the server's files in /var/lib/quarel.
include(GNUInstallDirs)
set(QUAREL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes (relative to the install prefix, or absolute)")
set(QUAREL_PACKAGE_MAINTAINER "Quarel MultiPlayer Server maintainers <maintainers@quarel-server.example.org>" CACHE STRING
    "The Debian package's Maintainer field")
set(QUAREL_DEB_REVISION 1 CACHE STRING "The Debian revision of the package's version")

# In the package and in every install.
install(TARGETS quarel-server quarel-query quarel-ctl quarel-lobby RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quarel-server COMPONENT programs)
# The README's links into docs/ (the host's references, the status page's screenshots) hold there too.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quarel-server/docs COMPONENT programs)

# `cmake --install` only. The units name /usr/bin/quarel-server and the README in /usr/share/doc, where
# the package puts them; under another prefix they are written with the installed paths.
install(FILES config.example lobby.config.example DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quarel-server COMPONENT units)
install(CODE "
  set(bindir \"${CMAKE_INSTALL_BINDIR}\")
  set(datadir \"${CMAKE_INSTALL_DATADIR}\")
  foreach(dir bindir datadir)
    if(NOT IS_ABSOLUTE \"\${\${dir}}\")
      set(\${dir} \"\${CMAKE_INSTALL_PREFIX}/\${\${dir}}\")
    endif()
  endforeach()
  foreach(unit quarel-server.service quarel-server@.service quarel-lobby.service)
    file(READ \"${CMAKE_SOURCE_DIR}/packaging/\${unit}\" text)
    string(REPLACE \"=/usr/bin/\" \"=\${bindir}/\" text \"\${text}\")
    string(REPLACE \"=file:/usr/share/\" \"=file:\${datadir}/\" text \"\${text}\")
    file(WRITE \"${CMAKE_BINARY_DIR}/packaging/\${unit}\" \"\${text}\")
  endforeach()
" COMPONENT units)
install(FILES ${CMAKE_BINARY_DIR}/packaging/quarel-server.service ${CMAKE_BINARY_DIR}/packaging/quarel-server@.service
              ${CMAKE_BINARY_DIR}/packaging/quarel-lobby.service
        DESTINATION ${QUAREL_SYSTEMD_UNIT_DIR} COMPONENT units)

# The package only. Debian 12 keeps units in /lib/systemd/system; the changelog is compressed as
# lintian expects (gzip -9n: no name, no time stamp, so the same text gives the same bytes).
set(QUAREL_DEB_VERSION "${PROJECT_VERSION}-${QUAREL_DEB_REVISION}")
set(QUAREL_DEB_DIR ${CMAKE_BINARY_DIR}/debian)
configure_file(packaging/debian/changelog ${QUAREL_DEB_DIR}/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9nc ${QUAREL_DEB_DIR}/changelog.Debian OUTPUT_FILE ${QUAREL_DEB_DIR}/changelog.Debian.gz
                RESULT_VARIABLE gzip_status)
if(NOT gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip could not compress the package's changelog")
endif()
install(FILES packaging/quarel-server.service packaging/quarel-server@.service packaging/quarel-lobby.service
        DESTINATION /lib/systemd/system COMPONENT deb EXCLUDE_FROM_ALL)
# The package's config is the sample with one line on: the status page and the admin API for this
# machine alone, on TCP 4175 beside the game's UDP ports (rarely taken), so that the page and quarel-ctl
# work right after the install.
file(READ ${CMAKE_SOURCE_DIR}/config.example QUAREL_SAMPLE_CONFIG)
string(REPLACE "\n#http\n" "\n# The package turns it on for this machine alone (quarel-ctl finds it here):\nhttp 127.0.0.1:4175\n"
       QUAREL_PACKAGE_CONFIG "${QUAREL_SAMPLE_CONFIG}")
if(QUAREL_PACKAGE_CONFIG STREQUAL QUAREL_SAMPLE_CONFIG)
  message(FATAL_ERROR "config.example has no \"#http\" line for the package's config to turn on")
endif()
file(WRITE ${QUAREL_DEB_DIR}/config "${QUAREL_PACKAGE_CONFIG}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/config.example)
install(FILES ${QUAREL_DEB_DIR}/config DESTINATION /etc/quarel COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES lobby.config.example DESTINATION /etc/quarel RENAME lobby.config COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES packaging/debian/copyright ${QUAREL_DEB_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quarel-server COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarel-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Quarel MultiPlayer dedicated game server")
set(CPACK_PACKAGE_DESCRIPTION "One process runs one game of up to 698 players on two UDP ports
(chat 4173, game 4174), with an optional lobby listing, and a status page,
metrics and an admin API over HTTP. quarel-query asks a running server for its
slots and map; quarel-ctl drives the admin API. quarel-lobby is a lobby any
community can run: it takes the servers' announcements, checks that each
answers, and publishes the list.")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs deb)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_PACKAGE_NAME quarel-server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUAREL_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUAREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# The system's CA store, against which HTTPS webhooks are checked.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
