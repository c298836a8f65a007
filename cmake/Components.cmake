# Install components, one per Debian package (see cmake/Packaging.cmake):
#
#   runtime    the library, the policy for its bus name and the group
#   dev        headers, pkg-config file, CMake package, interface document
#   tools      qz-swu with its man page and completion
#   platform   the stand-ins for the platform's log, key-value store and
#              system-information libraries, with their headers; a device
#              has its own libraries of the same names instead
#   simulator  qz-swu-daemon with its unit, man page, policy and the
#              key-value store folder: development and tests only
#
# Included before the subdirectories so that their install rules can use
# QZ_SIMULATOR_INSTALL_OPTIONS and QZ_PLATFORM_INSTALL_OPTIONS.

option(QZ_INSTALL_SIMULATOR
  "Let a plain install include the simulator daemon, its unit and policy, and the platform stand-ins"
  ON)
option(QZ_INSTALL_RPATH
  "Give installed binaries a relative RUNPATH to the installed library folder" OFF)

# With the option off the simulator's and the stand-ins' files are still
# installed on request ("cmake --install --component simulator", "...
# --component platform"), only not by default: a device build has neither.
set(QZ_SIMULATOR_INSTALL_OPTIONS COMPONENT simulator)
set(QZ_PLATFORM_INSTALL_OPTIONS COMPONENT platform)
if(NOT QZ_INSTALL_SIMULATOR)
  list(APPEND QZ_SIMULATOR_INSTALL_OPTIONS EXCLUDE_FROM_ALL)
  list(APPEND QZ_PLATFORM_INSTALL_OPTIONS EXCLUDE_FROM_ALL)
endif()

# The group the shipped bus policy lets call the upgrade interface: the policy
# files, the sysusers file and qz-swu (which names it when the bus refuses a
# call) all take it from here.
set(QZ_SWU_GROUP "qz-swu" CACHE STRING
  "Group whose members may own the upgrade bus names and call the upgrade interface")
