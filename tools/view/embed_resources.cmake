# Writes a C++ file that holds the viewer's page files as byte arrays, so the tool carries its page.
# Run with -DOUT=<file.cpp> -DBASE=<directory> -DFILES=<name,name,...>.
string(REPLACE "," ";" FILES "${FILES}")
set(body "")
set(table "")
set(index 0)
foreach(name ${FILES})
  file(READ ${BASE}/${name} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "const unsigned char kData${index}[] = {${bytes}0x00};\n")
  if(name MATCHES "\\.html$")
    set(mime "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(mime "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(mime "text/css; charset=utf-8")
  else()
    set(mime "application/octet-stream")
  endif()
  string(APPEND table "    {\"/${name}\", \"${mime}\", kData${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUT}.tmp "// Generated from tools/view/web by embed_resources.cmake: do not edit.\n"
                      "#include \"resources.h\"\n\nnamespace orvane {\nnamespace tool {\nnamespace {\n${body}}  // namespace\n\n"
                      "const WebResource kWebResources[] = {\n${table}};\n"
                      "const size_t kWebResourceCount = ${index};\n\n}  // namespace tool\n}  // namespace orvane\n")
# Only a changed file triggers a rebuild of what includes it.
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
