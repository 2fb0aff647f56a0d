#include "remembered_uploads.h"

#include <string.h>

namespace tqhost {

RememberedUploads::~RememberedUploads()
{
    while (count_ > 0)
        drop(count_ - 1);
    free(uploads_);
}

// The path normalised by the plug-in (as it does before it looks a path up)
// and in lower case; a path it cannot normalise stands as spelled.
Text RememberedUploads::name(std::string_view path) const
{
    Text in(path), out;
    out.resize(path.size() + 2);
    if (plugin_.normalize(in.c_str(), out.data(), out.size()) == 0)
        out.resize(strlen(out.c_str()));
    else
        out = std::move(in);
    for (size_t i = 0; i < out.size(); i++) {
        char &c = out.data()[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return out;
}

void RememberedUploads::drop(size_t i)
{
    free(uploads_[i].name);
    memmove(&uploads_[i], &uploads_[i + 1], (count_ - i - 1) * sizeof *uploads_);
    count_--;
}

void RememberedUploads::remember(std::string_view path, const struct stat64 &st)
{
    forget(path);
    if (uploads_ == nullptr)
        uploads_ = static_cast<Upload *>(xmalloc(most * sizeof *uploads_));
    if (count_ >= most)
        drop(0);
    uploads_[count_++] = {name(path).release(), st};
}

const struct stat64 *RememberedUploads::find(std::string_view path) const
{
    if (count_ == 0)
        return nullptr;
    Text n = name(path);
    for (size_t i = 0; i < count_; i++) {
        if (strcmp(uploads_[i].name, n.c_str()) == 0)
            return &uploads_[i].st;
    }
    return nullptr;
}

void RememberedUploads::forget(std::string_view path)
{
    if (count_ == 0)
        return;
    Text n = name(path);
    for (size_t i = count_; i-- > 0;) {
        if (strcmp(uploads_[i].name, n.c_str()) == 0)
            drop(i);
    }
}

}  // namespace tqhost
