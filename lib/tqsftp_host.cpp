// The host's own operations, always through the plug-in's copy of the
// host's table (tqsftp_default_cb), never through the table the host passes.
#include <errno.h>

#include "tqsftp_internal.h"

namespace {

// An absent slot fails as the call would, with ENOSYS.
int absent(void)
{
    errno = ENOSYS;
    return -1;
}

}  // namespace

namespace tqsftp {

int host_open(const char *path, int flags, int mode)
{
    auto op = tqsftp_default_cb.open;
    return op != nullptr ? op(path, flags, mode) : absent();
}

int host_close(int fd)
{
    auto op = tqsftp_default_cb.close;
    return op != nullptr ? op(fd) : absent();
}

int host_stat(const char *path, struct stat64 *buf)
{
    auto op = tqsftp_default_cb.stat;
    return op != nullptr ? op(path, buf) : absent();
}

void *host_opendir(const char *path)
{
    auto op = tqsftp_default_cb.opendir;
    if (op == nullptr) {
        absent();
        return nullptr;
    }
    return op(path);
}

ssize_t host_write(int fd, const void *buf, size_t len, int64_t off)
{
    auto op = tqsftp_default_cb.write;
    return op != nullptr ? op(fd, buf, len, off) : absent();
}

struct dirent64 *host_readdir(void *dir)
{
    auto op = tqsftp_default_cb.readdir;
    if (op == nullptr) {
        absent();
        return nullptr;
    }
    return op(dir);
}

int host_mkdir(const char *path, int mode)
{
    auto op = tqsftp_default_cb.mkdir;
    return op != nullptr ? op(path, mode) : absent();
}

int host_rmdir(const char *path)
{
    auto op = tqsftp_default_cb.rmdir;
    return op != nullptr ? op(path) : absent();
}

int host_unlink(const char *path)
{
    auto op = tqsftp_default_cb.unlink;
    return op != nullptr ? op(path) : absent();
}

int host_rename(const char *old_path, const char *new_path)
{
    auto op = tqsftp_default_cb.rename;
    return op != nullptr ? op(old_path, new_path) : absent();
}

int host_link(const char *old_path, const char *new_path)
{
    auto op = tqsftp_default_cb.link;
    return op != nullptr ? op(old_path, new_path) : absent();
}

}  // namespace tqsftp
