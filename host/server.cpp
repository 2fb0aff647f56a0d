// Request dispatch.  Every request that names a path asks the plug-in for
// that path's table and performs the request through the matching slot with
// the client path; nothing is remembered between requests except what an
// open handle holds (its table and client path) and the uploads handed over.
#include "server.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "fsops.h"

namespace tqhost {

using namespace sftp;

namespace {

constexpr size_t input_size = 2 * (4 + size_t(max_packet));
// Replies are written out once this much is queued, or when no complete
// request is left to read.
constexpr size_t flush_size = 256 * 1024;
// One READDIR reply lists at most this many names, in at most this many bytes.
constexpr uint32_t readdir_names = 256;
constexpr size_t readdir_bytes = 128 * 1024;
// What a DATA reply holds before its data: type, request id, data length.
constexpr uint32_t data_header = 1 + 4 + 4;

// Client open flags to the platform's.
int open_flags(uint32_t pflags)
{
    int flags;
    if ((pflags & FXF_READ) && (pflags & FXF_WRITE))
        flags = O_RDWR;
    else if (pflags & FXF_WRITE)
        flags = O_WRONLY;
    else
        flags = O_RDONLY;
    if (pflags & FXF_APPEND)
        flags |= O_APPEND;
    if (pflags & FXF_CREAT)
        flags |= O_CREAT;
    if (pflags & FXF_TRUNC)
        flags |= O_TRUNC;
    if (pflags & FXF_EXCL)
        flags |= O_EXCL;
    return flags;
}

int mode_of(const Attrs &a, int fallback)
{
    return (a.flags & ATTR_PERMISSIONS) ? static_cast<int>(a.perm & 07777) : fallback;
}

// An area the client may change: its table writes with the host's own
// write, where a read-only table has a refusal.
bool writable_area(const tqsftp_funcs *t)
{
    return t->write != nullptr && t->write == host_funcs()->write;
}

// Owner, mode and times of an open file or folder st describes.  The owner
// stays: asking for the one it has is no change, any other is refused.
int apply_attrs(int fd, const Attrs &a, const struct stat64 &st)
{
    if ((a.flags & ATTR_UIDGID) && (a.uid != st.st_uid || a.gid != st.st_gid)) {
        errno = EPERM;
        return -1;
    }
    if ((a.flags & ATTR_PERMISSIONS) && fchmod(fd, a.perm & 07777) < 0)
        return -1;
    if (a.flags & ATTR_ACMODTIME) {
        const struct timespec ts[2] = {{time_t(a.atime), 0}, {time_t(a.mtime), 0}};
        if (futimens(fd, ts) < 0)
            return -1;
    }
    return 0;
}

constexpr uint32_t attr_changes = ATTR_UIDGID | ATTR_PERMISSIONS | ATTR_ACMODTIME;

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

}  // namespace

Server::Server(const Plugin &plugin, int in, int out)
    : plugin_(plugin), in_(in), out_(out), input_(new uint8_t[input_size])
{
    handles_.reserve(max_handles);
}

Server::~Server()
{
    close_all();
}

// ---- the session --------------------------------------------------------

int Server::run()
{
    for (;;) {
        while (in_end_ - in_start_ >= 4) {
            uint32_t len = get_u32(input_.get() + in_start_);
            if (len > max_packet) {
                fprintf(stderr, "tqsftp-server: packet of %u bytes is too long\n", len);
                return finish(1);
            }
            if (in_end_ - in_start_ - 4 < len)
                break;
            if (!packet(input_.get() + in_start_ + 4, len))
                return finish(1);
            if (output_lost_)
                return finish(0);
            in_start_ += 4 + size_t(len);
            if (reply_.size() >= flush_size && !flush())
                return finish(0);
        }
        if (!flush())
            return finish(0);

        // Keep room for the rest of the packet begun, and for the longest.
        if (in_start_ == in_end_) {
            in_start_ = in_end_ = 0;
        } else if (input_size - in_start_ < 4 + size_t(max_packet)) {
            memmove(input_.get(), input_.get() + in_start_, in_end_ - in_start_);
            in_end_ -= in_start_;
            in_start_ = 0;
        }
        wait_for_input();
        ssize_t n;
        do
            n = read(in_, input_.get() + in_end_, input_size - in_end_);
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return finish(0);
        in_end_ += size_t(n);
    }
}

// A read that sleeps on a socket is woken each time the client takes a reply
// (room to write again) and goes back to sleep; poll for input alone wakes
// once, when the next request is there.
void Server::wait_for_input()
{
    struct pollfd p = {in_, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}

bool Server::packet(const uint8_t *p, uint32_t len)
{
    if (len == 0) {
        fprintf(stderr, "tqsftp-server: empty packet\n");
        return false;
    }
    uint8_t type = p[0];
    if (!initialised_) {
        if (type != FXP_INIT || len < 5) {
            fprintf(stderr, "tqsftp-server: the session must begin with INIT\n");
            return false;
        }
        // Whatever version the client speaks, this server speaks 3.
        size_t at = reply_.begin(FXP_VERSION);
        reply_.u32(version);
        static const char *const extensions[] = {
            "posix-rename@openssh.com", "hardlink@openssh.com",
            "fsync@openssh.com", "limits@openssh.com",
            "statvfs@openssh.com", "fstatvfs@openssh.com",
        };
        for (const char *e : extensions) {
            reply_.string(e, strlen(e));
            // The statvfs extensions are at version 2, the others at 1.
            reply_.string(strstr(e, "statvfs") ? "2" : "1", 1);
        }
        reply_.end(at);
        initialised_ = true;
        return true;
    }
    if (type == FXP_INIT) {
        fprintf(stderr, "tqsftp-server: INIT in the middle of a session\n");
        return false;
    }
    if (len < 5) {
        fprintf(stderr, "tqsftp-server: request without an id\n");
        return false;
    }
    Reader r(p + 5, len - 5);
    dispatch(type, get_u32(p + 1), r);
    end_of_request();
    return true;
}

void Server::dispatch(uint8_t type, uint32_t id, Reader &r)
{
    switch (type) {
    case FXP_OPEN: return do_open(id, r);
    case FXP_CLOSE: return do_close(id, r);
    case FXP_READ: return do_read(id, r);
    case FXP_WRITE: return do_write(id, r);
    case FXP_LSTAT:
    case FXP_STAT: return do_stat(id, r);
    case FXP_FSTAT: return do_fstat(id, r);
    case FXP_SETSTAT: return do_setstat(id, r);
    case FXP_FSETSTAT: return do_fsetstat(id, r);
    case FXP_OPENDIR: return do_opendir(id, r);
    case FXP_READDIR: return do_readdir(id, r);
    case FXP_REMOVE: return do_remove(id, r);
    case FXP_MKDIR: return do_mkdir(id, r);
    case FXP_RMDIR: return do_rmdir(id, r);
    case FXP_REALPATH: return do_realpath(id, r);
    case FXP_RENAME: return do_rename(id, r, false);
    case FXP_EXTENDED: return do_extended(id, r);
    default:
        // READLINK and SYMLINK included: the table has no slot for them.
        return status(id, FX_OP_UNSUPPORTED, "Operation unsupported");
    }
}

bool Server::flush()
{
    while (reply_.size() > 0) {
        ssize_t n = write(out_, reply_.data(), reply_.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        reply_.consume(size_t(n));
    }
    return true;
}

int Server::finish(int code)
{
    close_all();
    return code;
}

// The client is gone: every transfer still open is incomplete.  The host's
// close reports that, so the plug-in treats it as a failed close.
void Server::close_all()
{
    set_connection_aborted(true);
    for (Handle &h : handles_) {
        if (h.kind != Handle::Kind::none)
            close_handle(h);
    }
    set_connection_aborted(false);
}

// ---- replies ------------------------------------------------------------

void Server::status(uint32_t id, uint32_t code, const char *message)
{
    size_t at = reply_.begin(FXP_STATUS);
    reply_.u32(id);
    reply_.u32(code);
    reply_.string(message, strlen(message));
    reply_.string("", 0);
    reply_.end(at);
}

void Server::status_errno(uint32_t id, int err)
{
    uint32_t code;
    switch (err) {
    case ENOENT: code = FX_NO_SUCH_FILE; break;
    case EACCES:
    case EPERM: code = FX_PERMISSION_DENIED; break;
    default: code = FX_FAILURE; break;
    }
    status(id, code, strerror(err));
}

void Server::status_result(uint32_t id, int r)
{
    if (r < 0)
        status_errno(id, errno);
    else
        status_ok(id);
}

// A table without the slot a request needs (every slot is absent while the
// plug-in is not set up, for example during a forced password change).
// A path too long for any file is refused as such, anything else that
// cannot be parsed is a bad message.
void Server::bad_request(uint32_t id, const Reader &r)
{
    if (r.too_long())
        return status(id, FX_FAILURE, strerror(ENAMETOOLONG));
    bad_message(id);
}

void Server::absent_slot(uint32_t id)
{
    status(id, FX_PERMISSION_DENIED, "Permission denied");
}

void Server::reply_handle(uint32_t id, uint32_t slot)
{
    uint8_t h[8];
    put_be32(h, slot);
    put_be32(h + 4, handles_[slot].generation);
    size_t at = reply_.begin(FXP_HANDLE);
    reply_.u32(id);
    reply_.string(h, sizeof h);
    reply_.end(at);
}

void Server::reply_attrs(uint32_t id, const struct stat64 &st)
{
    size_t at = reply_.begin(FXP_ATTRS);
    reply_.u32(id);
    reply_.attrs(st);
    reply_.end(at);
}

// ---- handles ------------------------------------------------------------

// A handle is 8 bytes: the slot and the slot's generation, so that a handle
// kept after its close does not reach the next file opened in the slot.
Server::Handle *Server::lookup(std::string_view h, Handle::Kind kind)
{
    if (h.size() != 8)
        return nullptr;
    auto p = reinterpret_cast<const uint8_t *>(h.data());
    uint32_t slot = get_u32(p);
    if (slot >= handles_.size())
        return nullptr;
    Handle &found = handles_[slot];
    if (found.kind == Handle::Kind::none || found.generation != get_u32(p + 4))
        return nullptr;
    if (kind != Handle::Kind::none && found.kind != kind)
        return nullptr;
    return &found;
}

// The handle of a request whose fields have all been read; null once the
// request has been answered as a bad message or for an invalid handle.
Server::Handle *Server::handle_of(uint32_t id, const Reader &r, std::string_view h,
                                  Handle::Kind kind)
{
    if (!r.ok()) {
        bad_request(id, r);
        return nullptr;
    }
    Handle *found = lookup(h, kind);
    if (found == nullptr)
        status(id, FX_FAILURE, "Invalid handle");
    return found;
}

// A free handle; null once the request has been refused for want of one.
Server::Handle *Server::new_handle(uint32_t id, uint32_t &slot)
{
    for (slot = 0; slot < handles_.size(); slot++) {
        if (handles_[slot].kind == Handle::Kind::none)
            return &handles_[slot];
    }
    if (handles_.size() >= max_handles) {
        status(id, FX_FAILURE, strerror(EMFILE));
        return nullptr;
    }
    handles_.emplace_back();
    return &handles_.back();
}

int Server::close_handle(Handle &h)
{
    int r = 0;
    if (h.kind == Handle::Kind::file) {
        r = close_file(h);
    } else if (h.kind == Handle::Kind::folder) {
        close_dir(h.dir);
    }
    int e = errno;
    h.kind = Handle::Kind::none;
    h.generation++;
    h.fd = -1;
    h.writable = false;
    h.dir = nullptr;
    h.funcs = nullptr;
    h.path.clear();
    errno = e;
    return r;
}

// A file written and gone right after a successful close was handed over by
// the plug-in: its name keeps answering as the file the client left.  Where
// the table writes with the server's own write, nothing takes the file away.
int Server::close_file(Handle &h)
{
    struct stat64 st;
    bool written = h.writable && !writable_area(h.funcs) && fstat64(h.fd, &st) == 0;
    int r = (h.funcs->close ? h.funcs->close : host_funcs()->close)(h.fd);
    if (r < 0 || !written || h.funcs->stat == nullptr)
        return r;
    struct stat64 now;
    if (h.funcs->stat(h.path.c_str(), &now) == 0 || errno != ENOENT)
        return 0;
    forget(h.path);
    if (handed_over_.size() >= max_handed_over)
        handed_over_.erase(handed_over_.begin());
    handed_over_.push_back({h.path, st});
    return 0;
}

const Server::HandedOver *Server::handed_over(const std::string &path) const
{
    for (const HandedOver &u : handed_over_) {
        if (u.path == path)
            return &u;
    }
    return nullptr;
}

// A name used again no longer stands for the upload handed over.
void Server::forget(const std::string &path)
{
    std::erase_if(handed_over_, [&](const HandedOver &u) { return u.path == path; });
}

// A size change is made through the table's open for writing, so that an
// area where the client may not write refuses it and the plug-in sees it.
int Server::set_size(const tqsftp_funcs *t, const std::string &path, uint64_t size)
{
    int fd = t->open(path.c_str(), O_WRONLY, 0);
    if (fd < 0)
        return -1;
    int r = ftruncate64(fd, static_cast<off64_t>(size));
    int e = errno;
    int c = (t->close ? t->close : host_funcs()->close)(fd);
    if (r < 0) {
        errno = e;
        return -1;
    }
    return c;
}

// Size, owner, mode and times of a path.  Owner, mode and times change only
// in an area the client may write, through a descriptor of the path opened
// through its table (a folder through opendir, a file for reading), and only
// when that descriptor is the file the client names; where it is not (a
// profile served in another form) or the file was handed over, times and
// mode have nothing to change and are accepted.
int Server::set_attrs(const tqsftp_funcs *t, const std::string &path, const Attrs &a)
{
    if (t->stat == nullptr || t->open == nullptr || t->opendir == nullptr) {
        errno = EACCES;
        return -1;
    }
    struct stat64 st;
    if (t->stat(path.c_str(), &st) < 0) {
        const HandedOver *u = errno == ENOENT ? handed_over(path) : nullptr;
        if (u == nullptr)
            return -1;
        if ((a.flags & ATTR_SIZE) && a.size != uint64_t(u->st.st_size)) {
            errno = EACCES;
            return -1;
        }
        return 0;
    }
    if ((a.flags & ATTR_SIZE) && set_size(t, path, a.size) < 0)
        return -1;
    if ((a.flags & attr_changes) == 0)
        return 0;
    if (!writable_area(t)) {
        errno = EACCES;
        return -1;
    }
    void *dir = nullptr;
    int fd;
    if (S_ISDIR(st.st_mode)) {
        dir = t->opendir(path.c_str());
        fd = dir != nullptr ? dirfd(static_cast<DIR *>(dir)) : -1;
    } else {
        fd = t->open(path.c_str(), O_RDONLY, 0);
    }
    if (fd < 0)
        return -1;
    struct stat64 real;
    int r = fstat64(fd, &real);
    if (r == 0 && real.st_dev == st.st_dev && real.st_ino == st.st_ino)
        r = apply_attrs(fd, a, st);
    int e = errno;
    if (dir != nullptr)
        close_dir(dir);
    else
        (t->close ? t->close : host_funcs()->close)(fd);
    errno = e;
    return r;
}

// ---- requests -----------------------------------------------------------

// A request performed by one slot of its path's table that answers 0 or -1.
template <typename Slot, typename... Args>
void Server::call_slot(uint32_t id, const std::string &path, Slot tqsftp_funcs::*slot,
                       Args... args)
{
    Slot fn = plugin_.table(path.c_str())->*slot;
    if (fn == nullptr)
        return absent_slot(id);
    status_result(id, fn(path.c_str(), args...));
}

void Server::do_open(uint32_t id, Reader &r)
{
    std::string path(r.path());
    uint32_t pflags = r.u32();
    Attrs a = r.attrs();
    if (!r.ok())
        return bad_request(id, r);
    uint32_t slot;
    Handle *h = new_handle(id, slot);
    if (h == nullptr)
        return;
    const tqsftp_funcs *t = plugin_.table(path.c_str());
    if (t->open == nullptr)
        return absent_slot(id);
    forget(path);
    int flags = open_flags(pflags);
    int fd = t->open(path.c_str(), flags, mode_of(a, 0666));
    if (fd < 0)
        return status_errno(id, errno);
    h->kind = Handle::Kind::file;
    h->fd = fd;
    h->writable = (flags & O_ACCMODE) != O_RDONLY;
    h->funcs = t;
    h->path = std::move(path);
    reply_handle(id, slot);
}

void Server::do_close(uint32_t id, Reader &r)
{
    std::string_view hs = r.bytes();
    Handle *h = handle_of(id, r, hs, Handle::Kind::none);
    if (h == nullptr)
        return;
    status_result(id, close_handle(*h));
}

void Server::do_read(uint32_t id, Reader &r)
{
    std::string_view hs = r.bytes();
    uint64_t off = r.u64();
    uint32_t len = r.u32();
    Handle *h = handle_of(id, r, hs, Handle::Kind::file);
    if (h == nullptr)
        return;
    if (h->funcs->read == nullptr)
        return absent_slot(id);
    if (len > max_data)
        len = max_data;
    if (h->funcs->read == host_funcs()->read && read_spliced(id, *h, off, len))
        return;
    // The data is read straight into the reply, the whole length asked for
    // up to the end of the file, however the table's read splits it.
    size_t at = reply_.begin(FXP_DATA);
    reply_.u32(id);
    uint8_t *p = reply_.reserve(4 + size_t(len));
    size_t n = 0;
    while (n < len) {
        ssize_t m = h->funcs->read(h->fd, p + 4 + n, len - n, static_cast<int64_t>(off + n));
        if (m < 0 && errno == EINTR)
            continue;
        if (m < 0 && n == 0) {
            int e = errno;
            reply_.drop(at);
            return status_errno(id, e);
        }
        if (m <= 0)
            break;  // the end of the file, or an error the next read reports
        n += size_t(m);
    }
    if (n == 0) {
        reply_.drop(at);
        return status(id, FX_EOF, "End of file");
    }
    put_be32(p, static_cast<uint32_t>(n));
    reply_.commit(4 + n);
    reply_.end(at);
}

// A read through the server's own read moves the file's pages to the client
// through a pipe, with no copy in this process: the file into the pipe, the
// replies before it and this one's header out, then the pipe out.  The reply
// holds the whole length asked for, up to the end of the file, as one pread
// would give it: clients take a short reply in the middle of a file for a
// reordered transfer (OpenSSH's scp then cuts the file).  False, with nothing
// sent, where the file cannot be spliced or is at its end: the read is then
// made the ordinary way, with its own answer.
bool Server::read_spliced(uint32_t id, Handle &h, uint64_t off, uint32_t len)
{
    if (!splice_ready())
        return false;
    loff_t at = static_cast<loff_t>(off);
    size_t n = 0;
    while (n < len) {
        ssize_t m = splice(h.fd, &at, splice_w_.get(), nullptr, len - n, SPLICE_F_MOVE);
        if (m < 0 && errno == EINTR)
            continue;
        if (m <= 0)
            break;  // the end of the file, or an error the next read reports
        n += size_t(m);
    }
    if (n == 0)
        return false;
    size_t head = reply_.begin(FXP_DATA);
    reply_.u32(id);
    reply_.u32(static_cast<uint32_t>(n));
    reply_.u32_at(head, static_cast<uint32_t>(data_header + n));
    if (!flush() || !send_spliced(n))
        output_lost_ = true;
    return true;
}

bool Server::send_spliced(size_t n)
{
    while (n > 0) {
        ssize_t m = splice(splice_r_.get(), nullptr, out_, nullptr, n, SPLICE_F_MOVE);
        if (m < 0 && errno == EINTR)
            continue;
        if (m <= 0)
            return false;
        n -= size_t(m);
    }
    return true;
}

// Splicing needs an output that takes it (a socket or a pipe) and a pipe
// that holds the longest read at any offset: a read that does not start on a
// page boundary spans one page more than its length; decided at the first
// read.
bool Server::splice_ready()
{
    if (splice_ != Splice::unknown)
        return splice_ == Splice::on;
    splice_ = Splice::off;
    struct stat64 st;
    if (fstat64(out_, &st) < 0 || !(S_ISSOCK(st.st_mode) || S_ISFIFO(st.st_mode)))
        return false;
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        return false;
    splice_r_ = Fd(p[0]);
    splice_w_ = Fd(p[1]);
    const int page = static_cast<int>(sysconf(_SC_PAGESIZE));
    const int need = static_cast<int>(max_data) + 2 * page;
    if (fcntl(p[1], F_SETPIPE_SZ, need) < need)
        return false;
    splice_ = Splice::on;
    return true;
}

void Server::do_write(uint32_t id, Reader &r)
{
    std::string_view hs = r.bytes();
    uint64_t off = r.u64();
    std::string_view data = r.bytes();
    Handle *h = handle_of(id, r, hs, Handle::Kind::file);
    if (h == nullptr)
        return;
    if (h->funcs->write == nullptr)
        return absent_slot(id);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = h->funcs->write(h->fd, data.data() + done, data.size() - done,
                                    static_cast<int64_t>(off + done));
        if (n < 0)
            return status_errno(id, errno);
        if (n == 0)
            return status_errno(id, EIO);
        done += size_t(n);
    }
    status_ok(id);
}

void Server::do_stat(uint32_t id, Reader &r)
{
    std::string path(r.path());
    if (!r.ok())
        return bad_request(id, r);
    const tqsftp_funcs *t = plugin_.table(path.c_str());
    if (t->stat == nullptr)
        return absent_slot(id);
    struct stat64 st;
    if (t->stat(path.c_str(), &st) < 0) {
        int e = errno;
        const HandedOver *u = e == ENOENT ? handed_over(path) : nullptr;
        if (u == nullptr)
            return status_errno(id, e);
        st = u->st;
    }
    reply_attrs(id, st);
}

void Server::do_fstat(uint32_t id, Reader &r)
{
    std::string_view hs = r.bytes();
    Handle *h = handle_of(id, r, hs, Handle::Kind::none);
    if (h == nullptr)
        return;
    // A file: its own descriptor says what the client reads or has written
    // (for a profile, the compressed form).  A folder: its path's stat.
    struct stat64 st;
    int rc;
    if (h->kind == Handle::Kind::file) {
        rc = fstat64(h->fd, &st);
    } else {
        if (h->funcs->stat == nullptr)
            return absent_slot(id);
        rc = h->funcs->stat(h->path.c_str(), &st);
    }
    if (rc < 0)
        return status_errno(id, errno);
    reply_attrs(id, st);
}

void Server::do_setstat(uint32_t id, Reader &r)
{
    std::string path(r.path());
    Attrs a = r.attrs();
    if (!r.ok())
        return bad_request(id, r);
    status_result(id, set_attrs(plugin_.table(path.c_str()), path, a));
}

// A file handle's own descriptor: its size only when it was opened for
// writing; owner, mode and times in an area the client may write.  A folder
// handle as its path.
void Server::do_fsetstat(uint32_t id, Reader &r)
{
    std::string_view hs = r.bytes();
    Attrs a = r.attrs();
    Handle *h = handle_of(id, r, hs, Handle::Kind::none);
    if (h == nullptr)
        return;
    if (h->kind == Handle::Kind::folder)
        return status_result(id, set_attrs(h->funcs, h->path, a));
    int rc = 0;
    if ((a.flags & ATTR_SIZE) && !h->writable) {
        errno = EACCES;
        rc = -1;
    } else if (a.flags & ATTR_SIZE) {
        rc = ftruncate64(h->fd, static_cast<off64_t>(a.size));
    }
    if (rc == 0 && (a.flags & attr_changes)) {
        struct stat64 st;
        if (!h->writable && !writable_area(h->funcs)) {
            errno = EACCES;
            rc = -1;
        } else {
            rc = fstat64(h->fd, &st) == 0 ? apply_attrs(h->fd, a, st) : -1;
        }
    }
    status_result(id, rc);
}

void Server::do_opendir(uint32_t id, Reader &r)
{
    std::string path(r.path());
    if (!r.ok())
        return bad_request(id, r);
    uint32_t slot;
    Handle *h = new_handle(id, slot);
    if (h == nullptr)
        return;
    const tqsftp_funcs *t = plugin_.table(path.c_str());
    if (t->opendir == nullptr)
        return absent_slot(id);
    void *dir = t->opendir(path.c_str());
    if (dir == nullptr)
        return status_errno(id, errno);
    h->kind = Handle::Kind::folder;
    h->dir = dir;
    h->dir_end = false;
    h->funcs = t;
    h->path = std::move(path);
    reply_handle(id, slot);
}

void Server::do_readdir(uint32_t id, Reader &r)
{
    std::string_view hs = r.bytes();
    Handle *h = handle_of(id, r, hs, Handle::Kind::folder);
    if (h == nullptr)
        return;
    if (h->dir_end)
        return status(id, FX_EOF, "End of file");
    if (h->funcs->readdir == nullptr)
        return absent_slot(id);

    size_t at = reply_.begin(FXP_NAME);
    reply_.u32(id);
    size_t count_at = reply_.size();
    reply_.u32(0);
    uint32_t count = 0;
    time_t now = time(nullptr);
    const size_t dir_len = h->path.size();
    while (count < readdir_names && reply_.size() - at < readdir_bytes) {
        struct dirent64 *e = h->funcs->readdir(h->dir);
        if (e == nullptr) {
            h->dir_end = true;
            break;
        }
        // The name's attributes come from the table of its own path.  The
        // entry may be overwritten by the next call: the name is copied.
        path_.assign(h->path);
        if (dir_len == 0 || h->path[dir_len - 1] != '/')
            path_ += '/';
        const size_t name_at = path_.size();
        path_ += e->d_name;
        const char *name = path_.c_str() + name_at;
        const tqsftp_funcs *t = plugin_.table(path_.c_str());
        struct stat64 st;
        int rc = t->stat != nullptr ? t->stat(path_.c_str(), &st) : -1;
        // A name the folder gives but that does not exist (a status file
        // not written yet) is no file to list.
        if (rc < 0 && t->stat != nullptr && errno == ENOENT)
            continue;
        bool known = rc == 0;
        char line[512];
        long_name(line, sizeof line, name, known ? &st : nullptr, now);
        reply_.string(name, path_.size() - name_at);
        reply_.string(line, strlen(line));
        if (known)
            reply_.attrs(st);
        else
            reply_.no_attrs();
        count++;
    }
    if (count == 0) {
        reply_.drop(at);
        return status(id, FX_EOF, "End of file");
    }
    reply_.u32_at(count_at, count);
    reply_.end(at);
}

void Server::do_remove(uint32_t id, Reader &r)
{
    std::string path(r.path());
    if (!r.ok())
        return bad_request(id, r);
    forget(path);
    call_slot(id, path, &tqsftp_funcs::unlink);
}

// An existing name is "File exists", as for mkdir(2), before any refusal:
// clients that make a path folder by folder go on past it.
void Server::do_mkdir(uint32_t id, Reader &r)
{
    std::string path(r.path());
    Attrs a = r.attrs();
    if (!r.ok())
        return bad_request(id, r);
    const tqsftp_funcs *t = plugin_.table(path.c_str());
    struct stat64 st;
    if (t->stat != nullptr && t->stat(path.c_str(), &st) == 0)
        return status(id, FX_FAILURE, strerror(EEXIST));
    if (t->mkdir == nullptr)
        return absent_slot(id);
    forget(path);
    status_result(id, t->mkdir(path.c_str(), mode_of(a, 0777)));
}

void Server::do_rmdir(uint32_t id, Reader &r)
{
    std::string path(r.path());
    if (!r.ok())
        return bad_request(id, r);
    call_slot(id, path, &tqsftp_funcs::rmdir);
}

// Lexical, relative to the plug-in's start directory; nothing is looked up.
void Server::do_realpath(uint32_t id, Reader &r)
{
    std::string_view path = r.path();
    if (!r.ok())
        return bad_request(id, r);
    std::string joined;
    if (path.empty() || path[0] != '/') {
        joined = plugin_.start_dir();
        joined += '/';
    }
    joined += path;
    std::string out(joined.size() + 2, '\0');
    if (plugin_.normalize(joined.c_str(), out.data(), out.size()) != 0)
        return status_errno(id, errno);
    out.resize(strlen(out.c_str()));
    size_t at = reply_.begin(FXP_NAME);
    reply_.u32(id);
    reply_.u32(1);
    reply_.string(out);
    reply_.string(out);
    reply_.no_attrs();
    reply_.end(at);
}

// RENAME refuses to replace an existing name, as version 3 asks;
// posix-rename@openssh.com replaces it, as rename(2) does.
void Server::do_rename(uint32_t id, Reader &r, bool posix)
{
    std::string from(r.path());
    std::string to(r.path());
    if (!r.ok())
        return bad_request(id, r);
    forget(from);
    forget(to);
    if (!posix) {
        const tqsftp_funcs *target = plugin_.table(to.c_str());
        struct stat64 st;
        if (target->stat != nullptr && target->stat(to.c_str(), &st) == 0)
            return status_errno(id, EEXIST);
    }
    call_slot(id, from, &tqsftp_funcs::rename, to.c_str());
}

void Server::do_link(uint32_t id, Reader &r)
{
    std::string from(r.path());
    std::string to(r.path());
    if (!r.ok())
        return bad_request(id, r);
    forget(to);
    call_slot(id, from, &tqsftp_funcs::link, to.c_str());
}

void Server::do_fsync(uint32_t id, Reader &r)
{
    std::string_view hs = r.bytes();
    Handle *h = handle_of(id, r, hs, Handle::Kind::file);
    if (h == nullptr)
        return;
    status_result(id, fsync(h->fd));
}

void Server::do_limits(uint32_t id)
{
    size_t at = reply_.begin(FXP_EXTENDED_REPLY);
    reply_.u32(id);
    reply_.u64(max_packet);
    reply_.u64(max_data);
    reply_.u64(max_data);
    reply_.u64(max_handles);
    reply_.end(at);
}

namespace {

FsStats fs_stats(const struct statvfs64 &sv, bool writable)
{
    uint64_t flag = 0;
    if ((sv.f_flag & ST_RDONLY) || !writable)
        flag |= 1;  // read-only
    if (sv.f_flag & ST_NOSUID)
        flag |= 2;
    return {sv.f_bsize, sv.f_frsize, sv.f_blocks, sv.f_bfree, sv.f_bavail, sv.f_files,
            sv.f_ffree, sv.f_favail, sv.f_fsid, flag, sv.f_namemax};
}

}  // namespace

// The file system of a folder the client may list, through a folder opened
// with its table's opendir; an area the client may not write is reported
// read-only.
void Server::do_statvfs(uint32_t id, Reader &r)
{
    std::string path(r.path());
    if (!r.ok())
        return bad_request(id, r);
    const tqsftp_funcs *t = plugin_.table(path.c_str());
    if (t->opendir == nullptr)
        return absent_slot(id);
    void *dir = t->opendir(path.c_str());
    if (dir == nullptr)
        return status_errno(id, errno);
    struct statvfs64 sv;
    int rc = fstatvfs64(dirfd(static_cast<DIR *>(dir)), &sv);
    int e = errno;
    close_dir(dir);
    if (rc < 0)
        return status_errno(id, e);
    size_t at = reply_.begin(FXP_EXTENDED_REPLY);
    reply_.u32(id);
    reply_.fs_stats(fs_stats(sv, writable_area(t)));
    reply_.end(at);
}

void Server::do_fstatvfs(uint32_t id, Reader &r)
{
    std::string_view hs = r.bytes();
    Handle *h = handle_of(id, r, hs, Handle::Kind::none);
    if (h == nullptr)
        return;
    int fd = h->kind == Handle::Kind::file ? h->fd : dirfd(static_cast<DIR *>(h->dir));
    struct statvfs64 sv;
    if (fstatvfs64(fd, &sv) < 0)
        return status_errno(id, errno);
    size_t at = reply_.begin(FXP_EXTENDED_REPLY);
    reply_.u32(id);
    reply_.fs_stats(fs_stats(sv, h->writable || writable_area(h->funcs)));
    reply_.end(at);
}

void Server::do_extended(uint32_t id, Reader &r)
{
    std::string_view name = r.text();
    if (!r.ok())
        return bad_request(id, r);
    if (name == "posix-rename@openssh.com")
        return do_rename(id, r, true);
    if (name == "hardlink@openssh.com")
        return do_link(id, r);
    if (name == "fsync@openssh.com")
        return do_fsync(id, r);
    if (name == "limits@openssh.com")
        return do_limits(id);
    if (name == "statvfs@openssh.com")
        return do_statvfs(id, r);
    if (name == "fstatvfs@openssh.com")
        return do_fstatvfs(id, r);
    status(id, FX_OP_UNSUPPORTED, "Operation unsupported");
}

}  // namespace tqhost
