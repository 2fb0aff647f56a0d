// The plug-in's entry, its operation tables, and the guarded operations that
// stand in the tables in place of the host's own: open and close, the path
// operations, and the denials.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tqdevice/tqlog.h"
#include "tqdevice/tqprofile.h"
#include "tqdevice/tqusrmgr.h"
#include "tqsftp_internal.h"

extern "C" {

tqsftp_funcs tqsftp_default_cb;
tqsftp_funcs tqsftp_funcs_full;
tqsftp_funcs tqsftp_funcs_full_nodir;
tqsftp_funcs tqsftp_funcs_rw_limit;
tqsftp_funcs tqsftp_funcs_readonly;
tqsftp_funcs tqsftp_funcs_deny;
tqsftp_funcs tqsftp_funcs_nvmcfg_dir;
tqsftp_funcs tqsftp_funcs_nvmcfg_file;
tqsftp_funcs tqsftp_funcs_envmcfg;

const char *tqsftp_start_dir = "/";

tqsftp_state_t tqsftp_state;

}  // extern "C"

namespace tqsftp {

int open_failed(int e, const char *client_path)
{
    errno = e;
    tqsftp_log(e, cmd_open, nullptr, client_path);
    return -1;
}

}  // namespace tqsftp

using namespace tqsftp;

namespace {

// The one-time set-up: the copy of the host's table, the eight tables derived
// in order (each from a base that is complete by then), the scratch folders
// and the upload folders with their help files.
void set_up(const tqsftp_funcs *host)
{
    tqsftp_state.initialised = 1;
    tqlog_preInit();
    if (host != nullptr)
        tqsftp_default_cb = *host;

    tqsftp_funcs &full = tqsftp_funcs_full;
    full = tqsftp_default_cb;
    full.open = tqsftp_media_open;
    full.close = tqsftp_close;
    full.stat = tqsftp_stat;
    full.opendir = tqsftp_opendir;
    full.mkdir = tqsftp_mkdir;
    full.rmdir = tqsftp_rmdir;
    full.unlink = tqsftp_unlink;
    full.rename = tqsftp_rename;
    full.link = tqsftp_link;

    tqsftp_funcs &nodir = tqsftp_funcs_full_nodir;
    nodir = full;
    nodir.open = tqsftp_open;
    nodir.write = tqsftp_upload_write;
    nodir.mkdir = tqsftp_deny_mkdir;
    nodir.rmdir = tqsftp_deny_rmdir;

    // Named by no area: the base of the read-only tables, with the host's
    // write as the writable tables outside the upload folders have it.
    tqsftp_funcs &limit = tqsftp_funcs_rw_limit;
    limit = nodir;
    limit.write = tqsftp_default_cb.write;
    limit.unlink = tqsftp_deny_unlink;
    limit.rename = tqsftp_deny_rename;
    limit.link = tqsftp_deny_link;

    tqsftp_funcs &ro = tqsftp_funcs_readonly;
    ro = limit;
    ro.open = tqsftp_open_readonly;
    ro.write = tqsftp_deny_write;

    tqsftp_funcs &deny = tqsftp_funcs_deny;
    deny = ro;
    deny.open = tqsftp_deny_open;
    deny.stat = tqsftp_deny_stat;
    deny.opendir = tqsftp_deny_opendir;

    tqsftp_funcs &cfg_dir = tqsftp_funcs_nvmcfg_dir;
    cfg_dir = ro;
    cfg_dir.stat = tqsftp_cfg_stat;
    cfg_dir.readdir = tqsftp_cfg_readdir;

    tqsftp_funcs &cfg_file = tqsftp_funcs_nvmcfg_file;
    cfg_file = nodir;
    cfg_file.open = tqsftp_cfg_open;
    cfg_file.stat = tqsftp_cfg_stat;
    cfg_file.unlink = tqsftp_cfg_unlink;
    cfg_file.rename = tqsftp_cfg_rename;
    cfg_file.link = tqsftp_cfg_link;

    tqsftp_funcs &envcfg = tqsftp_funcs_envmcfg;
    envcfg = full;
    envcfg.unlink = tqsftp_envcfg_unlink;

    tqsftp_upload_init();  // the scratch and upload folders, the help files
}

bool forced_password_change_pending()
{
    int status = 0;
    return tqusrMgr_GetForcePasswordStatus(&status) == 0 && status == 1;
}

// Removable media hold whatever was put on them; only regular files and
// folders are opened there.  A FIFO would block the open, and the session.
bool openable(mode_t m)
{
    return S_ISREG(m) || S_ISDIR(m);
}

// The host's open on removable media: refused before for a name that is no
// regular file or folder (a look of its own: one call, where the host's stat
// opens the folder first), and unable to block (O_NONBLOCK, taken back from
// a file that proves regular) should the name change in between.
int media_host_open(const char *real, int flags, int mode)
{
    struct stat64 st;
    if (lstat64(real, &st) == 0 && !openable(st.st_mode)) {
        errno = EPERM;
        return -1;
    }
    int fd = host_open(real, flags | O_NONBLOCK, mode);
    if (fd < 0)
        return fd;
    if (fstat64(fd, &st) != 0 || !openable(st.st_mode)) {
        host_close(fd);
        errno = EPERM;
        return -1;
    }
    if ((flags & O_NONBLOCK) == 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// The profile folders of removable media hold at most this many profiles.
constexpr int profile_limit = 20;

bool is_media_profile_folder(const tqsftp_access *e)
{
    return e->prefix != nullptr && e->path != nullptr &&
           (strcmp(e->path, "/usb0/cfg") == 0 || strcmp(e->path, "/sd/cfg") == 0);
}

// True when one more profile may be created in the folder.
bool below_profile_limit(const char *folder)
{
    DIR *d = opendir(folder);
    if (d == nullptr)
        return false;
    int count = 0;
    while (struct dirent64 *e = readdir64(d)) {
        if (is_profile_name(e->d_name))
            count++;
    }
    closedir(d);
    return count < profile_limit;
}

// Logs a one-path change and hands back the host's result.
int logged(int r, const char *label, const char *client_path)
{
    int e = r < 0 ? errno : 0;
    tqsftp_log(e, label, nullptr, client_path);
    return r;
}

int denied(const char *label, const char *source, const char *target)
{
    errno = EACCES;
    tqsftp_log(EACCES, label, source, target);
    return -1;
}

int open_in(const char *client_path, int flags, int mode, bool media)
{
    RealPath real;
    const tqsftp_access *e = tqsftp_resolve(client_path, real.out());
    // Only exhausted memory leaves a path of these tables without a real
    // path; such an open fails before anything is recorded or asked.
    if (!real)
        return open_failed(ENOMEM, client_path);

    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
        struct stat64 st;
        if (host_stat(real.get(), &st) == 0)
            return open_failed(EEXIST, client_path);
    }
    const int limited = O_WRONLY | O_CREAT | O_TRUNC;
    if ((flags & limited) == limited && is_media_profile_folder(e) &&
        !below_profile_limit(e->path))
        return open_failed(EPERM, client_path);

    if (e->action != nullptr) {
        if (int refused = tqsftp_upload_admission(e, real.get(), flags))
            return open_failed(refused, client_path);
    }

    bool written = (flags & O_ACCMODE) != O_RDONLY;
    tqsftp_file *f = tqsftp_file_add(-1, e, real.get(), client_path, flags & O_ACCMODE);
    if (f == nullptr)
        return open_failed(ENOMEM, client_path);

    bool tell = e->action != nullptr && written;
    if (tell && e->action(TQSFTP_ACT_START, f->real_path, nullptr) != 0) {
        tqsftp_file_remove(f);
        return open_failed(EPERM, client_path);
    }
    int fd = tell    ? tqsftp_upload_create(e, real.get(), flags, mode)
             : media ? media_host_open(real.get(), flags, mode)
                     : host_open(real.get(), flags, mode);
    f->fd = fd;
    if (fd < 0) {
        if (tell)
            e->action(TQSFTP_ACT_OPEN_FAILED, f->real_path, nullptr);
        int err = errno;
        tqsftp_log(err, cmd_open, nullptr, client_path);
        tqsftp_file_remove(f);
        errno = err;
        return fd;
    }
    if (tell)
        e->action(TQSFTP_ACT_OPENED, f->real_path, nullptr);
    return fd;
}

}  // namespace

extern "C" {

tqsftp_funcs *tqsftp_get_sftp_func_cb(const char *path, const tqsftp_funcs *host)
{
    // The entry reports nothing: errno is what resolution leaves, not what
    // the user manager or the set-up's folder and file calls left.
    int saved = errno;
    if (!forced_password_change_pending() && !tqsftp_state.initialised)
        set_up(host);
    errno = saved;
    return tqsftp_resolve(path, nullptr)->funcs;
}

int tqsftp_invalidate_profiles(void)
{
    return tq2FMProfileEntry_invalidateCache(0, 0, 0);
}

int tqsftp_open(const char *client_path, int flags, int mode)
{
    return open_in(client_path, flags, mode, false);
}

int tqsftp_media_open(const char *client_path, int flags, int mode)
{
    return open_in(client_path, flags, mode, true);
}

int tqsftp_open_readonly(const char *client_path, int flags, int mode)
{
    // A read-only area is not changed by an open either: a read-only open
    // that would create or truncate (O_CREAT, O_TRUNC) is refused with EPERM
    // and logged exactly like a write open.
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0)
        return open_failed(EPERM, client_path);
    return tqsftp_open(client_path, flags, mode);
}

int tqsftp_close(int fd)
{
    // Past its ceiling by any way of writing (a size set on the handle, say):
    // not handed over.  Once the host has closed it, nobody writes it.
    tqsftp_file *f = tqsftp_file_find(fd);
    if (f != nullptr && f->written && tqsftp_upload_past_ceiling(fd, f->access))
        f->saved_errno = EFBIG;
    int r = host_close(fd);
    int err = errno;
    if (f == nullptr)
        return r;
    if (r < 0)
        f->saved_errno = err;
    else if (f->saved_errno != 0)
        r = -1;  // a write was refused: the file is not what the client sent

    // An upload that the update service refuses is a failed transfer.
    const tqsftp_access *e = f->access;
    if (f->written && e != nullptr && e->action != nullptr) {
        if (r < 0)
            e->action(TQSFTP_ACT_CLOSE_FAILED, f->real_path, nullptr);
        else if (e->action(TQSFTP_ACT_CLOSED, f->real_path, nullptr) < 0) {
            f->saved_errno = EPERM;
            r = -1;
        }
    }

    if (r == 0 && f->refreshes) {
        const char *slash = strrchr(f->real_path, '/');
        const char *base = slash != nullptr ? slash + 1 : f->real_path;
        if (is_profile_name(base))
            tqsftp_invalidate_profiles();
    }

    if (!f->written)
        tqsftp_log(f->saved_errno, cmd_copy, f->client_path, remote);
    else
        tqsftp_log(f->saved_errno, cmd_copy, remote, f->client_path);
    if (r < 0)
        err = f->saved_errno;
    tqsftp_file_remove(f);
    errno = err;
    return r;
}

int tqsftp_stat(const char *client_path, struct stat64 *buf)
{
    RealPath real;
    tqsftp_resolve(client_path, real.out());
    return host_stat(real.get(), buf);
}

void *tqsftp_opendir(const char *client_path)
{
    RealPath real;
    tqsftp_resolve(client_path, real.out());
    return host_opendir(real.get());
}

int tqsftp_mkdir(const char *client_path, int mode)
{
    RealPath real;
    tqsftp_resolve(client_path, real.out());
    return logged(host_mkdir(real.get(), mode), cmd_mkdir, client_path);
}

int tqsftp_rmdir(const char *client_path)
{
    RealPath real;
    tqsftp_resolve(client_path, real.out());
    return logged(host_rmdir(real.get()), cmd_rmdir, client_path);
}

int tqsftp_unlink(const char *client_path)
{
    RealPath real;
    const tqsftp_access *e = tqsftp_resolve(client_path, real.out());
    UploadLock names(e);
    if (real && tqsftp_upload_busy(e, real.get())) {
        errno = EBUSY;
        return logged(-1, cmd_unlink, client_path);
    }
    return logged(host_unlink(real.get()), cmd_unlink, client_path);
}

int tqsftp_rename(const char *old_path, const char *new_path)
{
    return move(area_moves, renaming, old_path, new_path);
}

int tqsftp_link(const char *old_path, const char *new_path)
{
    return move(area_moves, linking, old_path, new_path);
}

int tqsftp_deny_open(const char *client_path, int, int)
{
    return denied(cmd_open, nullptr, client_path);
}

int tqsftp_deny_stat(const char *, struct stat64 *)
{
    errno = EACCES;
    return -1;
}

ssize_t tqsftp_deny_write(int, const void *, size_t, int64_t)
{
    errno = EACCES;
    return -1;
}

void *tqsftp_deny_opendir(const char *client_path)
{
    denied(cmd_opendir, nullptr, client_path);
    return nullptr;
}

int tqsftp_deny_mkdir(const char *client_path, int)
{
    return denied(cmd_mkdir, nullptr, client_path);
}

int tqsftp_deny_rmdir(const char *client_path)
{
    return denied(cmd_rmdir, nullptr, client_path);
}

int tqsftp_deny_unlink(const char *client_path)
{
    return denied(cmd_unlink, nullptr, client_path);
}

int tqsftp_deny_rename(const char *old_path, const char *new_path)
{
    return denied(cmd_rename, old_path, new_path);
}

int tqsftp_deny_link(const char *old_path, const char *new_path)
{
    return denied(cmd_link, old_path, new_path);
}

}  // extern "C"
