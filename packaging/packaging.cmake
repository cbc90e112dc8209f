# What the installed program brings along (cmake --install, and the Debian package built
# with CPack): the program, the unit, the man page, the icon and the desktop entry.

# The unit the package ships: the template that /I also writes, filled in for the
# installed program (tests/shell compares the two).
set(VESSAMO_SHIPPED_UNIT ${CMAKE_BINARY_DIR}/packaging/vessamo.service)
file(READ ${CMAKE_SOURCE_DIR}/packaging/vessamo.service.in unit)
string(REPLACE "@DESCRIPTION@" "Postiera Vessamo a SMTP." unit "${unit}")
string(REPLACE "@EXECUTABLE@" "\"${CMAKE_INSTALL_FULL_BINDIR}/vessamo\"" unit "${unit}")
string(REPLACE "@WRITABLE_PATHS@" "\"/var/spool/vessamo\"" unit "${unit}")
string(REPLACE "@CONFIGURATION@" "/etc/vessamo/vessamo.vsm" unit "${unit}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/vessamo.service.new "${unit}")
configure_file(${CMAKE_BINARY_DIR}/packaging/vessamo.service.new ${VESSAMO_SHIPPED_UNIT} COPYONLY)

install(TARGETS vessamo vessamo-send vessamo-token RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Debian 12 keeps packaged units under /lib/systemd/system (not yet under /usr).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VESSAMO_UNIT_DIR /lib/systemd/system)
else()
  set(VESSAMO_UNIT_DIR lib/systemd/system)
endif()
install(FILES ${VESSAMO_SHIPPED_UNIT} DESTINATION ${VESSAMO_UNIT_DIR})

# Manual pages: every packaging/man/NAME.SECTION, with its version filled in, compressed as
# Debian wants them. A companion command's page is one more file there.
file(GLOB VESSAMO_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/packaging/man/*.[1-9])
set(compressed_pages)
foreach(page ${VESSAMO_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([1-9])$" "\\1" section ${name})
  set(VERSION ${PROJECT_VERSION})
  configure_file(${page} ${CMAKE_BINARY_DIR}/packaging/man/${name} @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/man/${name}.gz
    COMMAND gzip -9nf -k ${name}
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/man/${name}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging/man
    COMMENT "Compressing the manual page ${name}")
  list(APPEND compressed_pages ${CMAKE_BINARY_DIR}/packaging/man/${name}.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/man/${name}.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(manpages ALL DEPENDS ${compressed_pages})

install(FILES ${CMAKE_SOURCE_DIR}/packaging/vessamo.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/vessamo.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The Debian package (scripts/package.sh): CPack's DEB generator over the install rules
# above, the library dependencies found by dpkg-shlibdeps, and the maintainer scripts that
# create the user and folders and clean up on purge.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vessamo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vessamo developers <vessamo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "POP3 to SMTP mail router")
set(CPACK_PACKAGE_DESCRIPTION "Vessamo visits a list of POP3 mailboxes every few minutes,
queues each message on disk, optionally asks an anti-spam program about it, and forwards
it unchanged through one SMTP server. It runs as a sandboxed systemd service or as a
desktop program with a tray icon.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's TLS plugin opens libssl3 at run time, so dpkg-shlibdeps cannot see it; the trust
# store, the MIME database, useradd and deb-systemd-helper are used without linking.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libssl3, ca-certificates, shared-mime-info, passwd, init-system-helpers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
