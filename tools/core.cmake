# The tool's file writers, frame queue, name lookup and simulator launcher: a library of their own, so that
# tests reach them without a camera (and without building the tool, as in the ThreadSanitizer run).
set(kvdepth_tool_dir ${CMAKE_CURRENT_LIST_DIR})
find_package(PNG REQUIRED)
find_package(nlohmann_json 3 REQUIRED)

add_library(kvdepth_tool_core STATIC ${kvdepth_tool_dir}/atomic_file.cpp ${kvdepth_tool_dir}/png_file.cpp ${kvdepth_tool_dir}/ply_file.cpp
                                     ${kvdepth_tool_dir}/frame_record.cpp ${kvdepth_tool_dir}/frame_files.cpp ${kvdepth_tool_dir}/writer_queue.cpp
                                     ${kvdepth_tool_dir}/progress.cpp ${kvdepth_tool_dir}/descriptor_model.cpp ${kvdepth_tool_dir}/sim_process.cpp)
target_include_directories(kvdepth_tool_core PUBLIC ${kvdepth_tool_dir} ${PROJECT_SOURCE_DIR}/include)
target_compile_options(kvdepth_tool_core PRIVATE -Wall -Wextra)
target_link_libraries(kvdepth_tool_core PUBLIC PNG::PNG nlohmann_json::nlohmann_json PkgConfig::TINYXML2
                                               Threads::Threads)
# Sanitizer flags only (not the project's src/ include path: the tool sees the public header alone).
if(KVDEPTH_SANITIZE STREQUAL "address")
  target_compile_options(kvdepth_tool_core PUBLIC -fsanitize=address,undefined -fno-omit-frame-pointer
                                                  -fno-sanitize-recover=undefined)
  target_link_options(kvdepth_tool_core PUBLIC -fsanitize=address,undefined)
elseif(KVDEPTH_SANITIZE STREQUAL "thread")
  target_compile_options(kvdepth_tool_core PUBLIC -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(kvdepth_tool_core PUBLIC -fsanitize=thread)
endif()

