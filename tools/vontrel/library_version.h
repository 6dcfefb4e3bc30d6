// SPDX-License-Identifier: MIT
// Which libvontrel this process loaded. The library exports nothing that
// tells its version, so it is learnt from the loaded file itself: its path,
// the SONAME in its dynamic section and the version its file name carries
// (libvontrel.so.MAJOR.MINOR.PATCH, as installed).
#ifndef VONTREL_TOOLS_VONTREL_LIBRARY_VERSION_H
#define VONTREL_TOOLS_VONTREL_LIBRARY_VERSION_H

#include <optional>
#include <string>

namespace vontrel::tool {

struct LoadedLibrary {
    std::string path;     // the file, symbolic links followed
    std::string soname;   // "libvontrel.so.0"; empty when it has none
    std::string version;  // "0.1.0" from the file name; empty when it carries none
};

// The libvontrel that Vontrel_Open was loaded from; none when the loader
// cannot say (a static link).
std::optional<LoadedLibrary> FindLoadedLibrary();

// What --version prints: the version the tool was built with (the headers')
// and the library it loaded, each named as such.
std::string VersionText();

}  // namespace vontrel::tool

#endif
