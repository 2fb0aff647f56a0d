// Encoding and decoding of SFTP version 3 packet fields.
#include "protocol.h"

#include <limits.h>
#include <string.h>

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
        size_t cap = cap_ != 0 ? cap_ : 16 * 1024;
        while (cap - used < n)
            cap *= 2;
        Bytes grown(cap);
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

}  // namespace tqhost::sftp
