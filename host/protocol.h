// SFTP protocol version 3: packet types, status codes, attribute flags, and
// the encoding and decoding of packet fields (big-endian integers, strings
// with a 32-bit length, attributes).
#ifndef TQHOST_PROTOCOL_H
#define TQHOST_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <string_view>

#include "memory.h"

namespace tqhost::sftp {

enum : uint8_t {
    FXP_INIT = 1,
    FXP_VERSION = 2,
    FXP_OPEN = 3,
    FXP_CLOSE = 4,
    FXP_READ = 5,
    FXP_WRITE = 6,
    FXP_LSTAT = 7,
    FXP_FSTAT = 8,
    FXP_SETSTAT = 9,
    FXP_FSETSTAT = 10,
    FXP_OPENDIR = 11,
    FXP_READDIR = 12,
    FXP_REMOVE = 13,
    FXP_MKDIR = 14,
    FXP_RMDIR = 15,
    FXP_REALPATH = 16,
    FXP_STAT = 17,
    FXP_RENAME = 18,
    FXP_READLINK = 19,
    FXP_SYMLINK = 20,
    FXP_STATUS = 101,
    FXP_HANDLE = 102,
    FXP_DATA = 103,
    FXP_NAME = 104,
    FXP_ATTRS = 105,
    FXP_EXTENDED = 200,
    FXP_EXTENDED_REPLY = 201,
};

enum : uint32_t {
    FX_OK = 0,
    FX_EOF = 1,
    FX_NO_SUCH_FILE = 2,
    FX_PERMISSION_DENIED = 3,
    FX_FAILURE = 4,
    FX_BAD_MESSAGE = 5,
    FX_NO_CONNECTION = 6,
    FX_CONNECTION_LOST = 7,
    FX_OP_UNSUPPORTED = 8,
};

enum : uint32_t {
    ATTR_SIZE = 0x1,
    ATTR_UIDGID = 0x2,
    ATTR_PERMISSIONS = 0x4,
    ATTR_ACMODTIME = 0x8,
    ATTR_EXTENDED = 0x80000000,
};

enum : uint32_t {
    FXF_READ = 0x1,
    FXF_WRITE = 0x2,
    FXF_APPEND = 0x4,
    FXF_CREAT = 0x8,
    FXF_TRUNC = 0x10,
    FXF_EXCL = 0x20,
};

constexpr uint32_t version = 3;
// The largest packet accepted or sent (its length field), and the most data
// one READ or WRITE moves: what limits@openssh.com announces.
constexpr uint32_t max_packet = 256 * 1024;
constexpr uint32_t max_data = max_packet - 1024;

// Attributes as a request carries them; only the fields named by flags are
// meaningful.
struct Attrs {
    uint32_t flags = 0;
    uint64_t size = 0;
    uint32_t uid = 0, gid = 0;
    uint32_t perm = 0;
    uint32_t atime = 0, mtime = 0;
};

// Reads the fields of one packet.  A field that runs past the end, or a text
// with a NUL byte in it, makes the reader bad; later reads then give zeros.
class Reader {
public:
    Reader(const uint8_t *p, size_t n) : p_(p), end_(p + n) {}
    bool ok() const { return ok_; }
    uint8_t u8();
    uint32_t u32();
    uint64_t u64();
    std::string_view bytes();  // a string of any bytes (handles, data)
    std::string_view text();   // a string used as a name
    // A string used as a path: also bad when it is longer than any path
    // can be, and then too_long() says so.
    std::string_view path();
    bool too_long() const { return too_long_; }
    Attrs attrs();

private:
    const uint8_t *take(size_t n);
    const uint8_t *p_;
    const uint8_t *end_;
    bool ok_ = true;
    bool too_long_ = false;
};

// The figures of statvfs@openssh.com, in the order of its reply.
struct FsStats {
    uint64_t bsize, frsize, blocks, bfree, bavail, files, ffree, favail, fsid, flag, namemax;
};

// The output queue: packets are built in place at its end.
class Buffer {
public:
    const uint8_t *data() const { return data_.get() + start_; }
    size_t size() const { return end_ - start_; }
    void consume(size_t n);

    // Room for n more bytes at the end; commit() then adds what was used.
    uint8_t *reserve(size_t n);
    void commit(size_t n) { end_ += n; }
    // Forgets everything from offset at on (a packet begun but not sent).
    void drop(size_t at) { end_ = start_ + at; }

    void u8(uint8_t v);
    void u32(uint32_t v);
    void u64(uint64_t v);
    void string(const void *p, size_t n);
    void string(std::string_view s) { string(s.data(), s.size()); }
    void attrs(const struct stat64 &st);
    void no_attrs() { u32(0); }
    void fs_stats(const FsStats &f);
    void u32_at(size_t at, uint32_t v);

    // A packet: begin() writes a placeholder length and the type, end()
    // fills in the length.
    size_t begin(uint8_t type);
    void end(size_t at);

private:
    Bytes data_;
    size_t start_ = 0, end_ = 0, cap_ = 0;
};

uint32_t get_u32(const uint8_t *p);

}  // namespace tqhost::sftp

#endif
