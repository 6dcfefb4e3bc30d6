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
    # clang's runtime holds both sanitizers; gcc's come apart.
    if(CMAKE_C_COMPILER_ID MATCHES "Clang")
      set(vontrel_runtimes libclang_rt.asan-${CMAKE_SYSTEM_PROCESSOR}.so)
    else()
      set(vontrel_runtimes libasan.so libubsan.so)
    endif()
    set(vontrel_preload)
    foreach(runtime ${vontrel_runtimes})
      execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${runtime}
                      OUTPUT_VARIABLE vontrel_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(NOT IS_ABSOLUTE "${vontrel_runtime}")
        message(FATAL_ERROR "${CMAKE_C_COMPILER} has no ${runtime} (Debian: libclang-rt-14-dev "
                            "for clang)")
      endif()
      list(APPEND vontrel_preload ${vontrel_runtime})
    endforeach()
    string(REPLACE ";" ":" vontrel_preload "${vontrel_preload}")
    list(APPEND VONTREL_PYTHON_ENV "LD_PRELOAD=${vontrel_preload}" "ASAN_OPTIONS=detect_leaks=0")
  endif()
endif()
