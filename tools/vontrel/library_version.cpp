// SPDX-License-Identifier: MIT
#include "tools/vontrel/library_version.h"

#include <dlfcn.h>
#include <fmt/format.h>
#include <link.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "include/vontrel.h"

namespace vontrel::tool {
namespace {

struct SonameSearch {
    const void *base;  // the object's load address, from dladdr
    std::string soname;
};

// The SONAME of the loaded object whose segments start at `base`.
int FindSoname(dl_phdr_info *info, std::size_t, void *data)
{
    auto *search = static_cast<SonameSearch *>(data);
    const ElfW(Dyn) *dynamic = nullptr;
    bool ours = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        const auto start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && segment.p_offset == 0 &&
            reinterpret_cast<const void *>(start) == search->base) {
            ours = true;
        }
        if (segment.p_type == PT_DYNAMIC) {
            dynamic = reinterpret_cast<const ElfW(Dyn) *>(start);
        }
    }
    if (!ours || dynamic == nullptr) {
        return 0;
    }
    ElfW(Addr) strtab = 0;
    ElfW(Addr) soname = 0;
    bool has_soname = false;
    for (const ElfW(Dyn) *d = dynamic; d->d_tag != DT_NULL; ++d) {
        if (d->d_tag == DT_STRTAB) {
            strtab = d->d_un.d_ptr;
        } else if (d->d_tag == DT_SONAME) {
            soname = d->d_un.d_val;
            has_soname = true;
        }
    }
    if (has_soname && strtab != 0) {
        // The loader relocates the string table's address in place on most
        // machines; where it does not, it is relative to the load address.
        if (strtab < info->dlpi_addr) {
            strtab += info->dlpi_addr;
        }
        search->soname = reinterpret_cast<const char *>(strtab + soname);
    }
    return 1;
}

}  // namespace

std::optional<LoadedLibrary> FindLoadedLibrary()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&Vontrel_Open), &info) == 0 || info.dli_fname == nullptr ||
        info.dli_fname[0] == '\0') {
        return std::nullopt;
    }
    LoadedLibrary found;
    char real[PATH_MAX];
    found.path = realpath(info.dli_fname, real) != nullptr ? real : info.dli_fname;
    SonameSearch search{info.dli_fbase, {}};
    dl_iterate_phdr(FindSoname, &search);
    found.soname = search.soname;
    const std::size_t name = found.path.rfind('/') + 1;  // 0 when there is no slash
    const std::size_t so = found.path.find(".so.", name);
    if (so != std::string::npos) {
        found.version = found.path.substr(so + 4);
    }
    return found;
}

std::string VersionText()
{
    std::string text = fmt::format("vontrel {} (built with the libvontrel {} headers)",
                                   VONTREL_VERSION_STRING, VONTREL_VERSION_STRING);
    const std::optional<LoadedLibrary> library = FindLoadedLibrary();
    if (!library) {
        return text + "\nlibvontrel loaded: not known (linked in statically)";
    }
    text += fmt::format("\nlibvontrel loaded: {}", library->path);
    if (!library->soname.empty() || !library->version.empty()) {
        text += fmt::format(" (SONAME {}, file version {})",
                            library->soname.empty() ? "none" : library->soname,
                            library->version.empty() ? "none" : library->version);
    }
    return text;
}

}  // namespace vontrel::tool
