# What `cmake --install` puts where, the exported CMake package (find_package(Mirrax)),
# the protocol library's pkg-config file and the .deb that CPack builds from the same
# install rules. Tests and benchmarks have no install rules: they are not installed.
include(CMakePackageConfigHelpers)

# Versioned shared libraries: libmirrax_server.so.5.10, its soname libmirrax_server.so.5
# (which mirrax_host is built to dlopen) and the libmirrax_server.so name link, which
# the host's default --library value names and the linker finds for consumers.
set(MIRRAX_SHARED_LIBRARIES mirrax_server mirrax_platform mirrax_protocol)
set_target_properties(${MIRRAX_SHARED_LIBRARIES} PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

# Install-tree RUNPATHs relative to the installed file, so any prefix works: the
# programs find the libraries beside each other in the library folder. The build tree
# keeps CMAKE_BUILD_RPATH ($ORIGIN/../lib).
set_target_properties(${MIRRAX_SHARED_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(mirrax_host mirrax_client PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS ${MIRRAX_SHARED_LIBRARIES} mirrax_host mirrax_client
  EXPORT MirraxTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${MIRRAX_PROTOCOL_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mirrax)
install(FILES ${MIRRAX_PROTOCOL_RESULT_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mirrax/mirrax_protocol)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mirrax/platform)
install(FILES ${PROJECT_SOURCE_DIR}/rpc/mirrax.proto DESTINATION ${CMAKE_INSTALL_DATADIR}/mirrax)

# find_package(Mirrax): Mirrax::mirrax_server, Mirrax::mirrax_platform,
# Mirrax::mirrax_protocol, Mirrax::mirrax_host, Mirrax::mirrax_client.
set(MIRRAX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Mirrax)
install(EXPORT MirraxTargets NAMESPACE Mirrax:: DESTINATION ${MIRRAX_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/MirraxConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/MirraxConfig.cmake
  INSTALL_DESTINATION ${MIRRAX_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_DATADIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/MirraxConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/MirraxConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/MirraxConfigVersion.cmake
  DESTINATION ${MIRRAX_CMAKE_DIR})

# pkg-config: mirrax-protocol. Its prefix is found from the .pc file's own folder, so
# the file is right wherever the tree is installed (cmake --install --prefix DIR).
set(MIRRAX_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH MIRRAX_PC_TO_PREFIX /root/${MIRRAX_PKGCONFIG_DIR} /root)
string(REGEX REPLACE "/$" "" MIRRAX_PC_TO_PREFIX "${MIRRAX_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/mirrax-protocol.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/mirrax-protocol.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mirrax-protocol.pc DESTINATION ${MIRRAX_PKGCONFIG_DIR})

# The .deb: mirrax_<version>_<arch>.deb, one package with the programs, the libraries
# and what building against them needs. Its Depends come from the shared libraries
# the installed files link (dpkg-shlibdeps); the package's own libraries are found
# through the programs' $ORIGIN RUNPATHs in the staging tree.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mirrax)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "mirrax developers <mirrax@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Screen mirroring over gRPC: the server library, mirrax_host and mirrax_client")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The build keeps its debug information; the package does not.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libgrpc++-dev, libprotobuf-dev, pkg-config")
# A cross build packages for its target: the .deb's architecture is the target's, and
# dpkg-shlibdeps, run by CPack, resolves the target's libraries (the multiarch
# packages of that architecture) when DEB_HOST_ARCH names it. CPack reads the project
# config file when it starts, so `cpack` in a cross build folder needs nothing else.
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(MIRRAX_DEB_ARCH arm64)
  else()
    message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${MIRRAX_DEB_ARCH})
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack-cross.cmake)
  file(CONFIGURE OUTPUT ${CPACK_PROJECT_CONFIG_FILE}
    CONTENT "set(ENV{DEB_HOST_ARCH} ${MIRRAX_DEB_ARCH})\n")
endif()
include(CPack)
