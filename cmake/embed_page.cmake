# Writes the web page's files into a C++ source as raw string literals, so
# that the service needs no files at run time.
# cmake -DOUTPUT=FILE -DINPUTS="a.html;b.js" -P embed_page.cmake
set(text "// Generated from src/page by cmake/embed_page.cmake.\n")
foreach(input IN LISTS INPUTS)
  get_filename_component(name "${input}" NAME)
  string(MAKE_C_IDENTIFIER "${name}" identifier)
  file(READ "${input}" content)
  string(FIND "${content}" ")TIRNPAGE\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${input} holds the raw string's delimiter")
  endif()
  string(APPEND text "static const char k_${identifier}[] = R\"TIRNPAGE(${content})TIRNPAGE\";\n")
endforeach()
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
