#include "memory.h"

#include <stdio.h>
#include <string.h>

namespace tqhost {

namespace {

[[noreturn]] void out_of_memory(size_t n)
{
    fprintf(stderr, "tqsftp-server: out of memory (%zu bytes)\n", n);
    abort();
}

}  // namespace

void *xmalloc(size_t n)
{
    void *p = malloc(n);
    if (p == nullptr)
        out_of_memory(n);
    return p;
}

void *xrealloc(void *p, size_t n)
{
    void *q = realloc(p, n);
    if (q == nullptr)
        out_of_memory(n);
    return q;
}

// Room for n characters and the NUL after them.
void Text::reserve(size_t n)
{
    if (n < cap_)
        return;
    size_t cap = cap_ != 0 ? cap_ : 64;
    while (cap <= n)
        cap *= 2;
    p_ = static_cast<char *>(xrealloc(p_, cap));
    cap_ = cap;
}

void Text::append(std::string_view s)
{
    reserve(size_ + s.size());
    if (!s.empty())  // an empty view may have no data at all
        memcpy(p_ + size_, s.data(), s.size());
    size_ += s.size();
    p_[size_] = '\0';
}

void Text::resize(size_t n)
{
    reserve(n);
    if (n > size_)
        memset(p_ + size_, 0, n - size_);
    size_ = n;
    p_[size_] = '\0';
}

char *Text::release()
{
    if (p_ == nullptr)
        resize(0);  // an empty text is handed over as ""
    size_ = cap_ = 0;
    return std::exchange(p_, nullptr);
}

}  // namespace tqhost
