#include "loadlib.h"

#include <dlfcn.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

// The directory of the running program, with a trailing slash; empty when unknown.
std::string program_dir() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0)
        return "";
    exe[n] = 0;
    const char *slash = strrchr(exe, '/');
    return slash ? std::string(exe, (size_t)(slash - exe) + 1) : "";
}

} // namespace

LoadLib::LoadLib(const char *name) {
    if (!name)
        return;
    if (!strchr(name, '/')) {
        std::string local = program_dir() + name;
        lib_handle = dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!lib_handle)
        lib_handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

LoadLib::~LoadLib() {
    if (lib_handle)
        dlclose(lib_handle);
    lib_handle = nullptr;
}

void *LoadLib::GetApiPtr(const char *name) const {
    return lib_handle && name ? dlsym(lib_handle, name) : nullptr;
}
