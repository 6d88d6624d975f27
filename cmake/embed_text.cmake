# Turns a text file of the repository into a C++ source that holds it as a
# string_view, so that the file stays the single source of what it holds.
#   veltrane_embed_text(<input> <output.cpp> <namespace-qualified variable>)
# The output is rewritten only when its content changes, and editing the input
# re-runs the configure step.
function(veltrane_embed_text input output variable)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
  file(READ ${input} text)
  string(FIND "${text}" ")embedded\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${input} holds the raw-string delimiter and cannot be embedded")
  endif()
  string(REGEX REPLACE "::[^:]*$" "" ns "${variable}")
  string(REGEX REPLACE "^.*::" "" name "${variable}")
  set(content "// Generated from ${input} at configure time; edit that file instead.\n")
  string(APPEND content "#include <string_view>\n\nnamespace ${ns} {\n")
  string(APPEND content "extern const std::string_view ${name};\n")
  string(APPEND content "const std::string_view ${name} = R\"embedded(${text})embedded\";\n}\n")
  file(WRITE ${output}.tmp "${content}")
  configure_file(${output}.tmp ${output} COPYONLY)
endfunction()
