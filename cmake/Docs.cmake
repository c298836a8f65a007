# The HTML API reference of the installed headers, made by Doxygen with
# diagrams drawn by Graphviz and Doxygen's own mscgen from the text files in
# docs/diagrams. Part of the default build when both tools are there
# (scripts/deps installs them), so that the packages always carry it:
#
#   cmake --build build --target docs      # -> build/docs/html/index.html
#
# docs/Doxyfile.in fails the run on any warning, so an undocumented public
# member fails the build.

find_package(Doxygen QUIET COMPONENTS dot)
set(QZ_DOCS_DEFAULT OFF)
if(TARGET Doxygen::doxygen AND TARGET Doxygen::dot)
  set(QZ_DOCS_DEFAULT ON)
endif()
option(QZ_BUILD_DOCS "Build the HTML API reference (needs doxygen and graphviz)" ${QZ_DOCS_DEFAULT})
if(NOT QZ_BUILD_DOCS)
  message(STATUS "API reference not built: QZ_BUILD_DOCS is off (doxygen and graphviz found: ${QZ_DOCS_DEFAULT})")
  return()
endif()
if(NOT (TARGET Doxygen::doxygen AND TARGET Doxygen::dot))
  message(FATAL_ERROR "QZ_BUILD_DOCS needs doxygen and graphviz (scripts/deps installs them)")
endif()

set(QZ_DOCS_OUTPUT_DIR ${PROJECT_BINARY_DIR}/docs)
set(QZ_DOCS_HTML_DIR ${QZ_DOCS_OUTPUT_DIR}/html)
get_target_property(dot_executable Doxygen::dot IMPORTED_LOCATION)
get_filename_component(QZ_DOT_DIR "${dot_executable}" DIRECTORY)

# The headers an install puts in front of a consumer: the library's and the
# platform's (installed with the simulator), and the pages of the reference.
file(GLOB QZ_DOCS_HEADERS ${PROJECT_SOURCE_DIR}/include/*.h
                          ${PROJECT_SOURCE_DIR}/platform/*/include/*.h)
file(GLOB QZ_DOCS_PAGES ${PROJECT_SOURCE_DIR}/docs/api/*.dox)
file(GLOB QZ_DOCS_DIAGRAMS ${PROJECT_SOURCE_DIR}/docs/diagrams/*)
list(JOIN QZ_DOCS_HEADERS " " headers)
list(JOIN QZ_DOCS_PAGES " " pages)
set(QZ_DOCS_INPUTS "${headers} ${pages}")
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${QZ_DOCS_OUTPUT_DIR}/Doxyfile @ONLY)

# Doxygen leaves pages of removed members behind: each run starts afresh.
# The stamp is written only when Doxygen succeeded (no warning), so a failed
# run is run again by the next build even though it left its HTML.
set(QZ_DOCS_STAMP ${QZ_DOCS_OUTPUT_DIR}/html.stamp)
add_custom_command(
  OUTPUT ${QZ_DOCS_STAMP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${QZ_DOCS_HTML_DIR} ${QZ_DOCS_STAMP}
  COMMAND Doxygen::doxygen ${QZ_DOCS_OUTPUT_DIR}/Doxyfile
  COMMAND ${CMAKE_COMMAND} -E touch ${QZ_DOCS_STAMP}
  DEPENDS ${QZ_DOCS_HEADERS} ${QZ_DOCS_PAGES} ${QZ_DOCS_DIAGRAMS}
          ${PROJECT_SOURCE_DIR}/docs/Doxyfile.in
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "API reference (Doxygen) in ${QZ_DOCS_HTML_DIR}"
  VERBATIM)
add_custom_target(docs ALL DEPENDS ${QZ_DOCS_STAMP})

# A plain install puts it beside LICENSE and CHANGELOG.md, when the build
# made it (a build of chosen targets may not have); the Debian development
# package always carries it, under its own name (cmake/Packaging.cmake).
install(DIRECTORY ${QZ_DOCS_HTML_DIR}/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/html COMPONENT doc
  OPTIONAL)
