# SPDX-License-Identifier: MIT
# Checks that every copy of the version that cannot be derived from the top
# CMakeLists.txt's project(... VERSION ...) says the same: the Python
# package's __version__ (which pyproject.toml reads) and debian/changelog's
# latest entry. (The C header's macros are generated from it.)
#   cmake -DSOURCE_DIR=DIR -P version_agrees.cmake
file(STRINGS "${SOURCE_DIR}/CMakeLists.txt" project_line REGEX "^project\\(vontrel VERSION ")
string(REGEX REPLACE "^project\\(vontrel VERSION ([^ )]*).*" "\\1" VERSION "${project_line}")
if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "not a version: '${VERSION}'")
endif()

set(failures "")
# Each entry: file, regular expression whose first group is the copy, what
# it must equal.
set(copies
  "python/vontrel/__init__.py|__version__ = \"([^\"]*)\"|${VERSION}"
  # The first line of the changelog; a native package has no Debian revision.
  "debian/changelog|^vontrel \\(([^)]*)\\)|${VERSION}")
foreach(copy IN LISTS copies)
  string(REPLACE "|" ";" copy "${copy}")
  list(GET copy 0 file)
  list(GET copy 1 regex)
  list(GET copy 2 expected)
  file(STRINGS "${SOURCE_DIR}/${file}" lines REGEX "${regex}" LIMIT_COUNT 1)
  if(NOT lines MATCHES "${regex}")
    string(APPEND failures "\n  ${file}: no line matches ${regex}")
  elseif(NOT CMAKE_MATCH_1 STREQUAL expected)
    string(APPEND failures "\n  ${file}: '${CMAKE_MATCH_1}', not '${expected}'")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "the version is ${VERSION} (top CMakeLists.txt), but:${failures}")
endif()
message(STATUS "version ${VERSION} everywhere")
