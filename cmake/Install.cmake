# What `cmake --install` puts where (GNUInstallDirs): the programs, the serport library with its
# one public header, a CMake package and a pkg-config file for it, the manual pages and the docs.
# Components: "programs" for the people who flash boards, "dev" for those who build on serport.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS quorvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
if(TARGET quorvane-sim)
  install(TARGETS quorvane-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
endif()
install(FILES README.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)
install(FILES examples/sample-image.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        COMPONENT programs)
if(NOT WIN32)
  add_subdirectory(man)
endif()

# The library: the archive and serport.h alone; everything else in serport/ is its own business.
# Users include <serport.h>, in this tree and installed alike.
set(SERPORT_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/serport)
set(SERPORT_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/serport)
install(TARGETS serport EXPORT serportTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${SERPORT_INCLUDEDIR})
install(FILES serport/include/serport.h DESTINATION ${SERPORT_INCLUDEDIR} COMPONENT dev)
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libserport-dev
        COMPONENT dev)

# find_package(serport CONFIG): the imported target serport::serport with the include path and
# the link interface of the serport target, found relative to the package's own files, so the
# prefix may be moved.
install(EXPORT serportTargets NAMESPACE serport:: DESTINATION ${SERPORT_CMAKEDIR} COMPONENT dev)
configure_package_config_file(packaging/serportConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/serportConfig.cmake
  INSTALL_DESTINATION ${SERPORT_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/serportConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/serportConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/serportConfigVersion.cmake
        DESTINATION ${SERPORT_CMAKEDIR} COMPONENT dev)

# pkg-config users link the archive with what the serport target links besides: the worker's
# threads, and on Windows the multimedia timer that MilliSleep raises.
if(WIN32)
  set(SERPORT_PC_LIBS "-lwinmm")
else()
  set(SERPORT_PC_LIBS "-pthread")
endif()

# serport.pc names absolute paths, and the prefix is only known when installing (--prefix, or
# /usr inside a package): the prefix is filled in then, everything else now.
set(SERPORT_PC_PREFIX "@SERPORT_INSTALL_PREFIX@")
configure_file(packaging/serport.pc.in ${CMAKE_BINARY_DIR}/packaging/serport.pc.in @ONLY)
install(CODE "
  get_filename_component(SERPORT_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
  configure_file(\"${CMAKE_BINARY_DIR}/packaging/serport.pc.in\"
                 \"${CMAKE_BINARY_DIR}/packaging/serport.pc\" @ONLY)"
  COMPONENT dev)
install(FILES ${CMAKE_BINARY_DIR}/packaging/serport.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
