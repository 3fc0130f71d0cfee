# Installation and the Debian package: the service, its systemd unit, the
# udev rule that starts it with the scanner, and its manual page.
include(GNUInstallDirs)

install(TARGETS TirnSerial RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tirnserial@.service ${CMAKE_CURRENT_LIST_DIR}/tirnserial-scanner.target
        DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/70-tirnserial.rules DESTINATION /lib/udev/rules.d)
# What Debian asks of every package: its history, its copyright, and the
# reason for each lintian warning it leaves.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright DESTINATION share/doc/tirnserial)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides DESTINATION share/lintian/overrides
        RENAME tirnserial)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tirnserial.default DESTINATION /etc/default RENAME tirnserial)

set(manpage ${CMAKE_CURRENT_BINARY_DIR}/TirnSerial.8.gz)
add_custom_command(
  OUTPUT ${manpage}
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/TirnSerial.8 > ${manpage}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/TirnSerial.8
  VERBATIM)
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(
  OUTPUT ${changelog}
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/debian/changelog > ${changelog}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
  VERBATIM)
add_custom_target(manpage ALL DEPENDS ${manpage} ${changelog})
install(FILES ${manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${changelog} DESTINATION share/doc/tirnserial)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tirnserial)
set(CPACK_PACKAGE_VENDOR "TirnSerial")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relays barcode scans from a serial scanner to WebSocket clients")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TirnSerial developers <developers@tirnserial.org>")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "TirnSerial reads each scan from a barcode scanner on a USB serial adapter,
converts it from the scanner's code page and sends it as one JSON message
to every subscribed WebSocket client, for point-of-sale and warehouse web
apps. It serves a live page, /status and /metrics on the same port, can
speak TLS, take an access token and publish to an MQTT broker, and starts
with its scanner under systemd.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# ps counts running copies at start-up; keyboard scanners take their layouts
# from the system's keymaps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps, xkb-data")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
