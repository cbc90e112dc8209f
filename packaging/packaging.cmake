# What the installed program brings along (cmake --install, and the Debian package built
# with CPack): the program, the unit, the man page, the icon and the desktop entry.

# The unit the package ships: the template that /I also writes, filled in for the
# installed program (tests/shell compares the two).
set(VESSAMO_SHIPPED_UNIT ${CMAKE_BINARY_DIR}/packaging/vessamo.service)
file(READ ${CMAKE_SOURCE_DIR}/packaging/vessamo.service.in unit)
string(REPLACE "@DESCRIPTION@" "Postiera Vessamo a SMTP." unit "${unit}")
string(REPLACE "@EXECUTABLE@" "\"${CMAKE_INSTALL_FULL_BINDIR}/vessamo\"" unit "${unit}")
string(REPLACE "@WRITABLE_PATHS@" "\"/var/spool/vessamo\" \"/etc/vessamo\"" unit "${unit}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/vessamo.service.new "${unit}")
configure_file(${CMAKE_BINARY_DIR}/packaging/vessamo.service.new ${VESSAMO_SHIPPED_UNIT} COPYONLY)

install(TARGETS vessamo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Debian 12 keeps packaged units under /lib/systemd/system (not yet under /usr).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VESSAMO_UNIT_DIR /lib/systemd/system)
else()
  set(VESSAMO_UNIT_DIR lib/systemd/system)
endif()
install(FILES ${VESSAMO_SHIPPED_UNIT} DESTINATION ${VESSAMO_UNIT_DIR})
