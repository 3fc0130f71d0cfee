# Installation and the Debian package: the service, its systemd unit, the
# generator of the udev rules that start it with the configured scanners,
# and their manual pages.
include(GNUInstallDirs)

install(TARGETS TirnSerial RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# The compilers' version strings (.comment) are of no use on a box; strip
# leaves them, dh_strip would not.
install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/TirnSerial\"
                COMMAND_ERROR_IS_FATAL ANY)")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tirnserial@.service ${CMAKE_CURRENT_LIST_DIR}/tirnserial-scanner.target
        DESTINATION /lib/systemd/system)
install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/tirnserial-udev-rules DESTINATION ${CMAKE_INSTALL_SBINDIR})
# README has the administrator make a self-signed pair on the box itself.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/make-cert DESTINATION ${CMAKE_INSTALL_SBINDIR}
        RENAME tirnserial-make-cert)
# What Debian asks of every package: its history, its copyright, and the
# reason for each lintian warning it leaves.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright DESTINATION share/doc/tirnserial)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides DESTINATION share/lintian/overrides
        RENAME tirnserial)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tirnserial.default DESTINATION /etc/default RENAME tirnserial)

set(manpages)
foreach(page TirnSerial tirnserial-udev-rules tirnserial-make-cert)
  set(manpage ${CMAKE_CURRENT_BINARY_DIR}/${page}.8.gz)
  add_custom_command(
    OUTPUT ${manpage}
    COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/${page}.8 > ${manpage}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${page}.8
    VERBATIM)
  list(APPEND manpages ${manpage})
endforeach()
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(
  OUTPUT ${changelog}
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/debian/changelog > ${changelog}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
  VERBATIM)
add_custom_target(manpage ALL DEPENDS ${manpages} ${changelog})
install(FILES ${manpages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${changelog} DESTINATION share/doc/tirnserial)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tirnserial)
set(CPACK_PACKAGE_VENDOR "TirnSerial")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relays barcode scans from USB scanners to WebSocket clients")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TirnSerial developers <developers@tirnserial.org>")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "TirnSerial reads each scan from barcode scanners of every kind: serial
ones (a USB serial adapter or USB COM mode), keyboard-mode ones (an input
event device) and HID point-of-sale ones (hidraw), several at once. It
converts each scan from the scanner's code page and sends it as one JSON
message to every subscribed WebSocket client, for point-of-sale and
warehouse web apps. It serves a live page, /status and /metrics on the same
port, can speak TLS, take an access token and publish to an MQTT broker,
and starts under systemd when one of its configured scanners is plugged in.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TIRN_SYSROOT)
  # A cross build's libraries are in its sysroot, and so is the package
  # database that says which package holds each (scripts/sysroot makes it).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${TIRN_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE} ${TIRN_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack-sysroot.cmake)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "set(ENV{DPKG_ADMINDIR} \"${TIRN_SYSROOT}/var/lib/dpkg\")\n")
endif()
# ps counts running copies at start-up; keyboard scanners take their layouts
# from the system's keymaps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps, xkb-data")
# tirnserial-make-cert runs openssl; a box with a CA's certificate needs
# neither.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "openssl")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
