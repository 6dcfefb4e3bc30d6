# SPDX-License-Identifier: MIT
# Installing libvontrel: the shared library with its SONAME links, the public
# headers, a CMake package (find_package(vontrel) -> vontrel::vontrel), a
# pkg-config file and the command-line tool; and libvontrel-mains, the
# mains switch, likewise (vontrel-mains, vontrel::mains).
#
# The simulator (libftd2xx.so from d2xx/sim) is never installed where the
# loader would find it in place of a real D2XX library. It goes only to the
# private folder <libdir>/vontrel/sim, with vontrel-sim in bin/, in the
# component "simulator", which a plain `cmake --install` leaves out:
#     cmake --install build --component simulator
# Point LD_LIBRARY_PATH at that folder to run installed programs against it.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VONTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vontrel)

install(TARGETS vontrel EXPORT vontrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
          NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

set(vontrel_public_headers
  ${PROJECT_SOURCE_DIR}/include/vontrel.h
  ${PROJECT_SOURCE_DIR}/include/vontrel_status.h
  ${PROJECT_SOURCE_DIR}/include/vontrel_limits.h
  ${PROJECT_SOURCE_DIR}/include/vontrel.hpp
  ${PROJECT_BINARY_DIR}/include/vontrel_version.h)
install(FILES ${vontrel_public_headers}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
# The parts of vontrel.hpp.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vontrel
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.hpp")

# --- CMake package ---
install(EXPORT vontrelTargets
  NAMESPACE vontrel::
  FILE vontrelTargets.cmake
  DESTINATION ${VONTREL_CMAKE_DIR} COMPONENT development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/vontrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/vontrelConfig.cmake
  INSTALL_DESTINATION ${VONTREL_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/cmake/vontrelConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/cmake/vontrelConfig.cmake
  ${PROJECT_BINARY_DIR}/cmake/vontrelConfigVersion.cmake
  DESTINATION ${VONTREL_CMAKE_DIR} COMPONENT development)

# --- pkg-config ---
# The prefix is worked out from the .pc file's own place, so the installed
# tree can be moved as a whole.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VONTREL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VONTREL_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(VONTREL_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH vontrel_pc_up /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" vontrel_pc_up "${vontrel_pc_up}")
  set(VONTREL_PC_PREFIX "\${pcfiledir}/${vontrel_pc_up}")
  set(VONTREL_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VONTREL_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# vontrel for C; vontrel++ for the typed C++ API, which adds the standard
# its header needs (a .pc file cannot give a flag to C++ compilers alone).
foreach(pc vontrel vontrel++)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/cmake/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/cmake/${pc}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
endforeach()

# --- libvontrel-mains: the mains switch, a library of its own ---
# Its own CMake package (find_package(vontrel-mains) -> vontrel::mains) and
# pkg-config file, beside libvontrel's.
set(VONTREL_MAINS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vontrel-mains)
set_target_properties(vontrel_mains PROPERTIES EXPORT_NAME mains)
install(TARGETS vontrel_mains EXPORT vontrelMainsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
          NAMELINK_COMPONENT development)
install(FILES
  ${PROJECT_SOURCE_DIR}/include/vontrel_mains.h
  ${PROJECT_SOURCE_DIR}/include/vontrel_mains.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT vontrelMainsTargets
  NAMESPACE vontrel::
  FILE vontrel-mainsTargets.cmake
  DESTINATION ${VONTREL_MAINS_CMAKE_DIR} COMPONENT development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/vontrel-mainsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/vontrel-mainsConfig.cmake
  INSTALL_DESTINATION ${VONTREL_MAINS_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/cmake/vontrel-mainsConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/cmake/vontrel-mainsConfig.cmake
  ${PROJECT_BINARY_DIR}/cmake/vontrel-mainsConfigVersion.cmake
  DESTINATION ${VONTREL_MAINS_CMAKE_DIR} COMPONENT development)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vontrel-mains.pc.in
               ${PROJECT_BINARY_DIR}/cmake/vontrel-mains.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cmake/vontrel-mains.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# --- The command-line tool ---
if(TARGET vontrel_tool)
  # Finds the library installed beside it, wherever the prefix is.
  set_target_properties(vontrel_tool PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS vontrel_tool
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()
if(TARGET vontrel_tango)
  # The Tango device server, beside the tool and found the same way.
  set_target_properties(vontrel_tango PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS vontrel_tango
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

# --- Man pages, with their programs ---
set(vontrel_man ${PROJECT_SOURCE_DIR}/docs/man)
if(TARGET vontrel_tool)
  install(FILES ${vontrel_man}/vontrel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT runtime)
endif()
if(TARGET vontrel_tango)
  install(FILES ${vontrel_man}/vontrel-tango.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT runtime)
endif()
install(FILES ${vontrel_man}/vontrel-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT simulator EXCLUDE_FROM_ALL)

# --- The simulator, privately and only on request ---
# Its libftd2xx.so and the vontrel-sim command (which has the simulator
# built in).
set(VONTREL_SIM_LIBDIR ${CMAKE_INSTALL_LIBDIR}/vontrel/sim)
install(TARGETS ftd2xx
  LIBRARY DESTINATION ${VONTREL_SIM_LIBDIR}
  COMPONENT simulator EXCLUDE_FROM_ALL)
install(TARGETS vontrel_sim
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT simulator EXCLUDE_FROM_ALL)

# --- The serial D2XX library, when libvontrel.so is linked to it ---
# It goes to the library's private folder <libdir>/vontrel/serial, where
# the installed libvontrel.so finds it through its run path: programs linked
# with -lvontrel reach real units with no LD_LIBRARY_PATH.
if(VONTREL_D2XX STREQUAL "serial")
  install(TARGETS ftd2xx_serial
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/vontrel/serial COMPONENT runtime)
  set_target_properties(vontrel vontrel_mains PROPERTIES INSTALL_RPATH "$ORIGIN/vontrel/serial")
endif()
