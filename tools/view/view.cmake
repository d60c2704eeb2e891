# kvdepth view: the browser viewer. Its page (web/) is compiled in; three.js is served from Debian's
# libjs-three where it is installed.
set(kvdepth_view_dir ${CMAKE_CURRENT_LIST_DIR})
# Debian's civetweb CMake package names a server program it does not install: find the library directly.
find_path(CIVETWEB_INCLUDE_DIR civetweb.h REQUIRED)
find_library(CIVETWEB_LIBRARY civetweb REQUIRED)
if(NOT TARGET kvdepth_civetweb)
  add_library(kvdepth_civetweb INTERFACE)
  target_include_directories(kvdepth_civetweb INTERFACE ${CIVETWEB_INCLUDE_DIR})
  target_link_libraries(kvdepth_civetweb INTERFACE ${CIVETWEB_LIBRARY})
endif()
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)

set(view_web_files index.html app.js style.css)
string(REPLACE ";" "," view_web_names "${view_web_files}")
set(view_web_paths ${view_web_files})
list(TRANSFORM view_web_paths PREPEND ${kvdepth_view_dir}/web/)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/view_resources.cpp
  COMMAND ${CMAKE_COMMAND} -DOUT=${CMAKE_CURRENT_BINARY_DIR}/view_resources.cpp -DBASE=${kvdepth_view_dir}/web
          -DFILES=${view_web_names} -P ${kvdepth_view_dir}/embed_resources.cmake
  DEPENDS ${view_web_paths} ${kvdepth_view_dir}/embed_resources.cmake
  COMMENT "Embedding the viewer's page" VERBATIM)

# The parts without a camera or a server, so that tests reach them alone.
add_library(kvdepth_view_core STATIC ${kvdepth_view_dir}/request_guard.cpp ${kvdepth_view_dir}/cpu_meter.cpp
                                     ${kvdepth_view_dir}/frame_encoder.cpp)
target_include_directories(kvdepth_view_core PUBLIC ${kvdepth_view_dir})
target_compile_options(kvdepth_view_core PRIVATE -Wall -Wextra)
target_link_libraries(kvdepth_view_core PUBLIC kvdepth_tool_core PkgConfig::TURBOJPEG)

set(kvdepth_view_sources ${kvdepth_view_dir}/viewer.cpp ${kvdepth_view_dir}/web_server.cpp
                         ${kvdepth_view_dir}/settings_panel.cpp ${CMAKE_CURRENT_BINARY_DIR}/view_resources.cpp)
set(kvdepth_view_libs kvdepth_view_core kvdepth_civetweb)
