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

install(TARGETS ipam ipam-platform EXPORT ipamTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/ipam.h ${PROJECT_SOURCE_DIR}/include/ipam_db.h
  ${PROJECT_SOURCE_DIR}/platform/include/ipam_platform.h
  DESTINATION ${IPAM_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/platform/
  DESTINATION ${IPAM_INSTALL_INCLUDEDIR}/platform FILES_MATCHING PATTERN "*.h")
if(TARGET ipam-sim)
  install(TARGETS ipam-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The exported targets are named ipam and platform in the ipam:: namespace.
set_target_properties(ipam-platform PROPERTIES EXPORT_NAME platform)
install(EXPORT ipamTargets NAMESPACE ipam:: DESTINATION ${IPAM_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/install/ipamConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ipamConfig.cmake INSTALL_DESTINATION ${IPAM_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ipamConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ipamConfig.cmake ${PROJECT_BINARY_DIR}/ipamConfigVersion.cmake
  DESTINATION ${IPAM_INSTALL_CMAKEDIR})

# Relocatable: the prefix is found from where the .pc file lies, so
# `cmake --install --prefix` anywhere gives working files.
file(RELATIVE_PATH IPAM_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig
  ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" IPAM_PC_TO_PREFIX "${IPAM_PC_TO_PREFIX}")
foreach(pc ipam ipam-platform)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/install/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
