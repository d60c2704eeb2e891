# Helpers that keep each subsystem's CMakeLists short.
#
# kvdepth_add_module(NAME <name> SOURCES <files...> [DEPS <targets...>])
#   Compiles the sources once as kvdepth_<name>_obj (PIC, hidden symbols) and wraps the objects in the static
#   library kvdepth_<name>, which unit tests link directly. The objects also go into libkvdepth.so.
#
# kvdepth_add_test(NAME <name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>])
#   A GoogleTest executable registered with CTest under <name>.

set_property(GLOBAL PROPERTY KVDEPTH_MODULE_OBJECTS "")
set_property(GLOBAL PROPERTY KVDEPTH_MODULE_NAMES "")

function(kvdepth_add_module)
  cmake_parse_arguments(M "" "NAME" "SOURCES;DEPS" ${ARGN})
  set(obj kvdepth_${M_NAME}_obj)
  add_library(${obj} OBJECT ${M_SOURCES})
  set_target_properties(${obj} PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden
                                          C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${obj} PUBLIC kvdepth_build_flags ${M_DEPS})
  add_library(kvdepth_${M_NAME} STATIC $<TARGET_OBJECTS:${obj}>)
  target_link_libraries(kvdepth_${M_NAME} PUBLIC kvdepth_build_flags ${M_DEPS} Threads::Threads)
  set_property(GLOBAL APPEND PROPERTY KVDEPTH_MODULE_OBJECTS $<TARGET_OBJECTS:${obj}>)
  set_property(GLOBAL APPEND PROPERTY KVDEPTH_MODULE_NAMES ${M_NAME})
endfunction()

function(kvdepth_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE kvdepth_build_flags ${T_LIBS} GTest::gmock GTest::gtest_main
                                          Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 600)
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  # The ThreadSanitizer run builds only the threaded suites.
  if("thread" IN_LIST T_LABELS AND TARGET kvdepth_thread_tests)
    add_dependencies(kvdepth_thread_tests ${T_NAME})
  endif()
endfunction()
