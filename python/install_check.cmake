# Installs the build into a scratch prefix and imports the installed package from there with the
# build tree out of sight, so the install rules and the module's relative library path are checked.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} RESULT_VARIABLE rc
                OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=PYTHONPATH PYTHONPATH=${PREFIX}/${PACKAGE_DIR} PYTHONDONTWRITEBYTECODE=1
          ${PYTHON} -c "import kvdepth; print(kvdepth.__file__); print(kvdepth.version())"
  WORKING_DIRECTORY ${PREFIX} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "import of the installed package failed:\n${out}${err}")
endif()
string(FIND "${out}" "${PREFIX}/" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "imported kvdepth from outside the install prefix: ${out}")
endif()
message(STATUS "installed package: ${out}")
