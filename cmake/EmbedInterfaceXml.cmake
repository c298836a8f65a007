# Writes the interface document into a C++ source as the exported global
# g_GDBusInterfaceXML, so the text the library parses and the installed file
# are one and the same.
#   cmake -DINPUT=<xml> -DOUTPUT=<cpp> -P EmbedInterfaceXml.cmake
file(READ "${INPUT}" document)
set(delimiter "qzxml")
string(FIND "${document}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw-string delimiter )${delimiter}\"")
endif()
get_filename_component(source_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}" "// Generated from ${source_name} at build time; edit that file instead.
#include \"QZGDBus.h\"

const char* g_GDBusInterfaceXML = R\"${delimiter}(${document})${delimiter}\";
")
