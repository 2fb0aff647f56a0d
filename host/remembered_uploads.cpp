#include "remembered_uploads.h"

#include <string.h>

#include <algorithm>

namespace tqhost {

// The path normalised by the plug-in (as it does before it looks a path up)
// and in lower case; a path it cannot normalise stands as spelled.
std::string RememberedUploads::name(std::string_view path) const
{
    std::string in(path), out(path.size() + 2, '\0');
    if (plugin_.normalize(in.c_str(), out.data(), out.size()) == 0)
        out.resize(strlen(out.c_str()));
    else
        out = in;
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return out;
}

void RememberedUploads::remember(std::string_view path, const struct stat64 &st)
{
    forget(path);
    if (uploads_.size() >= most)
        uploads_.erase(uploads_.begin());
    uploads_.push_back({name(path), st});
}

const struct stat64 *RememberedUploads::find(std::string_view path) const
{
    if (uploads_.empty())
        return nullptr;
    std::string n = name(path);
    for (const Upload &u : uploads_) {
        if (u.name == n)
            return &u.st;
    }
    return nullptr;
}

void RememberedUploads::forget(std::string_view path)
{
    if (uploads_.empty())
        return;
    std::string n = name(path);
    std::erase_if(uploads_, [&](const Upload &u) { return u.name == n; });
}

}  // namespace tqhost
