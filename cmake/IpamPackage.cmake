# Debian packages of this build tree: `cpack --config <build>/CPackConfig.cmake`
# (scripts/test.d/80-packages.sh does it for the release and the MIPS trees).
# One package per install component:
#   libipam1              the library (SONAME libipam.so.1)
#   libipam-dev           its headers, libipam.so, ipam.pc, the CMake package, libipam(3)
#   libipam-platform1     the stand-in platform (SONAME libipam-platform.so.1)
#   libipam-platform-dev  its control header, the platform seam, ipam-platform.pc
#   ipam-tools            ipam-sim, ipam-sim(1), bash completion, a systemd unit example
# Dependencies on the C and C++ runtimes are written out: dpkg-shlibdeps
# cannot look into the cross toolchain's libraries, and both builds need the same.

set(IPAM_DEB_DIR ${CMAKE_CURRENT_LIST_DIR}/deb)
# The architecture Debian calls the target; the toolchain file names the processor.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "mips")
  set(IPAM_DEB_ARCH mips)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE IPAM_DEB_ARCH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

# The symbols file says which version brought each export, from the export
# list: a symbol added to or removed from src/exports.txt changes it, and
# dpkg-gensymbols users see it in review. Every export dates from 1.0.0.
file(STRINGS ${PROJECT_SOURCE_DIR}/src/exports.txt IPAM_DEB_EXPORTS REGEX "^[A-Za-z_]")
set(IPAM_DEB_SYMBOLS "libipam.so.1 libipam1 #MINVER#\n")
foreach(sym ${IPAM_DEB_EXPORTS})
  string(APPEND IPAM_DEB_SYMBOLS " ${sym}@Base 1.0.0\n")
endforeach()
set(IPAM_DEB_CONTROL ${PROJECT_BINARY_DIR}/deb-control)
file(MAKE_DIRECTORY ${IPAM_DEB_CONTROL}/libipam ${IPAM_DEB_CONTROL}/libipam-platform)
file(WRITE ${IPAM_DEB_CONTROL}/libipam/symbols "${IPAM_DEB_SYMBOLS}")
foreach(lib libipam libipam-platform)
  file(WRITE ${IPAM_DEB_CONTROL}/${lib}/shlibs "${lib} 1 ${lib}1 (>= ${PROJECT_VERSION})\n")
  file(WRITE ${IPAM_DEB_CONTROL}/${lib}/triggers "activate-noawait ldconfig\n")
endforeach()

# Every package carries the copyright, the changelog (compressed with no time
# stamp) and its lintian overrides, each explained in the file itself.
set(IPAM_DEB_COMPONENTS libipam libipam-dev libipam-platform libipam-platform-dev tools)
set(IPAM_DEB_NAMES libipam1 libipam-dev libipam-platform1 libipam-platform-dev ipam-tools)
execute_process(COMMAND gzip -9nc ${IPAM_DEB_DIR}/changelog OUTPUT_FILE ${IPAM_DEB_CONTROL}/changelog.gz)
foreach(comp name IN ZIP_LISTS IPAM_DEB_COMPONENTS IPAM_DEB_NAMES)
  install(FILES ${IPAM_DEB_DIR}/copyright ${IPAM_DEB_CONTROL}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${comp} EXCLUDE_FROM_ALL)
  if(EXISTS ${IPAM_DEB_DIR}/${name}.lintian-overrides)
    install(FILES ${IPAM_DEB_DIR}/${name}.lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${name}
      COMPONENT ${comp} EXCLUDE_FROM_ALL)
  endif()
  string(TOUPPER ${comp} COMP)
  set(CPACK_DEBIAN_${COMP}_PACKAGE_NAME ${name})
  set(CPACK_DEBIAN_${COMP}_FILE_NAME ${name}_${PROJECT_VERSION}_${IPAM_DEB_ARCH}.deb)
endforeach()
# A unit that runs `ipam-sim serve --kernel` as a service, as an example.
install(FILES ${PROJECT_SOURCE_DIR}/examples/systemd/ipam-sim.service
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ipam-tools/examples COMPONENT tools)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ipam)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libipam developers <libipam@example.org>")
# Each package's description starts with its own synopsis. CPack puts the
# project's summary in front of it unless the summary is CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${IPAM_DEB_COMPONENTS})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${IPAM_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/libipam")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(IPAM_DEB_LIBSTDCXX "libc6 (>= 2.34), libgcc-s1 (>= 3.4), libstdc++6 (>= 12)")

set(CPACK_DEBIAN_LIBIPAM_PACKAGE_DEPENDS "libc6 (>= 2.14)")
set(CPACK_DEBIAN_LIBIPAM_PACKAGE_CONTROL_EXTRA
  ${IPAM_DEB_CONTROL}/libipam/symbols ${IPAM_DEB_CONTROL}/libipam/shlibs
  ${IPAM_DEB_CONTROL}/libipam/triggers)
set(CPACK_DEBIAN_LIBIPAM_DESCRIPTION "${PROJECT_DESCRIPTION}
libipam keeps a process's local, always-current replica of an IP address
management publisher's table of IPv4/IPv6 interface addresses, tells the
host about the changes it cares about through one callback, and answers
queries over the replica (primary address, best IPv6 source, walks).")
set(CPACK_DEBIAN_LIBIPAM-DEV_PACKAGE_DEPENDS "libipam1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIBIPAM-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBIPAM-DEV_PACKAGE_SUGGESTS "libipam-platform-dev")
set(CPACK_DEBIAN_LIBIPAM-DEV_DESCRIPTION "${PROJECT_DESCRIPTION} - development files
The headers (ipam.h, ipam_db.h), the link library, the pkg-config file
ipam.pc, the CMake package (find_package(ipam), ipam::ipam) and libipam(3).
A host also links a platform: libipam-platform-dev on a workstation.")

set(CPACK_DEBIAN_LIBIPAM-PLATFORM_PACKAGE_DEPENDS "${IPAM_DEB_LIBSTDCXX}")
set(CPACK_DEBIAN_LIBIPAM-PLATFORM_PACKAGE_CONTROL_EXTRA
  ${IPAM_DEB_CONTROL}/libipam-platform/shlibs ${IPAM_DEB_CONTROL}/libipam-platform/triggers)
set(CPACK_DEBIAN_LIBIPAM-PLATFORM_DESCRIPTION "stand-in platform services for libipam hosts
The publish/subscribe, management, configuration and logging services a
libipam host calls, for workstations: in one process, or across processes
over Unix sockets with ipam-sim serve as the publisher.")
set(CPACK_DEBIAN_LIBIPAM-PLATFORM-DEV_PACKAGE_DEPENDS
  "libipam-platform1 (= ${PROJECT_VERSION}), libipam-dev (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIBIPAM-PLATFORM-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBIPAM-PLATFORM-DEV_DESCRIPTION "stand-in platform for libipam hosts - development files
The platform's control header (ipam_platform.h), the platform seam headers,
the link library, ipam-platform.pc and the CMake target ipam::platform.")

set(IPAM_DEB_TOOLS_DEPENDS "libipam1 (= ${PROJECT_VERSION}), libipam-platform1 (= ${PROJECT_VERSION}), ${IPAM_DEB_LIBSTDCXX}")
if(IPAM_LIBNL_FOUND)
  string(APPEND IPAM_DEB_TOOLS_DEPENDS ", libnl-3-200 (>= 3.2.7), libnl-route-3-200 (>= 3.2.7)")
endif()
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${IPAM_DEB_TOOLS_DEPENDS}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "workstation simulator of the libipam platform
ipam-sim replays scenario files against libipam, mirrors the kernel's
address table into a replica, serves a table to host processes as their
publisher, and reaches a running host's management object.")

include(CPack)
