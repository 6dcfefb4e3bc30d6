# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by scripts/test.sh and scripts/deb-test.sh: the compiler flags the
# Debian packages are built with (dpkg-buildflags, with debian/rules' own
# options), for the test command's gcc build and the packages' build alike.
# Compiled the same way at the same path (deb-test.sh builds the packages
# in a mount namespace where its copy of the tree stands in this tree's
# place), every object the packages need is already in the compiler cache
# when they are built, so the packages cost no compile of their own.
# Both add -g1 (line tables and function names) to the packages' -g: the
# test command's packages are checked, installed and thrown away, and full
# debug information would add half to the compile.
#   package_cmake_flags   prints the CMake arguments for a build with them
# It needs the tree's root in $root.

# debian/rules holds the packages' options; dpkg-buildflags reads them here
# as it does there.
DEB_BUILD_MAINT_OPTIONS=$(sed -n 's/^export DEB_BUILD_MAINT_OPTIONS = //p' "$root/debian/rules")
export DEB_BUILD_MAINT_OPTIONS
export DEB_CFLAGS_APPEND=-g1 DEB_CXXFLAGS_APPEND=-g1
# What the compiler cache takes into account besides the command line: the
# language settings dpkg-buildpackage fixes, paths from the tree's root on,
# and not the build folder's name (build/ here, obj-<triplet>/ there).
export LC_ALL=C.UTF-8
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true

# As debhelper passes them: CMake does not read CPPFLAGS, so they follow
# CFLAGS and CXXFLAGS; the build type None adds nothing.
package_cmake_flags() {
  local cppflags ldflags
  cppflags=$(cd "$root" && dpkg-buildflags --get CPPFLAGS)
  ldflags=$(cd "$root" && dpkg-buildflags --get LDFLAGS)
  printf '%s\n' -DCMAKE_BUILD_TYPE=None \
    "-DCMAKE_C_FLAGS=$(cd "$root" && dpkg-buildflags --get CFLAGS) $cppflags" \
    "-DCMAKE_CXX_FLAGS=$(cd "$root" && dpkg-buildflags --get CXXFLAGS) $cppflags" \
    "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags" \
    "-DCMAKE_MODULE_LINKER_FLAGS=$ldflags"
}
