# Install rules: the library with its SONAME links, the public headers under
# <prefix>/include/ipam (the platform seam in include/ipam/platform), the
# stand-in platform with its control header, ipam-sim, the CMake package
# (find_package(ipam) -> ipam::ipam, ipam::platform) and pkg-config files
# (ipam.pc, ipam-platform.pc).
include(CMakePackageConfigHelpers)

set(IPAM_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/ipam)
set(IPAM_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ipam)

# Consumers include <ipam.h> and <ipam_platform.h>.
target_include_directories(ipam PUBLIC $<INSTALL_INTERFACE:${IPAM_INSTALL_INCLUDEDIR}>)
target_include_directories(ipam-platform PUBLIC $<INSTALL_INTERFACE:${IPAM_INSTALL_INCLUDEDIR}>)

# Components are the Debian packages: libipam1 (the runtime), libipam-dev,
# libipam-platform1, libipam-platform-dev, ipam-tools.
install(TARGETS ipam EXPORT ipamTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libipam NAMELINK_COMPONENT libipam-dev)
install(TARGETS ipam-platform EXPORT ipamPlatformTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libipam-platform
  NAMELINK_COMPONENT libipam-platform-dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/ipam.h ${PROJECT_SOURCE_DIR}/include/ipam_db.h
  DESTINATION ${IPAM_INSTALL_INCLUDEDIR} COMPONENT libipam-dev)
install(FILES ${PROJECT_SOURCE_DIR}/platform/include/ipam_platform.h
  DESTINATION ${IPAM_INSTALL_INCLUDEDIR} COMPONENT libipam-platform-dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/platform/
  DESTINATION ${IPAM_INSTALL_INCLUDEDIR}/platform COMPONENT libipam-platform-dev
  FILES_MATCHING PATTERN "*.h"
  PATTERN "seam.h" EXCLUDE)  # the stand-in's agreed values: built against only
if(TARGET ipam-sim)
  install(TARGETS ipam-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

# libipam(3), compressed as Debian ships manual pages.
set(IPAM_LIB_MAN ${PROJECT_BINARY_DIR}/libipam.3.gz)
add_custom_command(OUTPUT ${IPAM_LIB_MAN}
  COMMAND ${CMAKE_COMMAND} -DPAGE=${PROJECT_SOURCE_DIR}/docs/man/libipam.3 -DOUT=${IPAM_LIB_MAN}
    -P ${PROJECT_SOURCE_DIR}/cmake/IpamManPage.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/libipam.3 ${PROJECT_SOURCE_DIR}/cmake/IpamManPage.cmake
  VERBATIM)
add_custom_target(libipam-man ALL DEPENDS ${IPAM_LIB_MAN})
install(FILES ${IPAM_LIB_MAN} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT libipam-dev)

# The exported targets are named ipam and platform in the ipam:: namespace;
# each comes with its development package, and the package config takes
# ipam::platform when the stand-in's package is there.
set_target_properties(ipam-platform PROPERTIES EXPORT_NAME platform)
install(EXPORT ipamTargets NAMESPACE ipam:: DESTINATION ${IPAM_INSTALL_CMAKEDIR}
  COMPONENT libipam-dev)
install(EXPORT ipamPlatformTargets NAMESPACE ipam:: DESTINATION ${IPAM_INSTALL_CMAKEDIR}
  COMPONENT libipam-platform-dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/install/ipamConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ipamConfig.cmake INSTALL_DESTINATION ${IPAM_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ipamConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ipamConfig.cmake ${PROJECT_BINARY_DIR}/ipamConfigVersion.cmake
  DESTINATION ${IPAM_INSTALL_CMAKEDIR} COMPONENT libipam-dev)

# Relocatable: the prefix is found from where the .pc file lies, so
# `cmake --install --prefix` anywhere gives working files.
file(RELATIVE_PATH IPAM_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig
  ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" IPAM_PC_TO_PREFIX "${IPAM_PC_TO_PREFIX}")
foreach(pc ipam ipam-platform)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/install/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT lib${pc}-dev)
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/IpamPackage.cmake)
