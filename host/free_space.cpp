// Free space: statvfs@openssh.com and fstatvfs@openssh.com, with the figures
// of the real folder behind a path, read-only where the client may not write.
#include <dirent.h>
#include <errno.h>
#include <sys/statvfs.h>

#include "server.h"

namespace tqhost {

using namespace sftp;

namespace {

// The flags of the reply.
constexpr uint64_t read_only = 1, no_suid = 2;

FsStats fs_stats(const struct statvfs64 &sv, bool writable)
{
    uint64_t flag = 0;
    if ((sv.f_flag & ST_RDONLY) || !writable)
        flag |= read_only;
    if (sv.f_flag & ST_NOSUID)
        flag |= no_suid;
    return {sv.f_bsize, sv.f_frsize, sv.f_blocks, sv.f_bfree, sv.f_bavail, sv.f_files,
            sv.f_ffree, sv.f_favail, sv.f_fsid, flag, sv.f_namemax};
}

}  // namespace

// A folder the client may list, opened with its table's opendir.
void Server::do_statvfs(Request &q)
{
    void *dir = q.t->opendir(q.path.c_str());
    if (dir == nullptr)
        return status_errno(q.id, errno);
    struct statvfs64 sv;
    int rc = fstatvfs64(dirfd(static_cast<DIR *>(dir)), &sv);
    int e = errno;
    close_dir(dir);
    if (rc < 0)
        return status_errno(q.id, e);
    size_t at = reply_.begin(FXP_EXTENDED_REPLY);
    reply_.u32(q.id);
    reply_.fs_stats(fs_stats(sv, writable_area(*q.t)));
    reply_.end(at);
}

void Server::do_fstatvfs(Request &q)
{
    Handle &h = *q.h;
    int fd = h.kind == Handle::Kind::file ? h.fd : dirfd(static_cast<DIR *>(h.dir));
    struct statvfs64 sv;
    if (fstatvfs64(fd, &sv) < 0)
        return status_errno(q.id, errno);
    size_t at = reply_.begin(FXP_EXTENDED_REPLY);
    reply_.u32(q.id);
    reply_.fs_stats(fs_stats(sv, h.writable || writable_area(*h.funcs)));
    reply_.end(at);
}

}  // namespace tqhost
