# Package checks: a plain install into a throwaway root with consumers built
# against it, the same without the simulator, the Debian packages, and the
# library's exported dynamic symbols with their versions. The first three
# configure and build projects of their own: give them time on a busy machine.
find_program(QZ_BASH bash REQUIRED)

add_test(NAME Install
  COMMAND ${QZ_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install/check-install.sh
          ${PROJECT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/consumer "${QZ_DBUS_SYSTEM_POLICY_DIR}")
add_test(NAME InstallWithoutSimulator
  COMMAND ${QZ_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install/check-components.sh ${PROJECT_SOURCE_DIR})
add_test(NAME InstallPackages
  COMMAND ${QZ_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install/check-packages.sh
          ${PROJECT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/consumer)
# "slow" as well: together they take minutes, so `ctest -LE slow` leaves them out.
set_tests_properties(Install InstallWithoutSimulator InstallPackages PROPERTIES
  TIMEOUT 600 LABELS "install;slow")

# A cross build checks its own installation: the consumers are built with its
# compiler, toolchain file and the target's pkg-config folders, and every
# program of the target runs under its emulator.
if(CMAKE_CROSSCOMPILING)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  get_filename_component(toolchain "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE BASE_DIR ${PROJECT_BINARY_DIR})
  if(NOT EXISTS "${toolchain}")
    get_filename_component(toolchain "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
  endif()
  set_tests_properties(Install InstallWithoutSimulator InstallPackages PROPERTIES ENVIRONMENT
    "QZ_TARGET_EMULATOR=${emulator};CXX=${CMAKE_CXX_COMPILER};CMAKE_TOOLCHAIN_FILE=${toolchain};PKG_CONFIG_LIBDIR=$ENV{PKG_CONFIG_LIBDIR}")
endif()

add_test(NAME ExportedSymbols
  COMMAND ${QZ_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install/check-symbols.sh
          $<TARGET_FILE:qz-swupgrade-interface> ${CMAKE_CURRENT_SOURCE_DIR}/data/exported-symbols.txt)
