// Uploads handed over in this session: a file written and gone right after
// its close (the plug-in handed it to the update service).  Its name keeps
// answering as the file the client left until a request names it again.
// Names are matched as the tree matches them: after normalisation and
// without regard to the case of ASCII letters.
#ifndef TQHOST_REMEMBERED_UPLOADS_H
#define TQHOST_REMEMBERED_UPLOADS_H

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "plugin.h"

namespace tqhost {

class RememberedUploads {
public:
    explicit RememberedUploads(const Plugin &plugin) : plugin_(plugin) {}

    // st: the file as the client left it.  The oldest of more than 32 goes.
    void remember(std::string_view path, const struct stat64 &st);
    // The file left under path, or null.
    const struct stat64 *find(std::string_view path) const;
    void forget(std::string_view path);

private:
    struct Upload {
        std::string name;  // as name() spells it
        struct stat64 st;
    };
    static constexpr size_t most = 32;

    std::string name(std::string_view path) const;

    const Plugin &plugin_;
    std::vector<Upload> uploads_;
};

}  // namespace tqhost

#endif
