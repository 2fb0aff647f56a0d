// The host's own file operations.  No path is resolved through a link:
// open and opendir open the path with openat2 and RESOLVE_NO_SYMLINKS; the
// other operations (and open and opendir on a kernel without openat2) open
// the folder that holds the path the same way, or one component at a time,
// and work on the last component relative to it, again without following
// it.  A link met on the way fails with EACCES.
#include "fsops.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include <utility>

namespace tqhost {
namespace {

bool aborted = false;
Resolver chosen = Resolver::probe;

#if defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
int openat2_nolinks(const char *path, int flags, mode_t mode = 0)
{
    struct open_how how = {};
    how.flags = static_cast<unsigned>(flags);
    how.mode = (flags & O_CREAT) ? mode : 0;  // anything else is EINVAL
    how.resolve = RESOLVE_NO_SYMLINKS;
    return static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}
#else
int openat2_nolinks(const char *, int, mode_t = 0)
{
    errno = ENOSYS;
    return -1;
}
#endif

Resolver current_resolver()
{
    if (chosen == Resolver::probe) {
        // Some sandboxes refuse unknown system calls with EPERM, not ENOSYS:
        // any failure on "/" means openat2 cannot be used.
        Fd root(openat2_nolinks("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        chosen = root.get() >= 0 ? Resolver::openat2 : Resolver::walk;
    }
    return chosen;
}

// openat2 where it can be used: -1 with errno ENOSYS where it cannot.  The
// first call learns which from its own answer: any but ENOSYS and EPERM shows
// that the call ran, and only after those two is "/" asked.
int try_openat2(const char *path, int flags, mode_t mode = 0)
{
    if (chosen == Resolver::walk) {
        errno = ENOSYS;
        return -1;
    }
    int fd = openat2_nolinks(path, flags, mode);
    if (chosen == Resolver::probe) {
        int e = errno;
        if (fd >= 0 || (e != ENOSYS && e != EPERM))
            chosen = Resolver::openat2;
        else if (current_resolver() == Resolver::walk)
            e = ENOSYS;
        errno = e;
    }
    return fd;
}

// Opens a folder one component at a time; a link is refused with ELOOP.
int open_folder_walk(const char *path)
{
    Fd dir(open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    char name[NAME_MAX + 1];
    const char *p = path;
    while (dir.get() >= 0) {
        while (*p == '/')
            p++;
        if (*p == '\0')
            return dir.release();
        const char *end = strchrnul(p, '/');
        size_t n = static_cast<size_t>(end - p);
        if (n > NAME_MAX) {
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(name, p, n);
        name[n] = '\0';
        p = end;
        if (strcmp(name, ".") == 0)
            continue;
        Fd next(openat(dir.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat64 st;
        if (next.get() < 0 || fstat64(next.get(), &st) != 0)
            return -1;
        if (S_ISLNK(st.st_mode)) {
            errno = ELOOP;
            return -1;
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
        dir = std::move(next);
    }
    return -1;
}

int open_folder(const char *path)
{
    int fd = try_openat2(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || chosen == Resolver::openat2)
        return fd;
    return open_folder_walk(path);
}

// The folder that stat last opened, kept until the end of the request (a
// listing asks for the attributes of every name of one folder), or until a
// folder is renamed or removed.  It was opened without following links, so
// using it again follows none either.
struct {
    char path[PATH_MAX];
    int fd = -1;
} folder_cache;

void forget_folder()
{
    if (folder_cache.fd >= 0) {
        int e = errno;
        ::close(folder_cache.fd);
        errno = e;
    }
    folder_cache.fd = -1;
}

// A link in the way is a refusal, not a loop.
void link_refused()
{
    if (errno == ELOOP)
        errno = EACCES;
}

// Opening a link with O_DIRECTORY | O_NOFOLLOW fails with ENOTDIR: a link
// there is a refusal too.
void link_refused(int dir, const char *name)
{
    struct stat64 st;
    if (errno == ENOTDIR && fstatat64(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        errno = EACCES;
    else
        link_refused();
}

// A path split into the folder that holds it, opened without following
// links, and its last component.  "/" is the folder "/" and the name ".".
class Parent {
public:
    explicit Parent(const char *path, bool cached = false)
    {
        if (path == nullptr) {
            errno = EFAULT;
            return;
        }
        size_t len = strlen(path);
        if (len == 0) {
            errno = ENOENT;
            return;
        }
        if (len >= sizeof buf_) {
            errno = ENAMETOOLONG;
            return;
        }
        memcpy(buf_, path, len + 1);
        while (len > 1 && buf_[len - 1] == '/')
            buf_[--len] = '\0';
        char *slash = strrchr(buf_, '/');
        const char *folder;
        if (slash == nullptr) {
            folder = ".";
            name_ = buf_;
        } else if (slash == buf_) {
            folder = "/";
            name_ = buf_[1] != '\0' ? buf_ + 1 : ".";
        } else {
            *slash = '\0';
            folder = buf_;
            name_ = slash + 1;
        }
        if (cached && folder_cache.fd >= 0 && strcmp(folder_cache.path, folder) == 0) {
            fd_ = folder_cache.fd;
            return;
        }
        int fd = open_folder(folder);
        if (fd < 0) {
            link_refused();
            return;
        }
        if (cached) {
            forget_folder();
            strcpy(folder_cache.path, folder);
            folder_cache.fd = fd;
        } else {
            owned_ = Fd(fd);
        }
        fd_ = fd;
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const char *name() const { return name_; }

private:
    Fd owned_;
    int fd_ = -1;
    char buf_[PATH_MAX];
    const char *name_ = nullptr;
};

// Opens a path without following a link: with openat2 in one call, else
// relative to its folder.
int open_nolinks(const char *path, int flags, mode_t mode)
{
    flags |= O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    if (path != nullptr) {
        int fd = try_openat2(path, flags, mode);
        if (fd >= 0)
            return fd;
        if (chosen == Resolver::openat2 && errno != ENOTDIR) {
            link_refused();
            return -1;
        }
        // No openat2, or a link or a file opened as a folder: opening it
        // relative to its folder tells which.
    }
    Parent p(path);
    if (!p.ok())
        return -1;
    int fd = openat(p.fd(), p.name(), flags, mode);
    if (fd < 0)
        link_refused(p.fd(), p.name());
    return fd;
}

int fs_open(const char *path, int flags, int mode) noexcept
{
    return open_nolinks(path, flags, static_cast<mode_t>(mode) & 07777);
}

int fs_close(int fd) noexcept
{
    int r = ::close(fd);
    if (aborted) {
        errno = ECONNABORTED;
        return -1;
    }
    return r;
}

int fs_stat(const char *path, struct stat64 *buf) noexcept
{
    if (buf == nullptr) {
        errno = EFAULT;
        return -1;
    }
    Parent p(path, true);
    if (!p.ok())
        return -1;
    return fstatat64(p.fd(), p.name(), buf, AT_SYMLINK_NOFOLLOW);
}

ssize_t fs_read(int fd, void *buf, size_t len, int64_t off) noexcept
{
    ssize_t n;
    do
        n = pread64(fd, buf, len, off);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t fs_write(int fd, const void *buf, size_t len, int64_t off) noexcept
{
    ssize_t n;
    do
        n = pwrite64(fd, buf, len, off);
    while (n < 0 && errno == EINTR);
    return n;
}

void *fs_opendir(const char *path) noexcept
{
    int fd = open_nolinks(path, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0)
        return nullptr;
    DIR *d = fdopendir(fd);
    if (d == nullptr) {
        int e = errno;
        ::close(fd);
        errno = e;
    }
    return d;
}

struct dirent64 *fs_readdir(void *dir) noexcept
{
    if (dir == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    return readdir64(static_cast<DIR *>(dir));
}

int fs_mkdir(const char *path, int mode) noexcept
{
    Parent p(path);
    return p.ok() ? mkdirat(p.fd(), p.name(), static_cast<mode_t>(mode) & 07777) : -1;
}

int fs_rmdir(const char *path) noexcept
{
    forget_folder();
    Parent p(path);
    return p.ok() ? unlinkat(p.fd(), p.name(), AT_REMOVEDIR) : -1;
}

int fs_unlink(const char *path) noexcept
{
    Parent p(path);
    return p.ok() ? unlinkat(p.fd(), p.name(), 0) : -1;
}

int fs_rename(const char *old_path, const char *new_path) noexcept
{
    forget_folder();
    Parent from(old_path);
    if (!from.ok())
        return -1;
    Parent to(new_path);
    return to.ok() ? renameat(from.fd(), from.name(), to.fd(), to.name()) : -1;
}

int fs_link(const char *old_path, const char *new_path) noexcept
{
    Parent from(old_path);
    if (!from.ok())
        return -1;
    Parent to(new_path);
    // No AT_SYMLINK_FOLLOW: a link to a link names the link itself.
    return to.ok() ? linkat(from.fd(), from.name(), to.fd(), to.name(), 0) : -1;
}

const tqsftp_funcs table = {
    fs_open,  fs_close, fs_stat,  fs_read,  fs_write,  fs_opendir,
    fs_readdir, fs_mkdir, fs_rmdir, fs_unlink, fs_rename, fs_link,
};

}  // namespace

const tqsftp_funcs *host_funcs()
{
    return &table;
}

void close_dir(void *dir)
{
    if (dir != nullptr)
        closedir(static_cast<DIR *>(dir));
}

void end_of_request()
{
    forget_folder();
}

void set_connection_aborted(bool a)
{
    aborted = a;
}

void set_resolver(Resolver r)
{
    forget_folder();
    chosen = r;
}

Resolver resolver()
{
    return current_resolver();
}

}  // namespace tqhost
