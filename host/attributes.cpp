// Attribute changes: size, owner, mode and times, by path (SETSTAT) or on a
// handle (FSETSTAT).  A change is made or refused, never answered OK without
// happening, but for a file handed over (remembered_uploads.h).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "server.h"

namespace tqhost {

using namespace sftp;

namespace {

constexpr uint32_t owner_mode_times = ATTR_UIDGID | ATTR_PERMISSIONS | ATTR_ACMODTIME;

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

int close_through(const tqsftp_funcs *t, int fd)
{
    return (t->close ? t->close : host_funcs()->close)(fd);
}

}  // namespace

// A size change is made through the table's open for writing, so that an
// area where the client may not write refuses it and the plug-in sees it.
int Server::set_size(const tqsftp_funcs *t, const char *path, uint64_t size)
{
    int fd = t->open(path, O_WRONLY, 0);
    if (fd < 0)
        return -1;
    int r = ftruncate64(fd, static_cast<off64_t>(size));
    int e = errno;
    int c = close_through(t, fd);
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
int Server::set_attrs(const tqsftp_funcs *t, const char *path, const Attrs &a)
{
    if (t->stat == nullptr || t->open == nullptr || t->opendir == nullptr) {
        errno = EACCES;
        return -1;
    }
    struct stat64 st;
    if (t->stat(path, &st) < 0) {
        const struct stat64 *left = errno == ENOENT ? uploads_.find(path) : nullptr;
        if (left == nullptr)
            return -1;
        if ((a.flags & ATTR_SIZE) && a.size != uint64_t(left->st_size)) {
            errno = EACCES;
            return -1;
        }
        return 0;
    }
    if ((a.flags & ATTR_SIZE) && set_size(t, path, a.size) < 0)
        return -1;
    if ((a.flags & owner_mode_times) == 0)
        return 0;
    if (!writable_area(*t)) {
        errno = EACCES;
        return -1;
    }
    void *dir = nullptr;
    int fd;
    if (S_ISDIR(st.st_mode)) {
        dir = t->opendir(path);
        fd = dir != nullptr ? dirfd(static_cast<DIR *>(dir)) : -1;
    } else {
        fd = t->open(path, O_RDONLY, 0);
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
        close_through(t, fd);
    errno = e;
    return r;
}

void Server::do_setstat(Request &q)
{
    status_result(q.id, set_attrs(q.t, q.path.c_str(), q.attrs));
}

// A file handle's own descriptor: its size only when it was opened for
// writing; owner, mode and times in an area the client may write.  A folder
// handle as its path.
void Server::do_fsetstat(Request &q)
{
    Handle &h = *q.h;
    const Attrs &a = q.attrs;
    if (h.kind == Handle::Kind::folder)
        return status_result(q.id, set_attrs(h.funcs, h.path, a));
    int rc = 0;
    if ((a.flags & ATTR_SIZE) && !h.writable) {
        errno = EACCES;
        rc = -1;
    } else if (a.flags & ATTR_SIZE) {
        rc = ftruncate64(h.fd, static_cast<off64_t>(a.size));
    }
    if (rc == 0 && (a.flags & owner_mode_times)) {
        struct stat64 st;
        if (!h.writable && !writable_area(*h.funcs)) {
            errno = EACCES;
            rc = -1;
        } else {
            rc = fstat64(h.fd, &st) == 0 ? apply_attrs(h.fd, a, st) : -1;
        }
    }
    status_result(q.id, rc);
}

}  // namespace tqhost
