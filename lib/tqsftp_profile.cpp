// The configuration profile store "/nv/cfg" (real folder "/flash/cfg"):
// profiles download as their compressed XML form through one temporary file,
// uploads go through that file to the update service, stat shows the size a
// download delivers, the current profile cannot be deleted, and the listing
// ends in the store's help, status, ok and error entries.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tqdevice/tqxml.h"
#include "tqsftp_internal.h"

namespace {

// The one temporary file of every profile transfer; created exclusively, so
// it admits one transfer at a time across every process of the device.
constexpr const char *temp_file = "/ramdisk/lighty.tmp";
constexpr const char *marker_file = "/flash/cfg/profile.cur";
constexpr const char *default_profile = "config.xml";

int convert(const char *real_path, tqapi_xml_sink sink, void *context)
{
    return tqapi_xml_convert_compress_XMLData_by_Callback(24, real_path, sink,
                                                          context, 2,
                                                          "CompressedData");
}

int open_failed(int e, const char *client_path)
{
    errno = e;
    tqsftp_log(e, cmd_open, nullptr, client_path);
    return -1;
}

// A path whose resolution yields no real path (memory ran out) leaves
// nothing to hand to the host: every operation of the store then fails with
// ENOMEM without calling the host.  Deletions, renames and links log it as
// any failed change; the open and stat of a profile fail silently.
int unresolved(const char *label, const char *source, const char *target)
{
    errno = ENOMEM;
    tqsftp_log(ENOMEM, label, source, target);
    return -1;
}

// A download: the converted profile is written into the temporary file,
// which is reopened for the client and loses its name while it stays open.
int download(const tqsftp_access *entry, const char *real_path,
             const char *client_path, int flags, int mode)
{
    int fd = tqsftp::host_open(temp_file, O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0) {
        open_failed(EPERM, client_path);  // another transfer holds it
        return fd;
    }
    int r = convert(real_path, tqsftp_fdwrite_cb, &fd);
    close(fd);
    if (r != 0) {
        remove(temp_file);
        return open_failed(EIO, client_path);
    }
    fd = tqsftp::host_open(temp_file, flags, mode);
    if (fd < 0) {
        int e = errno;
        remove(temp_file);
        open_failed(e, client_path);
        return fd;
    }
    if (tqsftp_file_add(fd, entry, real_path, client_path, 0) == nullptr) {
        tqsftp::host_close(fd);
        remove(temp_file);
        return open_failed(ENOMEM, client_path);
    }
    remove(temp_file);
    return fd;
}

// An upload: the client writes into the temporary file; the configuration
// action hands it to the update service when the client closes it.  Nothing
// is created in the store itself.
int upload(const tqsftp_access *entry, const char *real_path,
           const char *client_path, int flags, int mode)
{
    if (entry->action != nullptr &&
        entry->action(TQSFTP_ACT_START, nullptr, nullptr) != 0)
        return open_failed(EPERM, client_path);
    tqsftp_file *f = tqsftp_file_add(-1, entry, real_path, client_path, 1);
    if (f == nullptr)
        return open_failed(ENOMEM, client_path);
    int fd = tqsftp::host_open(temp_file, flags | O_CREAT | O_EXCL, mode);
    if (fd < 0) {
        tqsftp_file_remove(f);
        open_failed(EPERM, client_path);
        return fd;
    }
    if (entry->action != nullptr)
        entry->action(TQSFTP_ACT_OPENED, client_path, temp_file);
    f->fd = fd;
    return fd;
}

// The current profile's file name: the first word of the marker file and
// ".xml", or "config.xml" while there is no marker.  False when the marker
// exists but cannot be opened or read: a marker that is a folder opens with
// the C library but fails at the first read, and then no profile can be
// told apart from the current one.  An empty marker names ".xml".
bool current_profile(char (&name)[54])
{
    memset(name, 0, sizeof name);
    struct stat64 st;
    if (stat64(marker_file, &st) != 0) {
        if (errno != ENOENT)
            return false;
        strlcpy(name, default_profile, sizeof name);
        return true;
    }
    FILE *f = fopen(marker_file, "r");
    if (f == nullptr)
        return false;
    bool read = fscanf(f, "%49s", name) == 1 || !ferror(f);
    fclose(f);
    if (!read)
        return false;
    strlcat(name, ".xml", sizeof name);
    return true;
}

// Rename and link in the profile folder: one area only; a move the file
// system refuses is offered to the upload action, which renames a pending
// upload that is not stored yet.
int move(int (*host_op)(const char *, const char *), const char *label,
         const char *old_path, const char *new_path)
{
    tqsftp::RealPath old_real, new_real;
    const tqsftp_access *from = tqsftp_resolve(old_path, old_real.out());
    const tqsftp_access *to = tqsftp_resolve(new_path, new_real.out());
    if (from != to) {
        errno = EPERM;
        tqsftp_log(EPERM, label, old_path, new_path);
        return -1;
    }
    if (!old_real || !new_real)
        return unresolved(label, old_path, new_path);
    int r = host_op(old_real.get(), new_real.get());
    if (r < 0 && from->action != nullptr) {
        int e = errno;
        r = from->action(TQSFTP_ACT_RENAME, old_path, new_path);
        if (r < 0)
            errno = e;
    }
    tqsftp_log(r < 0 ? errno : 0, label, old_path, new_path);
    return r;
}

}  // namespace

extern "C" {

int tqsftp_fdwrite_cb(uintptr_t, void *context, const void *data,
                      uint32_t length)
{
    if (context == nullptr || data == nullptr)
        return -1;
    return static_cast<int>(write(*static_cast<int *>(context), data, length));
}

int tqsftp_count_cb(uintptr_t, void *context, const void *data,
                    uint32_t length)
{
    if (context == nullptr || data == nullptr)
        return -1;
    *static_cast<uint32_t *>(context) += length;
    return static_cast<int>(length);
}

int tqsftp_cfg_open(const char *client_path, int flags, int mode)
{
    tqsftp::RealPath real;
    const tqsftp_access *entry = tqsftp_resolve(client_path, real.out());
    if (!real) {
        errno = ENOMEM;
        return -1;
    }
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
        struct stat64 st;
        if (tqsftp::host_stat(real.get(), &st) == 0)
            return open_failed(EEXIST, client_path);
    }
    if ((flags & O_ACCMODE) == O_RDONLY)
        return download(entry, real.get(), client_path, flags, mode);
    return upload(entry, real.get(), client_path, flags, mode);
}

int tqsftp_cfg_stat(const char *client_path, struct stat64 *st)
{
    tqsftp::RealPath real;
    tqsftp_resolve(client_path, real.out());
    if (!real) {
        errno = ENOMEM;
        return -1;
    }
    int r = tqsftp::host_stat(real.get(), st);
    if (r == 0) {
        // A stored profile shows the size of the form a download delivers.
        if ((st->st_mode & S_IFMT) == S_IFREG) {
            uint32_t count = 0;
            if (convert(real.get(), tqsftp_count_cb, &count) == 0)
                st->st_size = static_cast<off64_t>(static_cast<uint64_t>(count));
        }
        return 0;
    }
    // An upload that is not stored yet is seen as its temporary file.
    if (r < 0 && strcmp(client_path, tqsftp_config_ucb.file_name) == 0)
        return tqsftp::host_stat(tqsftp_config_ucb.temp_name, st);
    return r;
}

struct dirent64 *tqsftp_cfg_readdir(void *dir)
{
    static constexpr const char *extra[] = {"help", "status", "ok", "error"};
    struct dirent64 *e = tqsftp::host_readdir(dir);
    struct dirent64 &synthetic = tqsftp_state.dirent;
    if (e != nullptr) {
        synthetic.d_ino = 0;
        return e;
    }
    // d_ino is the position in the names that follow the host's end.
    uint64_t p = synthetic.d_ino++;
    if (p >= 4)
        return nullptr;
    strlcpy(synthetic.d_name, extra[p], sizeof synthetic.d_name);
    return &synthetic;
}

int tqsftp_cfg_unlink(const char *client_path)
{
    tqsftp::RealPath real;
    tqsftp_resolve(client_path, real.out());
    if (!real)
        return unresolved(cmd_unlink, nullptr, client_path);
    // The name is taken from the resolved real path, so no spelling of the
    // current profile's path ("x.xml/", "x.xml/.", "../cfg/x.xml") slips by.
    const char *slash = strrchr(real.get(), '/');
    const char *name = slash != nullptr ? slash + 1 : real.get();
    char current[54];
    if (!current_profile(current) || strcmp(name, current) == 0) {
        errno = EPERM;
        return -1;
    }
    tqsftp::host_unlink(real.get());
    int e = errno;
    tqsftp_invalidate_profiles();
    tqsftp_log(0, cmd_unlink, nullptr, client_path);
    errno = e;
    return 0;
}

int tqsftp_envcfg_unlink(const char *client_path)
{
    tqsftp::RealPath real;
    tqsftp_resolve(client_path, real.out());
    if (!real)
        return unresolved(cmd_unlink, nullptr, client_path);
    int r = tqsftp::host_unlink(real.get());
    if (r < 0) {
        tqsftp_log(errno, cmd_unlink, nullptr, client_path);
        return r;
    }
    tqsftp_invalidate_profiles();
    tqsftp_log(0, cmd_unlink, nullptr, client_path);
    return r;
}

int tqsftp_cfg_rename(const char *old_path, const char *new_path)
{
    return move(tqsftp::host_rename, cmd_rename, old_path, new_path);
}

int tqsftp_cfg_link(const char *old_path, const char *new_path)
{
    return move(tqsftp::host_link, cmd_link, old_path, new_path);
}

}  // extern "C"
