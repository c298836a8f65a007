# Package checks: an install into a temporary prefix with consumers built
# against it, and the library's exported dynamic symbols.
find_program(QZ_BASH bash REQUIRED)

add_test(NAME Install
  COMMAND ${QZ_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install/check-install.sh
          ${PROJECT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/consumer)
# Configures and builds a project of its own: give it time on a busy machine.
set_tests_properties(Install PROPERTIES TIMEOUT 300)

add_test(NAME ExportedSymbols
  COMMAND ${QZ_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install/check-symbols.sh
          $<TARGET_FILE:qz-swupgrade-interface> ${CMAKE_CURRENT_SOURCE_DIR}/data/exported-symbols.txt)
