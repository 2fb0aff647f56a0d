// Memory from malloc, owned by the one who holds it: a block of bytes, and
// a text of any length.  An allocation that fails ends the server with a
// message: it could serve nothing more, and there is nothing to unwind.
#ifndef TQHOST_MEMORY_H
#define TQHOST_MEMORY_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string_view>
#include <utility>

namespace tqhost {

void *xmalloc(size_t n);
void *xrealloc(void *p, size_t n);

// A block of n bytes.
class Bytes {
public:
    Bytes() = default;
    explicit Bytes(size_t n) : p_(static_cast<uint8_t *>(xmalloc(n))) {}
    Bytes(Bytes &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Bytes &operator=(Bytes &&o) noexcept
    {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Bytes() { free(p_); }
    uint8_t *get() const { return p_; }

private:
    uint8_t *p_ = nullptr;
};

// A text, always NUL-terminated; its storage grows as it is appended to.
class Text {
public:
    Text() = default;
    explicit Text(std::string_view s) { append(s); }
    Text(Text &&o) noexcept
        : p_(std::exchange(o.p_, nullptr)), size_(std::exchange(o.size_, 0)),
          cap_(std::exchange(o.cap_, 0))
    {
    }
    Text &operator=(Text &&o) noexcept
    {
        std::swap(p_, o.p_);
        std::swap(size_, o.size_);
        std::swap(cap_, o.cap_);
        return *this;
    }
    ~Text() { free(p_); }

    const char *c_str() const { return p_ != nullptr ? p_ : ""; }
    char *data() { return p_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    char operator[](size_t i) const { return p_[i]; }
    operator std::string_view() const { return {c_str(), size_}; }

    void append(std::string_view s);
    void append(char c) { append(std::string_view(&c, 1)); }
    void assign(std::string_view s)
    {
        clear();
        append(s);
    }
    void clear() { resize(0); }
    // n characters: those there were, then NULs.
    void resize(size_t n);
    // The text as a string to be freed with free(); this one is left empty.
    char *release();

private:
    void reserve(size_t n);
    char *p_ = nullptr;
    size_t size_ = 0, cap_ = 0;
};

}  // namespace tqhost

#endif
