# Debian packages with CPack, one per install component:
#
#   cpack --config build/CPackConfig.cmake -G DEB
#
#   runtime    libqz-swupgrade-interface<SOVERSION>
#   dev        libqz-swupgrade-interface-dev
#   tools      qz-swu-tools
#   platform   qz-swu-platform-standins (provides qz-swu-platform)
#   simulator  qz-swu-simulator
#
# Dependencies on other distribution packages come from dpkg-shlibdeps; the
# packages among themselves depend on the same version. Each package carries
# a Debian copyright file and a change log made from CHANGELOG.md.

set(QZ_PACKAGE_MAINTAINER "qz-swupgrade-interface maintainers <qz-swu-maintainers@example.org>"
  CACHE STRING "Maintainer field of the Debian packages and their change logs")

set(QZ_DEB_RUNTIME "lib${PROJECT_NAME}${PROJECT_VERSION_MAJOR}")
set(QZ_DEB_DEV "lib${PROJECT_NAME}-dev")
set(QZ_DEB_TOOLS "qz-swu-tools")
set(QZ_DEB_SIMULATOR "qz-swu-simulator")
# What the library needs of the platform (its log, key-value store and
# system-information libraries): the stand-ins' package, or a device's
# platform package that provides the same name. The libraries have the same
# file names in both, so one provider at a time.
set(QZ_DEB_PLATFORM "qz-swu-platform")
set(QZ_DEB_PLATFORM_STANDINS "qz-swu-platform-standins")
set(QZ_DEB_DIR ${PROJECT_BINARY_DIR}/package/debian)
# The simulator unit's state folder (StateDirectory=qz-swu), removed on purge.
set(QZ_SWU_STATE_DIR /var/lib/qz-swu)

# ------------------------------------------------------------ change log

# The section of CHANGELOG.md for this version: its date and its entries.
function(qz_release_section version out_date out_entries)
  file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md lines)
  set(in_section FALSE)
  set(entries "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^## ")
      if(in_section)
        break()
      endif()
      string(REGEX MATCH "^## \\[([^]]*)\\] - ([0-9-]+)$" heading "${line}")
      if(CMAKE_MATCH_1 STREQUAL version)
        set(in_section TRUE)
        set(${out_date} "${CMAKE_MATCH_2}" PARENT_SCOPE)
      endif()
    elseif(in_section AND line MATCHES "^- (.*)$")
      string(APPEND entries "  * ${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
  if(NOT in_section OR entries STREQUAL "")
    message(FATAL_ERROR "CHANGELOG.md has no entries under \"## [${version}] - YYYY-MM-DD\"; "
                        "add them when changing the version in CMakeLists.txt")
  endif()
  set(${out_entries} "${entries}" PARENT_SCOPE)
endfunction()

qz_release_section(${PROJECT_VERSION} QZ_RELEASE_DATE QZ_RELEASE_ENTRIES)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env TZ=UTC LC_ALL=C date -R -d "${QZ_RELEASE_DATE}"
  OUTPUT_VARIABLE QZ_RELEASE_DATE_RFC2822
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE date_status)
if(NOT date_status EQUAL 0)
  message(FATAL_ERROR "cannot read the release date ${QZ_RELEASE_DATE} of CHANGELOG.md")
endif()

# copyright and changelog.gz under share/doc/<package>, in the package's
# component only: a plain install carries LICENSE and CHANGELOG.md instead.
function(qz_debian_docs component package)
  set(dir ${QZ_DEB_DIR}/${package})
  configure_file(${PROJECT_SOURCE_DIR}/data/debian/copyright.in ${dir}/copyright @ONLY)
  file(WRITE ${dir}/changelog
    "${package} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "${QZ_RELEASE_ENTRIES}\n"
    " -- ${QZ_PACKAGE_MAINTAINER}  ${QZ_RELEASE_DATE_RFC2822}\n")
  # Debian wants it compressed at the highest level and without a time stamp.
  execute_process(COMMAND gzip -9nf ${dir}/changelog RESULT_VARIABLE gzip_status)
  if(NOT gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${dir}/changelog")
  endif()
  install(FILES ${dir}/copyright ${dir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

qz_debian_docs(runtime ${QZ_DEB_RUNTIME})
qz_debian_docs(dev ${QZ_DEB_DEV})
qz_debian_docs(tools ${QZ_DEB_TOOLS})
qz_debian_docs(platform ${QZ_DEB_PLATFORM_STANDINS})
qz_debian_docs(simulator ${QZ_DEB_SIMULATOR})

# The API reference goes with the headers it describes (cmake/Docs.cmake).
if(QZ_BUILD_DOCS)
  install(DIRECTORY ${QZ_DOCS_HTML_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QZ_DEB_DEV}/html
    COMPONENT dev EXCLUDE_FROM_ALL)
endif()

# ------------------------------------------------------ maintainer scripts

# The library's package creates the group; the simulator's makes the
# key-value store folder and, on purge only, removes what the daemon kept
# (its state folder and the store). The packages that hold shared libraries
# activate dpkg's ldconfig trigger, as Debian expects.
function(qz_maintainer_script component script)
  configure_file(${PROJECT_SOURCE_DIR}/data/debian/${script}-${component}.in
                 ${QZ_DEB_DIR}/control/${component}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()
qz_maintainer_script(runtime postinst)
qz_maintainer_script(simulator postinst)
qz_maintainer_script(simulator postrm)
file(WRITE ${QZ_DEB_DIR}/control/triggers "activate-noawait ldconfig\n")

# ------------------------------------------------------------------ CPack

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QZ_PACKAGE_MAINTAINER}")
# Files that name install paths are written at install time: give them the
# package's prefix, not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# A cross build's packages are of the target's architecture, which dpkg
# names from the compiler's GNU triplet (arm-linux-gnueabihf: armhf).
set(QZ_DEB_ARCHITECTURE "" CACHE STRING
  "Architecture field of the Debian packages (empty: this machine's, or the cross compiler's)")
if(NOT QZ_DEB_ARCHITECTURE AND CMAKE_CROSSCOMPILING)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
    OUTPUT_VARIABLE target_triplet OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND dpkg-architecture -t "${target_triplet}" -qDEB_HOST_ARCH
    OUTPUT_VARIABLE QZ_DEB_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT QZ_DEB_ARCHITECTURE)
    message(WARNING "no Debian architecture for the target ${target_triplet}: "
                    "set QZ_DEB_ARCHITECTURE before building packages")
  endif()
endif()
if(QZ_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QZ_DEB_ARCHITECTURE})
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools platform simulator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Our own libraries are found in the build tree and left out of the
# dpkg-shlibdeps result; the component dependencies below name them.
get_target_property(QZ_LIBRARY_BUILD_DIR qz-swupgrade-interface BINARY_DIR)
get_target_property(QZ_PLATFORM_BUILD_DIR qz-platform-log BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${QZ_LIBRARY_BUILD_DIR} ${QZ_PLATFORM_BUILD_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_SIMULATOR_DEPENDS runtime)
# The stand-ins stand alone; the library reaches them through the virtual
# package, so that a device's platform package can take their place.

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QZ_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS ${QZ_DEB_PLATFORM})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${QZ_DEB_DIR}/control/runtime/postinst ${QZ_DEB_DIR}/control/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library for the software upgrade daemon
The library submits software upgrades to the device's upgrade daemon over
the system message bus, follows their progress, reads and acknowledges
results, reports cabinet upgrades and streams OTA images to the daemon.
This package holds the shared library, the D-Bus system policy for the
library's bus name and the sysusers.d file that creates the group
${QZ_SWU_GROUP}, whose members may use the upgrade interface.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${QZ_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libglib2.0-dev, libboost-thread-dev, libboost-system-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "client library for the software upgrade daemon - development files
Headers, pkg-config file and CMake package (qz::swupgrade-interface) of the
software upgrade client library, and the D-Bus introspection document of
the command interface that the library and the upgrade daemon serve.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${QZ_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool for the software upgrade daemon
qz-swu submits software upgrades, follows their progress, shows and
acknowledges results, checks offered versions, reports cabinet upgrades and
streams OTA images, all through the software upgrade client library.")

set(CPACK_DEBIAN_PLATFORM_PACKAGE_NAME ${QZ_DEB_PLATFORM_STANDINS})
set(CPACK_DEBIAN_PLATFORM_PACKAGE_SECTION libs)
# Provides, Conflicts and Replaces the same virtual package: Debian's way of
# letting only one of its providers be installed.
set(CPACK_DEBIAN_PLATFORM_PACKAGE_PROVIDES ${QZ_DEB_PLATFORM})
set(CPACK_DEBIAN_PLATFORM_PACKAGE_CONFLICTS ${QZ_DEB_PLATFORM})
set(CPACK_DEBIAN_PLATFORM_PACKAGE_REPLACES ${QZ_DEB_PLATFORM})
set(CPACK_DEBIAN_PLATFORM_PACKAGE_CONTROL_EXTRA ${QZ_DEB_DIR}/control/triggers)
set(CPACK_DEBIAN_PLATFORM_DESCRIPTION "stand-ins for the platform libraries of the upgrade client library
The software upgrade client library uses three platform libraries: the log
(libqz-platform-log, dlog.h), the key-value store (libqz-platform-kvstore,
vconf.h) and the system information (libqz-platform-sysinfo,
system_info.h). On a device the platform provides them; this package holds
stand-ins for development machines and tests: the log writes to syslog,
standard error or a file, the store keeps one file per key under
${QZ_KVSTORE_ROOT}, and the software version comes from the environment.")

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME ${QZ_DEB_SIMULATOR})
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_DEPENDS ${QZ_DEB_PLATFORM})
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_CONTROL_EXTRA
  ${QZ_DEB_DIR}/control/simulator/postinst ${QZ_DEB_DIR}/control/simulator/postrm)
set(CPACK_DEBIAN_SIMULATOR_DESCRIPTION "software upgrade daemon simulator for development and tests
qz-swu-daemon simulates the device's software upgrade daemon: it accepts
requests and runs pretend upgrades, so that applications and the client
library can be developed and tested without a device. It is not an upgrade
daemon: it takes the real daemon's bus name, so do not install it on a
device. Its systemd unit is hardened and is not enabled by default.
Purging the package removes the daemon's state (${QZ_SWU_STATE_DIR}) and
the key-value store (${QZ_KVSTORE_ROOT}).")

include(CPack)
