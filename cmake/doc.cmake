# SPDX-License-Identifier: MIT
# The API reference, built by Doxygen from the public headers:
#   cmake --build build --target doc     ->  build/doc/html/index.html
# With -DVONTREL_BUILD_DOCS=ON it is part of every build, and installed with
# the development files (share/doc/vontrel/html), which the libvontrel-dev
# package ships.
option(VONTREL_BUILD_DOCS "Build the API reference with everything (doxygen)" OFF)
if(VONTREL_BUILD_DOCS)
  find_package(Doxygen REQUIRED)
else()
  find_package(Doxygen QUIET)
endif()
if(NOT DOXYGEN_FOUND)
  add_custom_target(doc
    COMMAND ${CMAKE_COMMAND} -E echo "The API reference needs doxygen (Debian: doxygen)"
    COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()

set(DOXYGEN_PROJECT_NAME "libvontrel")
set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
set(DOXYGEN_PROJECT_BRIEF "Driver library for Vontrel USB RF synthesizer units")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/doc)
set(DOXYGEN_GENERATE_HTML YES)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_OPTIMIZE_OUTPUT_FOR_C YES)
set(DOXYGEN_EXTRACT_ALL NO)
set(DOXYGEN_EXTRACT_STATIC YES)  # vontrel_status.h's inline functions
set(DOXYGEN_HIDE_UNDOC_MEMBERS YES)
set(DOXYGEN_SHOW_INCLUDE_FILES YES)
set(DOXYGEN_FULL_PATH_NAMES YES)
set(DOXYGEN_STRIP_FROM_PATH ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include
    ${PROJECT_SOURCE_DIR})
set(DOXYGEN_STRIP_FROM_INC_PATH ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include)
set(DOXYGEN_EXCLUDE_SYMBOLS "detail" "VONTREL_STATUS_*_CASE" "VONTREL_STATUS_ENUMERATOR")
# The status codes are made by a macro from one table: expand it.
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_EXPAND_AS_DEFINED VONTREL_STATUS_TABLE VONTREL_STATUS_ENUMERATOR)
set(DOXYGEN_PREDEFINED "VONTREL_API=" "__cplusplus")
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/docs/api.md)
# Plain pages: no search engine or menus, so no JavaScript library of
# doxygen's own is shipped with them.
set(DOXYGEN_SEARCHENGINE NO)
set(DOXYGEN_HTML_DYNAMIC_MENUS NO)
set(DOXYGEN_HTML_DYNAMIC_SECTIONS NO)
set(DOXYGEN_GENERATE_TREEVIEW NO)
set(DOXYGEN_HAVE_DOT NO)
set(DOXYGEN_QUIET YES)
set(DOXYGEN_WARN_IF_UNDOCUMENTED NO)

set(vontrel_doc_all "")
if(VONTREL_BUILD_DOCS)
  set(vontrel_doc_all ALL)
endif()
doxygen_add_docs(doc ${vontrel_doc_all}
  ${PROJECT_SOURCE_DIR}/docs/api.md
  ${PROJECT_SOURCE_DIR}/include/vontrel.h
  ${PROJECT_BINARY_DIR}/include/vontrel_version.h
  ${PROJECT_SOURCE_DIR}/include/vontrel_status.h
  ${PROJECT_SOURCE_DIR}/include/vontrel_limits.h
  ${PROJECT_SOURCE_DIR}/include/vontrel.hpp
  ${PROJECT_SOURCE_DIR}/include/vontrel
  ${PROJECT_SOURCE_DIR}/include/vontrel_mains.h
  ${PROJECT_SOURCE_DIR}/include/vontrel_mains.hpp
  ${PROJECT_SOURCE_DIR}/docs/status-vector.md
  ${PROJECT_SOURCE_DIR}/docs/versioning.md
  COMMENT "The API reference: ${PROJECT_BINARY_DIR}/doc/html/index.html")

if(VONTREL_INSTALL AND VONTREL_BUILD_DOCS)
  include(GNUInstallDirs)
  install(DIRECTORY ${PROJECT_BINARY_DIR}/doc/html
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development)
endif()
