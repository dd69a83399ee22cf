# The option TORVI_BUILD_PYTHON: on by default when pybind11, the Python
# development files and numpy are found (numpy is what the package returns).
# Debian's numpy belongs to /usr/bin/python3, which need not be the first
# python3 on PATH, so that interpreter is the default; pip passes its own.
# Sanitizer builds leave the package out (the interpreter is not instrumented).
if(NOT DEFINED Python_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Python interpreter of the Python package")
endif()

set(torvi_python_found OFF)
if((NOT DEFINED TORVI_BUILD_PYTHON OR TORVI_BUILD_PYTHON) AND NOT TORVI_SANITIZE
   AND NOT TORVI_BUILD_FUZZ)
  find_package(Python 3.8 QUIET COMPONENTS Interpreter Development.Module)
  if(Python_FOUND)
    find_package(pybind11 CONFIG QUIET)
    execute_process(COMMAND ${Python_EXECUTABLE} -c "import numpy"
      RESULT_VARIABLE torvi_numpy_missing OUTPUT_QUIET ERROR_QUIET)
    if(pybind11_FOUND AND NOT torvi_numpy_missing)
      set(torvi_python_found ON)
    endif()
  endif()
endif()
option(TORVI_BUILD_PYTHON "Build the Python package (needs pybind11 and numpy)" ${torvi_python_found})
if(TORVI_BUILD_PYTHON AND NOT torvi_python_found)
  message(FATAL_ERROR "TORVI_BUILD_PYTHON needs Python development files, pybind11 and numpy for "
                      "${Python_EXECUTABLE}, and no sanitizer (scripts/deps.sh installs them)")
endif()
message(STATUS "Python package: ${TORVI_BUILD_PYTHON} (${Python_EXECUTABLE})")
