// The requests: one table that names each request's handler, what it
// carries and the slot it is performed through, and the dispatcher that
// decides once, for every request, what the table says.  Every request that
// names a path asks the plug-in for that path's table and is performed
// through the table's slot with the client path.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "long_name.h"
#include "server.h"

namespace tqhost {

using namespace sftp;

namespace {

// One READDIR reply lists at most this many names, in at most this many bytes.
constexpr uint32_t readdir_names = 256;
constexpr size_t readdir_bytes = 128 * 1024;

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

}  // namespace

// The write slot is asked to write nothing to no descriptor: the server's own
// write answers EBADF, a refusal EACCES or EPERM.  Nothing is written and the
// plug-in logs nothing, where asking any other slot (an open, a mkdir) would
// be an operation of its own, logged and perhaps refused as one.
bool writable_area(const tqsftp_funcs &t)
{
    if (t.write == nullptr)
        return false;
    int e = errno;
    bool refused = t.write(-1, "", 0, 0) < 0 && (errno == EACCES || errno == EPERM);
    errno = e;
    return !refused;
}

// Each request: its type, handler, the fields it carries, the slot of its
// path's or handle's table it is performed through, and what becomes of an
// upload remembered under a path it names (forgotten unless said); an
// extension also its name and the version it is announced at.
const Server::Handler Server::handlers[] = {
    {FXP_OPEN, &Server::do_open, Field::path | Field::pflags | Field::attrs, Slot::open},
    {FXP_CLOSE, &Server::do_close, Field::handle, Slot::none},
    {FXP_READ, &Server::do_read, Field::file | Field::offset | Field::length, Slot::read},
    {FXP_WRITE, &Server::do_write, Field::file | Field::offset | Field::data, Slot::write},
    {FXP_LSTAT, &Server::do_stat, Field::path, Slot::stat, Remembered::kept},
    {FXP_STAT, &Server::do_stat, Field::path, Slot::stat, Remembered::kept},
    {FXP_FSTAT, &Server::do_fstat, Field::handle, Slot::none},
    {FXP_SETSTAT, &Server::do_setstat, Field::path | Field::attrs, Slot::stat, Remembered::kept},
    {FXP_FSETSTAT, &Server::do_fsetstat, Field::handle | Field::attrs, Slot::none},
    {FXP_OPENDIR, &Server::do_opendir, Field::path, Slot::opendir},
    {FXP_READDIR, &Server::do_readdir, Field::folder, Slot::readdir},
    {FXP_REMOVE, &Server::do_remove, Field::path, Slot::unlink},
    {FXP_MKDIR, &Server::do_mkdir, Field::path | Field::attrs, Slot::mkdir},
    {FXP_RMDIR, &Server::do_rmdir, Field::path, Slot::rmdir},
    // Lexical: nothing is looked up.
    {FXP_REALPATH, &Server::do_realpath, Field::path, Slot::none, Remembered::kept},
    {FXP_RENAME, &Server::do_rename, Field::path | Field::to, Slot::rename},
    {FXP_EXTENDED, &Server::do_posix_rename, Field::path | Field::to, Slot::rename,
     Remembered::forgotten, "posix-rename@openssh.com", "1"},
    {FXP_EXTENDED, &Server::do_link, Field::path | Field::to, Slot::link,
     Remembered::forgotten, "hardlink@openssh.com", "1"},
    {FXP_EXTENDED, &Server::do_fsync, Field::file, Slot::none,
     Remembered::forgotten, "fsync@openssh.com", "1"},
    {FXP_EXTENDED, &Server::do_limits, 0, Slot::none,
     Remembered::forgotten, "limits@openssh.com", "1"},
    {FXP_EXTENDED, &Server::do_statvfs, Field::path, Slot::opendir,
     Remembered::forgotten, "statvfs@openssh.com", "2"},
    {FXP_EXTENDED, &Server::do_fstatvfs, Field::handle, Slot::none,
     Remembered::forgotten, "fstatvfs@openssh.com", "2"},
};

// Whatever version the client speaks, this server speaks 3, with the
// extensions of its handler table.
void Server::version_reply()
{
    size_t at = reply_.begin(FXP_VERSION);
    reply_.u32(version);
    for (const Handler &row : handlers) {
        if (row.extension != nullptr) {
            reply_.string(row.extension);
            reply_.string(row.version);
        }
    }
    reply_.end(at);
}

bool Server::has(const tqsftp_funcs &t, Slot slot)
{
    switch (slot) {
    case Slot::none: return true;
    case Slot::open: return t.open != nullptr;
    case Slot::stat: return t.stat != nullptr;
    case Slot::read: return t.read != nullptr;
    case Slot::write: return t.write != nullptr;
    case Slot::opendir: return t.opendir != nullptr;
    case Slot::readdir: return t.readdir != nullptr;
    case Slot::mkdir: return t.mkdir != nullptr;
    case Slot::rmdir: return t.rmdir != nullptr;
    case Slot::unlink: return t.unlink != nullptr;
    case Slot::rename: return t.rename != nullptr;
    case Slot::link: return t.link != nullptr;
    }
    return false;
}

// Every request, in one order: its row; its fields, or BAD_MESSAGE; its
// handle, or "Invalid handle"; the uploads remembered under the paths it
// names forgotten, unless the row keeps them; its table and slot, or
// PERMISSION_DENIED; then its handler.
void Server::dispatch(uint8_t type, uint32_t id, Reader &r)
{
    std::string_view extension;
    if (type == FXP_EXTENDED) {
        extension = r.text();
        if (!r.ok())
            return bad_request(id, r);
    }
    const Handler *row = nullptr;
    for (const Handler &h : handlers) {
        if (h.type == type && (h.extension == nullptr || h.extension == extension)) {
            row = &h;
            break;
        }
    }
    // READLINK and SYMLINK included: the table has no slot for them.
    if (row == nullptr)
        return status(id, FX_OP_UNSUPPORTED, "Operation unsupported");

    Request q;
    q.id = id;
    std::string_view handle;
    if (!parse(*row, r, q, handle))
        return bad_request(id, r);
    if (row->fields & Field::handle) {
        q.h = lookup(handle, row->fields & Field::handle);
        if (q.h == nullptr)
            return status(id, FX_FAILURE, "Invalid handle");
        q.t = q.h->funcs;
    }
    if (row->uploads == Remembered::forgotten) {
        if (row->fields & Field::path)
            uploads_.forget(q.path);
        if (row->fields & Field::to)
            uploads_.forget(q.to);
    }
    if (row->slot != Slot::none) {
        if (q.t == nullptr)
            q.t = plugin_.table(q.path.c_str());
        if (!has(*q.t, row->slot))
            return absent_slot(id);
    }
    (this->*row->run)(q);
}

// The fields the row names, in the order of its Field bits.
bool Server::parse(const Handler &row, Reader &r, Request &q, std::string_view &handle)
{
    const uint16_t f = row.fields;
    if (f & Field::path)
        q.path.assign(r.path());
    if (f & Field::to)
        q.to.assign(r.path());
    if (f & Field::handle)
        handle = r.bytes();
    if (f & Field::offset)
        q.offset = r.u64();
    if (f & Field::pflags)
        q.pflags = r.u32();
    if (f & Field::length)
        q.length = r.u32();
    if (f & Field::data)
        q.data = r.bytes();
    if (f & Field::attrs)
        q.attrs = r.attrs();
    return r.ok();
}

void Server::do_open(Request &q)
{
    uint32_t slot;
    Handle *h = new_handle(q.id, slot);
    if (h == nullptr)
        return;
    int flags = open_flags(q.pflags);
    int fd = q.t->open(q.path.c_str(), flags, mode_of(q.attrs, 0666));
    if (fd < 0)
        return status_errno(q.id, errno);
    h->kind = Handle::Kind::file;
    h->fd = fd;
    h->writable = (flags & O_ACCMODE) != O_RDONLY;
    h->funcs = q.t;
    h->path = q.path.release();
    reply_handle(q.id, slot);
}

void Server::do_close(Request &q)
{
    status_result(q.id, close_handle(*q.h));
}

// The plug-in keeps the server's own read in every table: a file's data is
// its descriptor's, and can be spliced to the client where the output
// allows.  Else the data is read straight into the reply, the whole length
// asked for up to the end of the file, however the table's read splits it.
void Server::do_read(Request &q)
{
    Handle &h = *q.h;
    const uint32_t len = q.length < max_data ? q.length : max_data;
    if (read_spliced(q.id, h, q.offset, len))
        return;
    size_t at = reply_.begin(FXP_DATA);
    reply_.u32(q.id);
    const size_t length_at = reply_.size();
    uint8_t *p = reply_.reserve(4 + size_t(len));
    size_t n = 0;
    while (n < len) {
        ssize_t m = h.funcs->read(h.fd, p + 4 + n, len - n, static_cast<int64_t>(q.offset + n));
        if (m < 0 && errno == EINTR)
            continue;
        if (m < 0 && n == 0) {
            int e = errno;
            reply_.drop(at);
            return status_errno(q.id, e);
        }
        if (m <= 0)
            break;  // the end of the file, or an error the next read reports
        n += size_t(m);
    }
    if (n == 0) {
        reply_.drop(at);
        return status(q.id, FX_EOF, "End of file");
    }
    reply_.commit(4 + n);
    reply_.u32_at(length_at, static_cast<uint32_t>(n));
    reply_.end(at);
}

// A short write is repeated until the whole request is written.
void Server::do_write(Request &q)
{
    Handle &h = *q.h;
    size_t done = 0;
    while (done < q.data.size()) {
        ssize_t n = h.funcs->write(h.fd, q.data.data() + done, q.data.size() - done,
                                   static_cast<int64_t>(q.offset + done));
        if (n < 0)
            return status_errno(q.id, errno);
        if (n == 0)
            return status_errno(q.id, EIO);
        done += size_t(n);
    }
    status_ok(q.id);
}

// A name handed over in this session answers as the file the client left.
void Server::do_stat(Request &q)
{
    struct stat64 st;
    if (q.t->stat(q.path.c_str(), &st) < 0) {
        int e = errno;
        const struct stat64 *left = e == ENOENT ? uploads_.find(q.path) : nullptr;
        if (left == nullptr)
            return status_errno(q.id, e);
        st = *left;
    }
    reply_attrs(q.id, st);
}

// A file: its own descriptor says what the client reads or has written (for
// a profile, the compressed form).  A folder: its path's stat.
void Server::do_fstat(Request &q)
{
    Handle &h = *q.h;
    struct stat64 st;
    int rc;
    if (h.kind == Handle::Kind::file) {
        rc = fstat64(h.fd, &st);
    } else {
        if (h.funcs->stat == nullptr)
            return absent_slot(q.id);
        rc = h.funcs->stat(h.path, &st);
    }
    if (rc < 0)
        return status_errno(q.id, errno);
    reply_attrs(q.id, st);
}

void Server::do_opendir(Request &q)
{
    uint32_t slot;
    Handle *h = new_handle(q.id, slot);
    if (h == nullptr)
        return;
    void *dir = q.t->opendir(q.path.c_str());
    if (dir == nullptr)
        return status_errno(q.id, errno);
    h->kind = Handle::Kind::folder;
    h->dir = dir;
    h->dir_end = false;
    h->funcs = q.t;
    h->path = q.path.release();
    reply_handle(q.id, slot);
}

// The attributes of every listed name come from the table of its own path.
void Server::do_readdir(Request &q)
{
    Handle &h = *q.h;
    if (h.dir_end)
        return status(q.id, FX_EOF, "End of file");

    size_t at = reply_.begin(FXP_NAME);
    reply_.u32(q.id);
    size_t count_at = reply_.size();
    reply_.u32(0);
    uint32_t count = 0;
    time_t now = time(nullptr);
    const size_t dir_len = strlen(h.path);
    while (count < readdir_names && reply_.size() - at < readdir_bytes) {
        struct dirent64 *e = h.funcs->readdir(h.dir);
        if (e == nullptr) {
            h.dir_end = true;
            break;
        }
        // The entry may be overwritten by the next call: the name is copied.
        path_.assign(h.path);
        if (dir_len == 0 || h.path[dir_len - 1] != '/')
            path_.append('/');
        const size_t name_at = path_.size();
        path_.append(e->d_name);
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
        return status(q.id, FX_EOF, "End of file");
    }
    reply_.u32_at(count_at, count);
    reply_.end(at);
}

void Server::do_remove(Request &q)
{
    status_result(q.id, q.t->unlink(q.path.c_str()));
}

// An existing name is "File exists", as for mkdir(2), before any refusal:
// clients that make a path folder by folder go on past it.
void Server::do_mkdir(Request &q)
{
    struct stat64 st;
    if (q.t->stat != nullptr && q.t->stat(q.path.c_str(), &st) == 0)
        return status(q.id, FX_FAILURE, strerror(EEXIST));
    status_result(q.id, q.t->mkdir(q.path.c_str(), mode_of(q.attrs, 0777)));
}

void Server::do_rmdir(Request &q)
{
    status_result(q.id, q.t->rmdir(q.path.c_str()));
}

// Lexical, relative to the plug-in's start directory; nothing is looked up.
void Server::do_realpath(Request &q)
{
    Text joined;
    if (q.path.empty() || q.path[0] != '/') {
        joined.append(plugin_.start_dir());
        joined.append('/');
    }
    joined.append(q.path);
    Text out;
    out.resize(joined.size() + 2);
    if (plugin_.normalize(joined.c_str(), out.data(), out.size()) != 0)
        return status_errno(q.id, errno);
    out.resize(strlen(out.c_str()));
    size_t at = reply_.begin(FXP_NAME);
    reply_.u32(q.id);
    reply_.u32(1);
    reply_.string(out);
    reply_.string(out);
    reply_.no_attrs();
    reply_.end(at);
}

// RENAME refuses to replace an existing name, as version 3 asks.
void Server::do_rename(Request &q)
{
    const tqsftp_funcs *target = plugin_.table(q.to.c_str());
    struct stat64 st;
    if (target->stat != nullptr && target->stat(q.to.c_str(), &st) == 0)
        return status_errno(q.id, EEXIST);
    do_posix_rename(q);
}

// posix-rename@openssh.com replaces the new name, as rename(2) does.
void Server::do_posix_rename(Request &q)
{
    status_result(q.id, q.t->rename(q.path.c_str(), q.to.c_str()));
}

void Server::do_link(Request &q)
{
    status_result(q.id, q.t->link(q.path.c_str(), q.to.c_str()));
}

void Server::do_fsync(Request &q)
{
    status_result(q.id, fsync(q.h->fd));
}

void Server::do_limits(Request &q)
{
    size_t at = reply_.begin(FXP_EXTENDED_REPLY);
    reply_.u32(q.id);
    reply_.u64(max_packet);
    reply_.u64(max_data);
    reply_.u64(max_data);
    reply_.u64(max_handles);
    reply_.end(at);
}

}  // namespace tqhost
