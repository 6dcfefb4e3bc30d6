# SPDX-License-Identifier: MIT
# How CTest runs Python against this build: the interpreter (Debian's, whose
# python3-pytest the tests use) and the environment it needs.
#   VONTREL_PYTHON        the interpreter
#   VONTREL_PYTHON_USABLE true when it exists and the build can be loaded
#                         into it
#   VONTREL_PYTHON_ENV    environment entries for the test (a CMake list)
set(VONTREL_PYTHON /usr/bin/python3 CACHE FILEPATH
    "Python interpreter for the Python package's tests and example")

set(VONTREL_PYTHON_USABLE FALSE)
# The simulator's bench stays in the process: no state shared with other runs.
set(VONTREL_PYTHON_ENV "VONTREL_LIBRARY=$<TARGET_FILE:vontrel>" "PYTHONDONTWRITEBYTECODE=1"
    "VONTREL_SIM_STATE=memory")
if(VONTREL_BUILD_TESTS AND NOT EXISTS ${VONTREL_PYTHON})
  message(FATAL_ERROR "The Python tests need ${VONTREL_PYTHON} (Debian: python3, python3-pytest; "
                      "scripts/setup.sh installs them), or configure with -DVONTREL_BUILD_TESTS=OFF")
elseif(VONTREL_SANITIZE STREQUAL "thread")
  message(STATUS "Python tests skipped under ThreadSanitizer")
else()
  set(VONTREL_PYTHON_USABLE TRUE)
  if(VONTREL_SANITIZE STREQUAL "address")
    # An instrumented library needs the sanitizer runtimes loaded before
    # the (uninstrumented) interpreter; the interpreter's own allocations
    # are not ours to check for leaks.
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE vontrel_asan OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libubsan.so
                    OUTPUT_VARIABLE vontrel_ubsan OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND VONTREL_PYTHON_ENV "LD_PRELOAD=${vontrel_asan}:${vontrel_ubsan}"
         "ASAN_OPTIONS=detect_leaks=0")
  endif()
endif()
