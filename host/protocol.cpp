// Encoding and decoding of SFTP version 3 packet fields.
#include "protocol.h"

#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>

#include <new>

namespace tqhost::sftp {

uint32_t get_u32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

const uint8_t *Reader::take(size_t n)
{
    if (!ok_ || static_cast<size_t>(end_ - p_) < n) {
        ok_ = false;
        return nullptr;
    }
    const uint8_t *at = p_;
    p_ += n;
    return at;
}

uint8_t Reader::u8()
{
    const uint8_t *p = take(1);
    return p != nullptr ? p[0] : 0;
}

uint32_t Reader::u32()
{
    const uint8_t *p = take(4);
    return p != nullptr ? get_u32(p) : 0;
}

uint64_t Reader::u64()
{
    uint64_t hi = u32();
    return hi << 32 | u32();
}

std::string_view Reader::bytes()
{
    uint32_t n = u32();
    const uint8_t *p = take(n);
    if (p == nullptr)
        return {};
    return {reinterpret_cast<const char *>(p), n};
}

std::string_view Reader::text()
{
    std::string_view s = bytes();
    if (s.find('\0') != std::string_view::npos) {
        ok_ = false;
        return {};
    }
    return s;
}

std::string_view Reader::path()
{
    std::string_view s = text();
    if (s.size() >= PATH_MAX) {
        ok_ = false;
        too_long_ = true;
        return {};
    }
    return s;
}

Attrs Reader::attrs()
{
    Attrs a;
    a.flags = u32();
    if (a.flags & ATTR_SIZE)
        a.size = u64();
    if (a.flags & ATTR_UIDGID) {
        a.uid = u32();
        a.gid = u32();
    }
    if (a.flags & ATTR_PERMISSIONS)
        a.perm = u32();
    if (a.flags & ATTR_ACMODTIME) {
        a.atime = u32();
        a.mtime = u32();
    }
    if (a.flags & ATTR_EXTENDED) {
        for (uint32_t n = u32(); n > 0 && ok_; n--) {
            bytes();
            bytes();
        }
    }
    return a;
}

void Buffer::consume(size_t n)
{
    start_ += n;
    if (start_ == end_)
        start_ = end_ = 0;
}

uint8_t *Buffer::reserve(size_t n)
{
    if (cap_ - end_ >= n)
        return data_.get() + end_;
    size_t used = end_ - start_;
    if (cap_ - used < n || start_ == 0) {
        size_t cap = cap_ != 0 ? cap_ : 64 * 1024;
        while (cap - used < n)
            cap *= 2;
        std::unique_ptr<uint8_t[]> grown(new uint8_t[cap]);
        if (used != 0)
            memcpy(grown.get(), data_.get() + start_, used);
        data_ = std::move(grown);
        cap_ = cap;
    } else {
        memmove(data_.get(), data_.get() + start_, used);
    }
    start_ = 0;
    end_ = used;
    return data_.get() + end_;
}

void Buffer::u8(uint8_t v)
{
    *reserve(1) = v;
    commit(1);
}

void Buffer::u32(uint32_t v)
{
    reserve(4);
    commit(4);
    u32_at(size() - 4, v);
}

void Buffer::u32_at(size_t at, uint32_t v)
{
    uint8_t *p = data_.get() + start_ + at;
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void Buffer::u64(uint64_t v)
{
    u32(uint32_t(v >> 32));
    u32(uint32_t(v));
}

void Buffer::string(const void *p, size_t n)
{
    u32(static_cast<uint32_t>(n));
    if (n != 0) {
        memcpy(reserve(n), p, n);
        commit(n);
    }
}

void Buffer::attrs(const struct stat64 &st)
{
    u32(ATTR_SIZE | ATTR_UIDGID | ATTR_PERMISSIONS | ATTR_ACMODTIME);
    u64(static_cast<uint64_t>(st.st_size));
    u32(st.st_uid);
    u32(st.st_gid);
    u32(st.st_mode);
    u32(static_cast<uint32_t>(st.st_atime));
    u32(static_cast<uint32_t>(st.st_mtime));
}

void Buffer::fs_stats(const FsStats &f)
{
    for (uint64_t v : {f.bsize, f.frsize, f.blocks, f.bfree, f.bavail, f.files, f.ffree,
                       f.favail, f.fsid, f.flag, f.namemax})
        u64(v);
}

size_t Buffer::begin(uint8_t type)
{
    size_t at = end_ - start_;
    u32(0);
    u8(type);
    return at;
}

void Buffer::end(size_t at)
{
    u32_at(at, static_cast<uint32_t>(size() - at - 4));
}

namespace {

void mode_string(char out[11], mode_t m)
{
    char type;
    switch (m & S_IFMT) {
    case S_IFDIR: type = 'd'; break;
    case S_IFLNK: type = 'l'; break;
    case S_IFCHR: type = 'c'; break;
    case S_IFBLK: type = 'b'; break;
    case S_IFIFO: type = 'p'; break;
    case S_IFSOCK: type = 's'; break;
    default: type = '-'; break;
    }
    auto bit = [m](mode_t b, char c) { return (m & b) ? c : '-'; };
    auto exec = [m](mode_t x, mode_t special, char set, char unset) {
        if (m & special)
            return (m & x) ? set : unset;
        return (m & x) ? 'x' : '-';
    };
    out[0] = type;
    out[1] = bit(S_IRUSR, 'r');
    out[2] = bit(S_IWUSR, 'w');
    out[3] = exec(S_IXUSR, S_ISUID, 's', 'S');
    out[4] = bit(S_IRGRP, 'r');
    out[5] = bit(S_IWGRP, 'w');
    out[6] = exec(S_IXGRP, S_ISGID, 's', 'S');
    out[7] = bit(S_IROTH, 'r');
    out[8] = bit(S_IWOTH, 'w');
    out[9] = exec(S_IXOTH, S_ISVTX, 't', 'T');
    out[10] = '\0';
}

// A listing names the same few owners over and over: remember the last one.
// lookup(id, out, size) writes the name; without one the number stands.
class NameCache {
public:
    template <typename Lookup>
    const char *get(unsigned id, Lookup lookup)
    {
        if (!known_ || id_ != id) {
            if (!lookup(id, name_, sizeof name_))
                snprintf(name_, sizeof name_, "%u", id);
            id_ = id;
            known_ = true;
        }
        return name_;
    }

private:
    bool known_ = false;
    unsigned id_ = 0;
    char name_[64];
};

const char *user_name(uid_t uid)
{
    static NameCache cache;
    return cache.get(uid, [](unsigned id, char *out, size_t size) {
        struct passwd pw, *found = nullptr;
        char buf[1024];
        getpwuid_r(id, &pw, buf, sizeof buf, &found);
        return found != nullptr && snprintf(out, size, "%s", pw.pw_name) >= 0;
    });
}

const char *group_name(gid_t gid)
{
    static NameCache cache;
    return cache.get(gid, [](unsigned id, char *out, size_t size) {
        struct group gr, *found = nullptr;
        char buf[1024];
        getgrgid_r(id, &gr, buf, sizeof buf, &found);
        return found != nullptr && snprintf(out, size, "%s", gr.gr_name) >= 0;
    });
}

}  // namespace

namespace {

// Appends to a line of fixed size, cutting what does not fit.
class Line {
public:
    Line(char *out, size_t size) : p_(out), end_(out + size - 1) {}
    ~Line() { *p_ = '\0'; }
    void text(const char *s, size_t n)
    {
        n = n < size_t(end_ - p_) ? n : size_t(end_ - p_);
        memcpy(p_, s, n);
        p_ += n;
    }
    void text(const char *s) { text(s, strlen(s)); }
    void pad(size_t n)
    {
        while (n-- > 0 && p_ < end_)
            *p_++ = ' ';
    }
    // s in width columns, to the left or to the right; then a space.
    void left(const char *s, size_t width)
    {
        size_t n = strlen(s);
        text(s, n);
        pad(n < width ? width - n + 1 : 1);
    }
    void right(const char *s, size_t width)
    {
        size_t n = strlen(s);
        pad(n < width ? width - n : 0);
        text(s, n);
        pad(1);
    }
    void number(unsigned long long v, size_t width)
    {
        char digits[24];
        char *d = digits + sizeof digits;
        *--d = '\0';
        do
            *--d = char('0' + v % 10);
        while ((v /= 10) != 0);
        right(d, width);
    }

private:
    char *p_;
    char *end_;
};

// Like ls: the time of day for the last six months, else the year.  A
// listing's files often share their time: the last one is remembered.
const char *date(time_t t, time_t now)
{
    static time_t last_t, last_now;
    static char when[32];
    if (when[0] != '\0' && t == last_t && now == last_now)
        return when;
    struct tm tm;
    const time_t half_year = 365 * 24 * 60 * 60 / 2;
    const char *fmt = (t > now || t < now - half_year) ? "%b %e  %Y" : "%b %e %H:%M";
    if (localtime_r(&t, &tm) == nullptr || strftime(when, sizeof when, fmt, &tm) == 0)
        strcpy(when, "?");
    last_t = t;
    last_now = now;
    return when;
}

}  // namespace

// "-rw-r--r--    1 root     root         1234 Mar  4 12:00 name"
void long_name(char *out, size_t size, const char *name,
               const struct stat64 *st, time_t now)
{
    Line line(out, size);
    if (st == nullptr) {
        line.text("?????????? ");
        line.right("?", 4);
        line.left("?", 8);
        line.left("?", 8);
        line.right("?", 8);
        line.right("?", 12);
        line.text(name);
        return;
    }
    char mode[11];
    mode_string(mode, st->st_mode);
    line.left(mode, 0);
    line.number(st->st_nlink, 4);
    line.left(user_name(st->st_uid), 8);
    line.left(group_name(st->st_gid), 8);
    line.number(static_cast<unsigned long long>(st->st_size), 8);
    line.left(date(st->st_mtime, now), 0);
    line.text(name);
}

}  // namespace tqhost::sftp
