# The Debian packages, made by `cpack -G DEB` in a build directory, one for each install component:
#   quorvane        the programs, their manual pages and docs
#   libserport-dev  the library, its header, the CMake package and serport.pc
# The version is the project's; the dependencies of the programs come from dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "the quorvane developers")
set(CPACK_PACKAGE_CONTACT "the quorvane developers <maintainers@users.noreply.c-seed-9a7009a9.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME quorvane-${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL programs dev)

if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME quorvane)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION
"firmware uploader for embedded targets over a serial line
quorvane replaces the firmware of an embedded target over a serial line: it
syncs with the target, sends the start command and uploads the image record by
record with acknowledgements, resends what the target rejects and follows its
pauses. The device's line settings are put back on every way out.
.
quorvane-sim plays the target's side on a pseudo-terminal, for trying uploads
without a board.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libserport-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
"serial-port library with a transfer worker (development files)
serport opens a serial line for exclusive use and keeps a worker thread moving
bytes between the device and two 4096-byte rings; every operation reports an
integer result code, and SerPort_Exception turns a failure into a message. It
also drives RTS and DTR, switches flow control, sends breaks and reports the
modem lines and line errors.
.
This package holds the static library, its header serport.h, a CMake package
(find_package(serport)) and a pkg-config file.")

include(CPack)
