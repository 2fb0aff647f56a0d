// The plug-in, loaded with dlopen: its entry, start directory and path
// normalisation.  Nothing of it is linked into the host.
#ifndef TQHOST_PLUGIN_H
#define TQHOST_PLUGIN_H

#include <stddef.h>

#include "tqsftp.h"

namespace tqhost {

class Plugin {
public:
    Plugin() = default;
    // Loads the plug-in at path; false on failure, and why in err (of size
    // bytes).  Nothing else is asked of a plug-in that failed to load.
    bool load(const char *path, char *err, size_t size);
    ~Plugin();
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;

    // The table for a client path, asked of the plug-in with the host's own
    // table.  Never null: a plug-in that answered null gets a table with
    // every slot absent.
    const tqsftp_funcs *table(const char *client_path) const;
    const char *start_dir() const { return *start_dir_; }
    int normalize(const char *in, char *out, size_t size) const
    {
        return normalize_(in, out, size);
    }

private:
    void *lib_ = nullptr;
    tqsftp_funcs *(*entry_)(const char *, const tqsftp_funcs *) = nullptr;
    const char *const *start_dir_ = nullptr;
    int (*normalize_)(const char *, char *, size_t) = nullptr;
};

// The plug-in used without -P: the build tree's when this program runs from
// the build tree, else the installed one.
const char *default_plugin_path();

}  // namespace tqhost

#endif
