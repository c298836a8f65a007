# Install rules, by component (cmake/Components.cmake): the library with its
# SONAME links, its public headers, a pkg-config file, a CMake package, the
# interface document, the D-Bus system policies, the group, the tools, the
# platform stand-in libraries, and the simulator with its systemd unit.
#
# The platform libraries are installed (with their headers in
# include/qz-platform) rather than folded into the library: on a device the
# platform's own libraries of the same names take their place.

include(CMakePackageConfigHelpers)

set(QZ_DBUS_SYSTEM_POLICY_DIR "" CACHE STRING
  "Where the D-Bus system policy files go (empty: <datadir>/dbus-1/system.d below the prefix; a relative path is taken below the prefix)")
set(QZ_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Where the systemd unit goes, relative to the prefix")
set(QZ_SYSUSERS_DIR "lib/sysusers.d" CACHE STRING
  "Where the sysusers.d file that creates the group goes, relative to the prefix")
set(QZ_TMPFILES_DIR "lib/tmpfiles.d" CACHE STRING
  "Where the simulator's tmpfiles.d file goes, relative to the prefix")

set(QZ_PACKAGE qz-swupgrade-interface)
set(QZ_PACKAGE_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/${QZ_PACKAGE}")
set(QZ_PACKAGE_INCLUDE_DIR "${CMAKE_INSTALL_INCLUDEDIR}/${QZ_PACKAGE}")
set(QZ_PLATFORM_INCLUDE_DIR "${CMAKE_INSTALL_INCLUDEDIR}/qz-platform")
set(QZ_PLATFORM_LIBS qz-platform-log qz-platform-kvstore qz-platform-sysinfo)
set(QZ_INTERFACE_DIR "${CMAKE_INSTALL_DATADIR}/dbus-1/interfaces")
# The key-value store folder the stand-in uses by default (named in the unit
# and the simulator's tmpfiles.d file).
file(STRINGS ${PROJECT_SOURCE_DIR}/platform/kvstore/include/vconf.h kvstore_root_line
  REGEX "#define QZ_KVSTORE_DEFAULT_ROOT ")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" QZ_KVSTORE_ROOT "${kvstore_root_line}")

# ------------------------------------------------------------ policy folder

# Below the prefix, as other system services' policies are: a package built
# with the prefix /usr puts them in /usr/share/dbus-1/system.d, where the
# system bus reads them, and an install into any other prefix writes nothing
# outside it. The system bus reads no policy below /usr/local: such an
# install names the bus's own folder in QZ_DBUS_SYSTEM_POLICY_DIR.
set(QZ_POLICY_DIR "${QZ_DBUS_SYSTEM_POLICY_DIR}")
if(NOT QZ_POLICY_DIR)
  set(QZ_POLICY_DIR "${CMAKE_INSTALL_DATADIR}/dbus-1/system.d")
endif()
if(IS_ABSOLUTE "${QZ_POLICY_DIR}")
  message(STATUS "D-Bus system policies install into ${QZ_POLICY_DIR}")
else()
  message(STATUS "D-Bus system policies install into <prefix>/${QZ_POLICY_DIR}")
endif()

# ---------------------------------------------------------------- libraries

# Consumers see qz::swupgrade-interface. Installed binaries carry no RUNPATH
# unless QZ_INSTALL_RPATH asks for one relative to themselves.
set_target_properties(qz-swupgrade-interface PROPERTIES EXPORT_NAME swupgrade-interface)
if(QZ_INSTALL_RPATH)
  file(RELATIVE_PATH bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(qz-swupgrade-interface PROPERTIES INSTALL_RPATH "$ORIGIN")
  foreach(tool qz-swu qz-swu-daemon)
    if(TARGET ${tool})
      set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
    endif()
  endforeach()
endif()

install(TARGETS qz-swupgrade-interface
  EXPORT ${QZ_PACKAGE}-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(TARGETS ${QZ_PLATFORM_LIBS}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} ${QZ_PLATFORM_INSTALL_OPTIONS})

file(GLOB QZ_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${QZ_PUBLIC_HEADERS} DESTINATION ${QZ_PACKAGE_INCLUDE_DIR} COMPONENT dev)
file(GLOB QZ_PLATFORM_HEADERS ${PROJECT_SOURCE_DIR}/platform/*/include/*.h)
install(FILES ${QZ_PLATFORM_HEADERS} DESTINATION ${QZ_PLATFORM_INCLUDE_DIR}
  ${QZ_PLATFORM_INSTALL_OPTIONS})
install(FILES ${PROJECT_SOURCE_DIR}/data/interface.corvanemessage.xml
  DESTINATION ${QZ_INTERFACE_DIR} COMPONENT dev)

# ------------------------------------------------------------------ tools

# The daemon's own CMakeLists.txt installs it (component simulator).
if(TARGET qz-swu)
  install(TARGETS qz-swu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

# ---------------------------------------------------------- CMake package

install(EXPORT ${QZ_PACKAGE}-targets
  NAMESPACE qz::
  FILE ${QZ_PACKAGE}Targets.cmake
  DESTINATION ${QZ_PACKAGE_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/data/${QZ_PACKAGE}Config.cmake.in
  ${PROJECT_BINARY_DIR}/package/${QZ_PACKAGE}Config.cmake
  INSTALL_DESTINATION ${QZ_PACKAGE_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/package/${QZ_PACKAGE}ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/${QZ_PACKAGE}Config.cmake
  ${PROJECT_BINARY_DIR}/package/${QZ_PACKAGE}ConfigVersion.cmake
  DESTINATION ${QZ_PACKAGE_CMAKE_DIR}
  COMPONENT dev)

# ------------------------------------------- files that name install paths

# The pkg-config file and the unit hold absolute paths, and the prefix is
# only final at install time ("cmake --install --prefix" may change it), so
# they are written then, into the build tree, and installed from there.
set(QZ_INSTALL_TIME_DIR ${PROJECT_BINARY_DIR}/package/install-time)
set(QZ_INSTALL_TIME_VARIABLES "
  set(QZ_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(QZ_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(QZ_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(QZ_PACKAGE_INCLUDE_SUBDIR \"${QZ_PACKAGE}\")
  set(QZ_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(QZ_VERSION \"${PROJECT_VERSION}\")
  set(QZ_KVSTORE_ROOT \"${QZ_KVSTORE_ROOT}\")")
install(CODE "${QZ_INSTALL_TIME_VARIABLES}
  configure_file(\"${PROJECT_SOURCE_DIR}/data/${QZ_PACKAGE}.pc.in\"
                 \"${QZ_INSTALL_TIME_DIR}/${QZ_PACKAGE}.pc\" @ONLY)" COMPONENT dev)
install(FILES ${QZ_INSTALL_TIME_DIR}/${QZ_PACKAGE}.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
install(CODE "${QZ_INSTALL_TIME_VARIABLES}
  configure_file(\"${PROJECT_SOURCE_DIR}/data/qz-swu-daemon.service.in\"
                 \"${QZ_INSTALL_TIME_DIR}/qz-swu-daemon.service\" @ONLY)"
  ${QZ_SIMULATOR_INSTALL_OPTIONS})
install(FILES ${QZ_INSTALL_TIME_DIR}/qz-swu-daemon.service
  DESTINATION ${QZ_SYSTEMD_UNIT_DIR} ${QZ_SIMULATOR_INSTALL_OPTIONS})

# The simulator writes the key-value store and applications read it:
# tmpfiles.d makes its folder, the unit may write there.
configure_file(${PROJECT_SOURCE_DIR}/data/qz-swu-simulator.tmpfiles.conf.in
               ${PROJECT_BINARY_DIR}/package/qz-swu-simulator.conf @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/qz-swu-simulator.conf
  DESTINATION ${QZ_TMPFILES_DIR} ${QZ_SIMULATOR_INSTALL_OPTIONS})

# ------------------------------------------------- D-Bus policies, group

# The library's bus name is owned by every application that links it: its
# policy and the group go with the library. The daemon's name is the
# simulator's.
configure_file(${PROJECT_SOURCE_DIR}/data/qz-swu.sysusers.conf.in
               ${PROJECT_BINARY_DIR}/package/${QZ_SWU_GROUP}.conf @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/${QZ_SWU_GROUP}.conf
  DESTINATION ${QZ_SYSUSERS_DIR} COMPONENT runtime)

foreach(name interface daemon)
  set(policy com.kestova.orvel.qz.swu.${name})
  configure_file(${PROJECT_SOURCE_DIR}/data/${policy}.conf.in
                 ${PROJECT_BINARY_DIR}/package/${policy}.conf @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/package/com.kestova.orvel.qz.swu.interface.conf
  DESTINATION ${QZ_POLICY_DIR} COMPONENT runtime)
install(FILES ${PROJECT_BINARY_DIR}/package/com.kestova.orvel.qz.swu.daemon.conf
  DESTINATION ${QZ_POLICY_DIR} ${QZ_SIMULATOR_INSTALL_OPTIONS})

# ----------------------------------------------------------- documents

# The licence and the change log for a plain install; the Debian packages
# carry theirs in Debian's form (cmake/Packaging.cmake).
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
