# Install rules: the library with its SONAME links, its public headers, the
# platform stand-in libraries it needs at run time, a pkg-config file, a
# CMake package, the D-Bus system policies, the tools and a systemd unit.
#
# The platform libraries are installed (with their headers in
# include/qz-platform) rather than folded into the library: on a device the
# platform's own libraries of the same names take their place.

include(CMakePackageConfigHelpers)

set(QZ_SWU_GROUP "qz-swu" CACHE STRING
  "Group whose members may own the upgrade bus names and call the upgrade interface")
set(QZ_DBUS_POLICY_DIR "${CMAKE_INSTALL_DATADIR}/dbus-1/system.d" CACHE STRING
  "Where the D-Bus system policy files go, relative to the prefix")
set(QZ_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Where the systemd unit goes, relative to the prefix")

set(QZ_PACKAGE qz-swupgrade-interface)
set(QZ_PACKAGE_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/${QZ_PACKAGE}")
set(QZ_PACKAGE_INCLUDE_DIR "${CMAKE_INSTALL_INCLUDEDIR}/${QZ_PACKAGE}")
set(QZ_PLATFORM_INCLUDE_DIR "${CMAKE_INSTALL_INCLUDEDIR}/qz-platform")
set(QZ_PLATFORM_LIBS qz-platform-log qz-platform-kvstore qz-platform-sysinfo)

# ---------------------------------------------------------------- libraries

# Consumers see qz::swupgrade-interface; the library finds the platform
# libraries beside itself wherever the prefix is.
set_target_properties(qz-swupgrade-interface PROPERTIES
  EXPORT_NAME swupgrade-interface
  INSTALL_RPATH "$ORIGIN")
foreach(lib ${QZ_PLATFORM_LIBS})
  string(REPLACE "qz-" "" export_name ${lib})
  set_target_properties(${lib} PROPERTIES EXPORT_NAME ${export_name})
endforeach()

install(TARGETS qz-swupgrade-interface ${QZ_PLATFORM_LIBS}
  EXPORT ${QZ_PACKAGE}-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

file(GLOB QZ_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${QZ_PUBLIC_HEADERS} DESTINATION ${QZ_PACKAGE_INCLUDE_DIR})
file(GLOB QZ_PLATFORM_HEADERS ${PROJECT_SOURCE_DIR}/platform/*/include/*.h)
install(FILES ${QZ_PLATFORM_HEADERS} DESTINATION ${QZ_PLATFORM_INCLUDE_DIR})

# ------------------------------------------------------------------ tools

foreach(tool qz-swu qz-swu-daemon)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
endforeach()
# The daemon's own CMakeLists.txt installs it.
if(TARGET qz-swu)
  install(TARGETS qz-swu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# ---------------------------------------------------------- CMake package

install(EXPORT ${QZ_PACKAGE}-targets
  NAMESPACE qz::
  FILE ${QZ_PACKAGE}Targets.cmake
  DESTINATION ${QZ_PACKAGE_CMAKE_DIR})
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
  DESTINATION ${QZ_PACKAGE_CMAKE_DIR})

# ------------------------------------------- files that name install paths

# The pkg-config file and the unit hold absolute paths, and the prefix is
# only final at install time ("cmake --install --prefix" may change it), so
# they are written then, into the build tree, and installed from there.
set(QZ_INSTALL_TIME_DIR ${PROJECT_BINARY_DIR}/package/install-time)
install(CODE "
  set(QZ_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(QZ_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(QZ_INCLUDEDIR \"${QZ_PACKAGE_INCLUDE_DIR}\")
  set(QZ_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(QZ_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/data/${QZ_PACKAGE}.pc.in\"
                 \"${QZ_INSTALL_TIME_DIR}/${QZ_PACKAGE}.pc\" @ONLY)
  configure_file(\"${PROJECT_SOURCE_DIR}/data/qz-swu-daemon.service.in\"
                 \"${QZ_INSTALL_TIME_DIR}/qz-swu-daemon.service\" @ONLY)
")
install(FILES ${QZ_INSTALL_TIME_DIR}/${QZ_PACKAGE}.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${QZ_INSTALL_TIME_DIR}/qz-swu-daemon.service
  DESTINATION ${QZ_SYSTEMD_UNIT_DIR})

# ---------------------------------------------------------- D-Bus policies

foreach(policy com.kestova.orvel.qz.swu.interface com.kestova.orvel.qz.swu.daemon)
  configure_file(${PROJECT_SOURCE_DIR}/data/${policy}.conf.in
                 ${PROJECT_BINARY_DIR}/package/${policy}.conf @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/${policy}.conf DESTINATION ${QZ_DBUS_POLICY_DIR})
endforeach()
