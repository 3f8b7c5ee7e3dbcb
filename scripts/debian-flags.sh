# shellcheck shell=bash
# Sourced by package.sh and test.sh: sets debian_cmake_args to the CMake
# settings of the Debian package's build, Debian's flags with all its
# hardening (the preprocessor's flags go with the compilers') and the /usr
# prefix. Given on every configure, so that a build directory made before
# follows them too. Run from the repository's root (dpkg-buildflags maps
# the current directory to "." in the debug information).
debian_flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
debian_cmake_args=(
  -DCMAKE_INSTALL_PREFIX=/usr
  -DCMAKE_C_FLAGS="$(debian_flags CPPFLAGS) $(debian_flags CFLAGS)"
  -DCMAKE_CXX_FLAGS="$(debian_flags CPPFLAGS) $(debian_flags CXXFLAGS)"
  -DCMAKE_EXE_LINKER_FLAGS="$(debian_flags LDFLAGS)"
)
