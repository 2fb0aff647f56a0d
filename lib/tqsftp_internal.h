// Declarations shared by the plug-in's sources; nothing here is exported.
#ifndef TQSFTP_INTERNAL_H
#define TQSFTP_INTERNAL_H

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <cstdint>

#include "tqsftp.h"

extern "C" {

// One record of the open-file registry: which area a descriptor belongs to,
// under which names it was opened and which way its data went.
struct tqsftp_file {
    tqsftp_file *next;            // the next (older) record
    int32_t fd;                   // -1 while the open is under way
    const tqsftp_access *access;  // borrowed
    char *real_path;              // owned copy
    char *client_path;            // owned copy
    bool written;                 // opened for writing: an upload
    bool refreshes;               // write-only: a profile name refreshes the
                                  // profile manager at a good close
    int32_t saved_errno;          // why the transfer failed: a refused
                                  // write, or the failed host close
};

// The plug-in's private state, one per process, zero at load.
struct tqsftp_state_t {
    tqsftp_file *files;        // head of the registry, newest first
    struct dirent64 dirent;    // synthetic entry of the profile listing
    int initialised;           // set when the one-time set-up begins
};
extern tqsftp_state_t tqsftp_state;

// Namespace.
const tqsftp_access *tqsftp_resolve(const char *client_path, char **real_path);

// Open-file registry.  access_mode: O_RDONLY, O_WRONLY or O_RDWR of the
// client's open (the profile store records O_WRONLY for every upload).
tqsftp_file *tqsftp_file_add(int fd, const tqsftp_access *access,
                             const char *real_path, const char *client_path,
                             int access_mode);
int tqsftp_file_remove(tqsftp_file *record);
tqsftp_file *tqsftp_file_find(int fd);
// The record of a file of the action's kind that is open for writing, if any:
// each kind takes one upload at a time.
tqsftp_file *tqsftp_file_find_upload(tqsftp_action_fn action);

// Guarded operations.
int tqsftp_open(const char *client_path, int flags, int mode);
int tqsftp_open_readonly(const char *client_path, int flags, int mode);
int tqsftp_close(int fd);
int tqsftp_invalidate_profiles(void);
int tqsftp_stat(const char *client_path, struct stat64 *buf);
void *tqsftp_opendir(const char *client_path);
int tqsftp_mkdir(const char *client_path, int mode);
int tqsftp_rmdir(const char *client_path);
int tqsftp_unlink(const char *client_path);
int tqsftp_rename(const char *old_path, const char *new_path);
int tqsftp_link(const char *old_path, const char *new_path);
// Slot 0 of the tables of removable media: only regular files and folders.
int tqsftp_media_open(const char *client_path, int flags, int mode);

int tqsftp_deny_open(const char *client_path, int flags, int mode);
int tqsftp_deny_stat(const char *client_path, struct stat64 *buf);
ssize_t tqsftp_deny_write(int fd, const void *buf, size_t len, int64_t off);
void *tqsftp_deny_opendir(const char *client_path);
int tqsftp_deny_mkdir(const char *client_path, int mode);
int tqsftp_deny_rmdir(const char *client_path);
int tqsftp_deny_unlink(const char *client_path);
int tqsftp_deny_rename(const char *old_path, const char *new_path);
int tqsftp_deny_link(const char *old_path, const char *new_path);

// Profile store.
int tqsftp_cfg_open(const char *client_path, int flags, int mode);
int tqsftp_cfg_stat(const char *client_path, struct stat64 *buf);
int tqsftp_fdwrite_cb(uintptr_t opaque, void *context, const void *data,
                      uint32_t length);
int tqsftp_count_cb(uintptr_t opaque, void *context, const void *data,
                    uint32_t length);
struct dirent64 *tqsftp_cfg_readdir(void *dir);
int tqsftp_cfg_unlink(const char *client_path);
int tqsftp_envcfg_unlink(const char *client_path);
int tqsftp_cfg_rename(const char *old_path, const char *new_path);
int tqsftp_cfg_link(const char *old_path, const char *new_path);
// The update service has taken a profile upload (stored is nonzero), or the
// upload failed: the store lets go of its temporary file, which another
// transfer may now take for stale, and the configuration block names nothing.
// The configuration action calls it after commands 3 and 4.
void tqsftp_cfg_handed_over(int stored);

// Uploads.  The checks a write open in a row with an action passes before
// anything is asked or created: 0, or the error number that refuses it.
int tqsftp_upload_admission(const tqsftp_access *row, const char *real,
                            int flags);
// True when the file open on fd is larger than the ceiling of its row's
// upload kind (a sparse file counts by its size); never for other rows.
int tqsftp_upload_past_ceiling(int fd, const tqsftp_access *row);
// Slot 4 of the upload tables: the host's write with its arguments as they
// came, then the file's real size checked against the kind's ceiling.
ssize_t tqsftp_upload_write(int fd, const void *buf, size_t len, int64_t off);
// Creates an upload's file in an upload folder, exclusively and held for the
// upload's life, and opens it through the host: the host's descriptor, or -1
// with errno, EBUSY when a live upload or the update service holds the name.
int tqsftp_upload_create(const tqsftp_access *row, const char *real, int flags,
                         int mode);
// The lock of a row's upload folder, for checking a name and changing it in
// one step (-1 for a row without one), and its release.
int tqsftp_upload_lock(const tqsftp_access *row);
void tqsftp_upload_unlock(int dir);
// With the folder locked: true when a live upload holds the name; a leftover
// of a writer that is gone is removed on the way.
int tqsftp_upload_busy(const tqsftp_access *row, const char *real);

#ifndef TQSFTP_HAVE_STRLCPY
size_t strlcpy(char *dst, const char *src, size_t size);
size_t strlcat(char *dst, const char *src, size_t size);
#endif

}  // extern "C"

namespace tqsftp {

// The host's own operations (tqsftp_host.cpp), always through the copy of
// its table.  An absent slot answers as a failing call would: -1 (or NULL)
// with ENOSYS.
int host_open(const char *path, int flags, int mode);
int host_close(int fd);
int host_stat(const char *path, struct stat64 *buf);
// Passes its arguments through as they came: the slot's argument list is the
// host's own (a host's write may be shaped like write(2)).
ssize_t host_write(int fd, const void *buf, size_t len, int64_t off);
void *host_opendir(const char *path);
struct dirent64 *host_readdir(void *dir);
int host_mkdir(const char *path, int mode);
int host_rmdir(const char *path);
int host_unlink(const char *path);
int host_rename(const char *old_path, const char *new_path);
int host_link(const char *old_path, const char *new_path);

// A real path from tqsftp_resolve, freed when it goes out of scope.
class RealPath {
public:
    RealPath() = default;
    RealPath(const RealPath &) = delete;
    RealPath &operator=(const RealPath &) = delete;
    ~RealPath()
    {
        int saved = errno;  // callers set errno before this runs
        free(p_);
        errno = saved;
    }
    char **out() { return &p_; }
    const char *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    char *p_ = nullptr;
};

// Fails an open with error number e: errno set, one audit line, -1.
int open_failed(int e, const char *client_path);

// The lock of a row's upload folder, held while a name is checked and
// changed; nothing for a row without upload folder.
class UploadLock {
public:
    explicit UploadLock(const tqsftp_access *row) : dir_(tqsftp_upload_lock(row)) {}
    UploadLock(const UploadLock &) = delete;
    UploadLock &operator=(const UploadLock &) = delete;
    ~UploadLock() { tqsftp_upload_unlock(dir_); }

private:
    int dir_;
};

// Rename and link (tqsftp_move.cpp): the host's operation and the label of
// its audit line.
struct MoveOp {
    int (*host)(const char *old_real, const char *new_real);
    const char *const *label;
    bool makes_link;
};
extern const MoveOp renaming, linking;

// What an area adds to a move.  refusal: why it is refused before the host
// is asked (an error number), or 0; the real paths may be NULL (memory ran
// out).  after: the move's result from the host's result r, with errno set
// for a negative one.
struct MoveRules {
    int (*refusal)(const tqsftp_access *area, const MoveOp &op,
                   const char *old_real, const char *new_real);
    int (*after)(const tqsftp_access *area, int r, const char *old_real,
                 const char *new_real);
};
extern const MoveRules area_moves;   // the guarded rename and link
extern const MoveRules store_moves;  // the profile store's (tqsftp_profile.cpp)

// Both paths in one area, neither held by a live upload, then the area's
// rules around the host's operation; one audit line.
int move(const MoveRules &rules, const MoveOp &op, const char *old_path,
         const char *new_path);

// True for a profile name: one or more letters, digits, '-' or '_', then
// ".xml", at most 32 characters in all (case-sensitive).
bool is_profile_name(const char *name);

}  // namespace tqsftp

#endif
