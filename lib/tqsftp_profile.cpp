// The configuration profile store "/nv/cfg" (real folder "/flash/cfg"):
// profiles download as their compressed XML form through one temporary file,
// uploads go through that file to the update service, stat shows the size a
// download delivers (or, to the session that just uploaded a profile, the
// size it wrote), the current profile cannot be deleted, renamed or
// replaced, only profiles are written or moved, and the listing ends in the
// store's help, status, ok and error entries.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "tqdevice/tqxml.h"
#include "tqsftp_internal.h"

using tqsftp::open_failed;

namespace {

// The one temporary file of every profile transfer; created exclusively, so
// it admits one transfer at a time across every process of the device.
constexpr const char *temp_file = "/ramdisk/lighty.tmp";
constexpr const char *marker_file = "/flash/cfg/profile.cur";
constexpr const char *default_profile = "config.xml";
// The marker's first word, at most this many characters, names the current
// profile; its file name adds the extension.
#define MARKER_WORD_MAX 49
#define STRINGIFY(x) #x
#define WIDTH(x) STRINGIFY(x)
constexpr const char *marker_word_format = "%" WIDTH(MARKER_WORD_MAX) "s";
constexpr char profile_extension[] = ".xml";
using ProfileFileName = char[MARKER_WORD_MAX + sizeof profile_extension];

int convert(const char *real_path, tqapi_xml_sink sink, void *context)
{
    return tqapi_xml_convert_compress_XMLData_by_Callback(24, real_path, sink,
                                                          context, 2,
                                                          "CompressedData");
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

// The temporary file is held by the transfer that made it: an exclusive
// flock on its open file, which goes with the last descriptor of that open,
// also when the process dies.  A file that nobody holds is left over from a
// transfer that ended without removing it, and the next transfer removes it.
// One held by a live transfer is waited for, a bounded time.
constexpr long temp_wait_ms = 5000;
constexpr long temp_poll_ms = 20;

// The upload's own hold on the temporary file, a second descriptor of its
// open: it outlives the host's close until the hand-over is over.
int handed_over_hold = -1;

long now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

void pause_poll()
{
    struct timespec t = {0, temp_poll_ms * 1000000};
    nanosleep(&t, nullptr);
}

bool same_file(const struct stat64 &a, const struct stat64 &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the name still leads to the file open on fd.
bool still_named(int fd)
{
    struct stat64 open_file, named;
    return fstat64(fd, &open_file) == 0 && stat64(temp_file, &named) == 0 &&
           same_file(open_file, named);
}

// Takes the hold on a temporary file this transfer has just created.  A
// transfer that took it for a stale one may hold it for a moment, and may
// have removed it: then false.  A file system without locks leaves the file
// unheld, and then no other transfer takes it for stale either.
bool hold(int fd, long deadline)
{
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return true;
        if (now_ms() >= deadline)
            return false;
        pause_poll();
    }
    return still_named(fd);
}

// Removes the temporary file when no transfer holds it.  The hold is taken
// before the name is checked and removed, so what goes is the very file found
// unheld, never one that another transfer has just created in its place.
// True when the name is free for another try.
bool remove_if_stale()
{
    int fd = open(temp_file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    bool freed = false;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        struct stat64 open_file, named;
        if (fstat64(fd, &open_file) == 0 && stat64(temp_file, &named) == 0)
            freed = !same_file(open_file, named) || unlink(temp_file) == 0;
        else
            freed = errno == ENOENT;
    }
    close(fd);
    return freed;
}

// Creates the temporary file exclusively through the host and holds it: the
// descriptor, or the host's negative result.
int create_temp(int flags, int mode)
{
    long deadline = now_ms() + temp_wait_ms;
    for (;;) {
        int fd = tqsftp::host_open(temp_file, flags | O_CREAT | O_EXCL, mode);
        bool retry_now = false;
        if (fd >= 0) {
            if (hold(fd, deadline))
                return fd;
            tqsftp::host_close(fd);
            fd = -1;
            errno = EEXIST;
            retry_now = true;
        } else if (errno == EEXIST) {
            retry_now = remove_if_stale();
        } else {
            return fd;
        }
        if (now_ms() >= deadline)
            return fd;
        if (!retry_now)
            pause_poll();
    }
}

// A descriptor of the C library's, closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        int saved = errno;
        if (fd_ >= 0)
            close(fd_);
        errno = saved;
    }
    int *ptr() { return &fd_; }

private:
    int fd_;
};

// A download: the converted profile is written into the temporary file,
// which is reopened for the client and loses its name while it stays open.
// The writing descriptor holds the file until its name is gone.
int download(const tqsftp_access *entry, const char *real_path,
             const char *client_path, int flags, int mode)
{
    // This session's own open upload holds the file until it is closed:
    // waiting for it could only end in the same refusal.
    bool own_upload = entry->action != nullptr &&
                      tqsftp_file_find_upload(entry->action) != nullptr;
    int written = own_upload ? -1 : create_temp(O_WRONLY, mode);
    if (written < 0) {
        open_failed(EPERM, client_path);  // another transfer holds it
        return written;
    }
    Fd holder(written);
    if (convert(real_path, tqsftp_fdwrite_cb, holder.ptr()) != 0) {
        remove(temp_file);
        return open_failed(EIO, client_path);
    }
    // The reopen only reads what was just converted: truncating would empty it.
    int fd = tqsftp::host_open(temp_file, flags & ~(O_CREAT | O_EXCL | O_TRUNC), mode);
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

// The name under which the store knows a client path in its folder: the
// normalised path with the folder spelled as the store spells it, so every
// spelling of one profile ("/NV/cfg/./a.xml") gives one name ("/nv/cfg/a.xml").
// False when it does not fit a name of the upload control block.
bool store_name(const tqsftp_access *entry, const char *real_path,
                char (&name)[TQSFTP_NAME_SIZE])
{
    const char *rest = real_path + strlen(entry->path);
    size_t prefix = strlen(entry->prefix);
    if (prefix + strlen(rest) >= sizeof name)
        return false;
    memcpy(name, entry->prefix, prefix);
    strcpy(name + prefix, rest);
    return true;
}

// The profile this session handed over last: its store name, the stored
// file as it was right after the hand-over, and the size the client wrote.
// Clients check an upload by its size (paramiko's confirm, rclone), and the
// stored form's size differs from what they sent; so stat answers the size
// written while the stored file is still that very file (no session has
// replaced or changed it since) and until this session writes, deletes or
// moves the name.  A download leaves it: a client that sets the upload's
// time afterwards (rclone) has the server open the name for reading.
struct Handed {
    char name[TQSFTP_NAME_SIZE];  // empty: nothing remembered
    struct stat64 stored;
    off64_t written;
};
Handed handed;

bool same_time(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool unchanged(const struct stat64 &now, const struct stat64 &then)
{
    return same_file(now, then) && now.st_size == then.st_size &&
           same_time(now.st_mtim, then.st_mtim) && same_time(now.st_ctim, then.st_ctim);
}

void remember(const char *name, int written_fd)
{
    handed.name[0] = '\0';
    tqsftp::RealPath real;
    tqsftp_resolve(name, real.out());
    struct stat64 written;
    if (!real || fstat64(written_fd, &written) != 0 ||
        tqsftp::host_stat(real.get(), &handed.stored) != 0 ||
        (handed.stored.st_mode & S_IFMT) != S_IFREG)
        return;
    handed.written = written.st_size;
    strlcpy(handed.name, name, sizeof handed.name);
}

void forget(const tqsftp_access *entry, const char *real_path)
{
    char name[TQSFTP_NAME_SIZE];
    if (store_name(entry, real_path, name) && strcmp(name, handed.name) == 0)
        handed.name[0] = '\0';
}

// The size stat shows of a stored profile: the size written, for the one
// this session handed over while it is unchanged, else the converted form's.
off64_t shown_size(const tqsftp_access *entry, const char *real_path,
                   const struct stat64 &st)
{
    char name[TQSFTP_NAME_SIZE];
    if (store_name(entry, real_path, name) && strcmp(name, handed.name) == 0 &&
        unchanged(st, handed.stored))
        return handed.written;
    uint32_t count = 0;
    if (convert(real_path, tqsftp_count_cb, &count) != 0)
        return st.st_size;
    return static_cast<off64_t>(static_cast<uint64_t>(count));
}

// An upload: the client writes into the temporary file; the configuration
// action hands it to the update service when the client closes it.  Nothing
// is created in the store itself.
int upload(const tqsftp_access *entry, const char *real_path,
           const char *client_path, int flags, int mode)
{
    char name[TQSFTP_NAME_SIZE];
    if (!store_name(entry, real_path, name))
        return open_failed(ENAMETOOLONG, client_path);
    // Refused at once, so that a client saving through a temporary name
    // (".giosave...", "name.xml.part") falls back to writing the profile.
    if (!tqsftp::is_profile_name(real_path + strlen(entry->path)))
        return open_failed(EPERM, client_path);
    // One profile upload at a time: the next one's start would forget it.
    if (entry->action != nullptr && tqsftp_file_find_upload(entry->action) != nullptr)
        return open_failed(EBUSY, client_path);
    if (entry->action != nullptr &&
        entry->action(TQSFTP_ACT_START, nullptr, nullptr) != 0)
        return open_failed(EPERM, client_path);
    tqsftp_file *f = tqsftp_file_add(-1, entry, real_path, client_path, 1);
    if (f == nullptr)
        return open_failed(ENOMEM, client_path);
    int fd = create_temp(flags, mode);
    if (fd < 0) {
        tqsftp_file_remove(f);
        open_failed(EPERM, client_path);
        return fd;
    }
    tqsftp_cfg_handed_over(0);  // an earlier upload's hold, if still there
    handed_over_hold = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (entry->action != nullptr)
        entry->action(TQSFTP_ACT_OPENED, name, temp_file);
    f->fd = fd;
    return fd;
}

// The current profile's file name: the first word of the marker file and
// ".xml", or "config.xml" while there is no marker.  False when the marker
// exists but cannot be opened or read: a marker that is a folder opens with
// the C library but fails at the first read, and then no profile can be
// told apart from the current one.  An empty marker names ".xml".
bool current_profile(ProfileFileName &name)
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
    bool read = fscanf(f, marker_word_format, name) == 1 || !ferror(f);
    fclose(f);
    if (!read)
        return false;
    strlcat(name, profile_extension, sizeof name);
    return true;
}

const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Why a move within the store is refused before the host is asked: a path
// left without its real path (memory ran out), a source or target that is no
// profile name directly in the folder (the update service's scratch files),
// or the current profile as either (any move while it cannot be told apart).
int store_refusal(const tqsftp_access *store, const tqsftp::MoveOp &,
                  const char *old_real, const char *new_real)
{
    if (old_real == nullptr || new_real == nullptr)
        return ENOMEM;
    ProfileFileName current;
    bool refused = !tqsftp::is_profile_name(old_real + strlen(store->path)) ||
                   !tqsftp::is_profile_name(new_real + strlen(store->path)) ||
                   !current_profile(current) ||
                   strcmp(base_name(old_real), current) == 0 ||
                   strcmp(base_name(new_real), current) == 0;
    return refused ? EPERM : 0;
}

// Both names are used again; a move the file system refuses is offered to
// the upload action, which renames a pending upload not stored yet, and
// whose answer becomes the result.
int store_after(const tqsftp_access *store, int r, const char *old_real,
                const char *new_real)
{
    forget(store, old_real);
    forget(store, new_real);
    char old_name[TQSFTP_NAME_SIZE], new_name[TQSFTP_NAME_SIZE];
    if (r < 0 && store->action != nullptr && store_name(store, old_real, old_name) &&
        store_name(store, new_real, new_name)) {
        int e = errno;
        r = store->action(TQSFTP_ACT_RENAME, old_name, new_name);
        if (r < 0)
            errno = e;
    }
    return r;
}

}  // namespace

const tqsftp::MoveRules tqsftp::store_moves = {store_refusal, store_after};

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
    forget(entry, real.get());  // the name is written again
    return upload(entry, real.get(), client_path, flags, mode);
}

int tqsftp_cfg_stat(const char *client_path, struct stat64 *st)
{
    tqsftp::RealPath real;
    const tqsftp_access *entry = tqsftp_resolve(client_path, real.out());
    if (!real) {
        errno = ENOMEM;
        return -1;
    }
    int r = tqsftp::host_stat(real.get(), st);
    if (r == 0) {
        if ((st->st_mode & S_IFMT) == S_IFREG)
            st->st_size = shown_size(entry, real.get(), *st);
        return 0;
    }
    // An upload that is not stored yet is seen as its temporary file.
    char name[TQSFTP_NAME_SIZE];
    if (store_name(entry, real.get(), name) &&
        strcmp(name, tqsftp_config_ucb.file_name) == 0)
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
    const tqsftp_access *entry = tqsftp_resolve(client_path, real.out());
    if (!real)
        return unresolved(cmd_unlink, nullptr, client_path);
    // The name is taken from the resolved real path, so no spelling of the
    // current profile's path ("x.xml/", "x.xml/.", "../cfg/x.xml") slips by.
    ProfileFileName current;
    if (!current_profile(current) || strcmp(base_name(real.get()), current) == 0) {
        errno = EPERM;
        tqsftp_log(EPERM, cmd_unlink, nullptr, client_path);
        return -1;
    }
    forget(entry, real.get());
    int r = tqsftp::host_unlink(real.get());
    int e = r < 0 ? errno : 0;
    tqsftp_invalidate_profiles();
    tqsftp_log(e, cmd_unlink, nullptr, client_path);
    if (r < 0)
        errno = e;
    return r;
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

void tqsftp_cfg_handed_over(int stored)
{
    int saved = errno;
    if (handed_over_hold >= 0) {
        if (stored)
            remember(tqsftp_config_ucb.file_name, handed_over_hold);
        close(handed_over_hold);
        handed_over_hold = -1;
    }
    // The upload's name ends with it: later calls find only what is stored.
    memset(tqsftp_config_ucb.file_name, 0, sizeof tqsftp_config_ucb.file_name);
    memset(tqsftp_config_ucb.temp_name, 0, sizeof tqsftp_config_ucb.temp_name);
    errno = saved;
}

int tqsftp_cfg_rename(const char *old_path, const char *new_path)
{
    return tqsftp::move(tqsftp::store_moves, tqsftp::renaming, old_path, new_path);
}

int tqsftp_cfg_link(const char *old_path, const char *new_path)
{
    return tqsftp::move(tqsftp::store_moves, tqsftp::linking, old_path, new_path);
}

}  // extern "C"
