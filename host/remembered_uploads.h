// Uploads handed over in this session: a file written and gone right after
// its close (the plug-in handed it to the update service).  Its name keeps
// answering as the file the client left until a request names it again.
// Names are matched as the tree matches them: after normalisation and
// without regard to the case of ASCII letters.
#ifndef TQHOST_REMEMBERED_UPLOADS_H
#define TQHOST_REMEMBERED_UPLOADS_H

#include <sys/stat.h>

#include <string_view>

#include "memory.h"
#include "plugin.h"

namespace tqhost {

class RememberedUploads {
public:
    explicit RememberedUploads(const Plugin &plugin) : plugin_(plugin) {}
    ~RememberedUploads();
    RememberedUploads(const RememberedUploads &) = delete;
    RememberedUploads &operator=(const RememberedUploads &) = delete;

    // st: the file as the client left it.  The oldest of more than 32 goes.
    void remember(std::string_view path, const struct stat64 &st);
    // The file left under path, or null.
    const struct stat64 *find(std::string_view path) const;
    void forget(std::string_view path);

private:
    struct Upload {
        char *name;  // as name() spells it, from malloc
        struct stat64 st;
    };
    static constexpr size_t most = 32;

    Text name(std::string_view path) const;
    void drop(size_t i);

    const Plugin &plugin_;
    // The oldest first; allocated at the first upload handed over (most of
    // them, some 5 KiB), as a session that lists folders needs none.
    Upload *uploads_ = nullptr;
    size_t count_ = 0;
};

}  // namespace tqhost

#endif
