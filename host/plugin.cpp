#include "plugin.h"

#include <dlfcn.h>
#include <libgen.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "fsops.h"

namespace tqhost {

bool Plugin::load(const char *path, char *err, size_t size)
{
    lib_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib_ == nullptr) {
        const char *why = dlerror();
        snprintf(err, size, "cannot load the plug-in: %s", why ? why : path);
        return false;
    }
    struct Symbol {
        const char *name;
        void *&slot;
    };
    void *entry = nullptr, *start = nullptr, *norm = nullptr;
    const Symbol symbols[] = {
        {"tqsftp_get_sftp_func_cb", entry},
        {"tqsftp_start_dir", start},
        {"tqsftp_normalizePath", norm},
    };
    for (const Symbol &s : symbols) {
        s.slot = dlsym(lib_, s.name);
        if (s.slot == nullptr) {
            snprintf(err, size, "the plug-in %s has no %s", path, s.name);
            return false;
        }
    }
    entry_ = reinterpret_cast<decltype(entry_)>(entry);
    start_dir_ = static_cast<const char *const *>(start);
    normalize_ = reinterpret_cast<decltype(normalize_)>(norm);
    if (*start_dir_ == nullptr) {
        snprintf(err, size, "the plug-in %s has no start directory", path);
        return false;
    }
    return true;
}

Plugin::~Plugin()
{
    if (lib_ != nullptr)
        dlclose(lib_);
}

const tqsftp_funcs *Plugin::table(const char *client_path) const
{
    static const tqsftp_funcs none = {};
    const tqsftp_funcs *t = entry_(client_path, host_funcs());
    return t != nullptr ? t : &none;
}

const char *default_plugin_path()
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return TQSFTP_INSTALLED_PLUGIN;
    exe[n] = '\0';
    const char *dir = dirname(exe);
    // Where it is installed, as it is on a device: nothing more to look up.
    if (strcmp(dir, TQSFTP_INSTALLED_HOST_DIR) == 0)
        return TQSFTP_INSTALLED_PLUGIN;
    // The build tree, also when it was named through a link.
    char build[PATH_MAX];
    if (strcmp(dir, TQSFTP_BUILD_HOST_DIR) == 0 ||
        (realpath(TQSFTP_BUILD_HOST_DIR, build) != nullptr && strcmp(dir, build) == 0))
        return TQSFTP_BUILD_PLUGIN;
    return TQSFTP_INSTALLED_PLUGIN;
}

}  // namespace tqhost
