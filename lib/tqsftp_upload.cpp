// Upload handling: one control block per upload kind, the actions that the
// guarded operations call at fixed moments of a transfer, the hand-over of
// finished uploads to the update service, and the help files of the areas.
// Everything here works on the real file system through the C library.
//
// An upload into an upload folder belongs to the upload that created it, in
// whichever server process: the file is created exclusively and carries a
// mark, a second name (hard link) in a folder that no client reaches, which
// the upload holds with an exclusive flock on its own descriptor of the file.
// The mark is made first and the client's name linked to it, so there is no
// moment at which the upload's file exists unmarked.  A marked name that
// nobody holds is left over from a writer that is gone (killed) before its
// hand-over: it is removed when the next session starts, or when its name is
// next used.  The mark goes just before the hand-over; an unmarked file in an
// upload folder belongs to the update service and is never removed,
// truncated or replaced by a later upload.  Every check of a name and every
// change of it happens with the folder locked (flock on the folder itself).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tqdevice/tqupd.h"
#include "tqsftp_internal.h"

namespace {

// Whether a name fits a block whole; an absent name fits.
bool fits(const char *name)
{
    return name == nullptr || strlen(name) < TQSFTP_NAME_SIZE;
}

bool same_file(const struct stat64 &a, const struct stat64 &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

using Delayed = int (*)(const char *name, uint8_t param);

// One upload kind: its block, its service, the real folder of its row, where
// its uploads in progress are marked (none for profiles, which the profile
// store holds itself), and its ceiling.
struct Kind {
    tqsftp_ucb *ucb;
    Delayed install;
    const char *folder;
    const char *marks;
    uint64_t ceiling;
};

// The marks of every kind in one folder, each named by its kind and the
// upload's name ("firmware:x.bin"), so that a start reads one folder only.
constexpr const char *marks_root = "/tmp/.sftp-upload";

// The kinds' places in the table below; each kind's action names its own.
enum KindIndex { FIRMWARE, SSH_KEY, HTTPS_CERT, LDAP_CERT, VPN_CERT, CONFIG };

const Kind kinds[] = {
    {&tqsftp_firmware_ucb, tqupd_firmwareDelayed, "/tmp/sftp/upload/firmware/",
     "/tmp/.sftp-upload/firmware:", TQUPD_MAX_FIRMWARE},
    {&tqsftp_sshkey_ucb, tqupd_sshKeyDelayed, "/tmp/sftp/upload/ssh-key/",
     "/tmp/.sftp-upload/ssh-key:", TQUPD_MAX_CERT},
    {&tqsftp_https_ucb, tqupd_httpsCertDelayed, "/tmp/sftp/upload/https-cert/",
     "/tmp/.sftp-upload/https-cert:", TQUPD_MAX_CERT},
    {&tqsftp_ldap_ucb, tqupd_ldapCacertDelayed, "/tmp/sftp/upload/ldap-cert/",
     "/tmp/.sftp-upload/ldap-cert:", TQUPD_MAX_CERT},
    {&tqsftp_vpn_ucb, tqupd_vpnCertDelayed, "/tmp/sftp/upload/vpn-cert/",
     "/tmp/.sftp-upload/vpn-cert:", TQUPD_MAX_CERT},
    {&tqsftp_config_ucb, tqupd_configDelayed, "/flash/cfg/", nullptr,
     TQUPD_MAX_PROFILE},
};
constexpr int kind_count = sizeof kinds / sizeof kinds[0];
static_assert(kind_count == CONFIG + 1, "one row per kind, in the order of KindIndex");

// This process's upload of each kind (one at a time): its own descriptor of
// the file, which holds it until the hand-over is over; -1 when none.
int holds[kind_count] = {-1, -1, -1, -1, -1, -1};

const Kind *kind_of_row(const tqsftp_access *row)
{
    for (const Kind &k : kinds) {
        if (row != nullptr && row->path != nullptr && strcmp(row->path, k.folder) == 0)
            return &k;
    }
    return nullptr;
}

// The ceiling of a row's upload kind; none for any other row.
uint64_t ceiling_of(const tqsftp_access *row)
{
    const Kind *k = kind_of_row(row);
    return k != nullptr ? k->ceiling : UINT64_MAX;
}

int kind_index(const tqsftp_ucb *ucb)
{
    for (int i = 0; i < kind_count; i++) {
        if (kinds[i].ucb == ucb)
            return i;
    }
    return -1;
}

// The mark of a real path in the kind's folder: false when it does not fit.
bool mark_of(const Kind &k, const char *real, char (&mark)[2 * TQSFTP_NAME_SIZE])
{
    size_t n = strlen(k.folder);
    if (k.marks == nullptr || strncmp(real, k.folder, n) != 0)
        return false;
    return snprintf(mark, sizeof mark, "%s%s", k.marks, real + n) <
           static_cast<int>(sizeof mark);
}

// The folder of a kind, locked for one check-and-change of its names: the
// folder's descriptor, or -1.
int lock_folder(const Kind &k)
{
    int dir = open(k.folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    while (flock(dir, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(dir);
            return -1;
        }
    }
    return dir;
}

void unlock_folder(int dir)
{
    int saved = errno;
    if (dir >= 0)
        close(dir);
    errno = saved;
}

// What a name in an upload folder is, with the folder locked.  A leftover
// (marked, nobody holds it) is removed on the way, name and mark, when the
// name still leads to the marked file.
enum class Name { free, live, taken };

Name examine(const char *real, const char *mark)
{
    struct stat64 named;
    bool exists = lstat64(real, &named) == 0;
    int m = open(mark, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (m >= 0) {
        if (flock(m, LOCK_EX | LOCK_NB) != 0) {
            close(m);
            return Name::live;  // or a file system without locks: never taken
        }
        struct stat64 marked;
        if (exists && fstat64(m, &marked) == 0 && same_file(named, marked) &&
            unlink(real) == 0)
            exists = false;
        unlink(mark);
        close(m);
    }
    return exists ? Name::taken : Name::free;
}

// Removes what the upload of a kind created, the very file it holds and
// nothing else, mark and name, and lets it go.
void drop_upload(int i, const char *name)
{
    int &hold = holds[i];
    if (hold < 0)
        return;
    char mark[2 * TQSFTP_NAME_SIZE];
    int dir = lock_folder(kinds[i]);
    struct stat64 own, named;
    if (fstat64(hold, &own) == 0) {
        if (lstat64(name, &named) == 0 && same_file(own, named))
            unlink(name);
        if (mark_of(kinds[i], name, mark) && lstat64(mark, &named) == 0 &&
            same_file(own, named))
            unlink(mark);
    }
    unlock_folder(dir);
    close(hold);
    hold = -1;
}

// Removes what the upload wrote and nothing else.  A block with a temporary
// file names the store's own file beside it (a profile), which the upload
// never wrote: only the temporary file goes, which the store holds.  Any
// other upload is removed only when it is the file this process created.
void discard(tqsftp_ucb &ucb)
{
    if (ucb.temp_name[0] != '\0') {
        remove(ucb.temp_name);
        return;
    }
    int i = kind_index(&ucb);
    if (i >= 0)
        drop_upload(i, ucb.file_name);
}

// Clears the mark of the upload of a kind just before its hand-over: from
// now on the file is the update service's.
void clear_mark(int i, const char *name)
{
    char mark[2 * TQSFTP_NAME_SIZE];
    struct stat64 own, marked;
    if (holds[i] < 0 || !mark_of(kinds[i], name, mark))
        return;
    int dir = lock_folder(kinds[i]);
    if (fstat64(holds[i], &own) == 0 && lstat64(mark, &marked) == 0 &&
        same_file(own, marked))
        unlink(mark);
    unlock_folder(dir);
}

void let_go(int i)
{
    if (holds[i] >= 0) {
        int saved = errno;
        close(holds[i]);
        holds[i] = -1;
        errno = saved;
    }
}

// Creates the upload's file under the folder's lock: the mark first, held,
// then the client's name as a second name of it, then the host's open of
// that name, which must lead to the same file.  The host's descriptor, or -1
// with errno (EBUSY for a name that another upload or the service holds).
int create(int i, const char *real, const char *mark, int flags, int mode)
{
    Name state = examine(real, mark);
    if (state != Name::free) {
        errno = EBUSY;
        return -1;
    }
    if ((flags & O_CREAT) == 0) {
        errno = ENOENT;
        return -1;
    }
    // Writable by its owner until the host has opened it; the client's mode
    // is then given back.
    mode_t mask = umask(0);
    umask(mask);
    int own = open(mark, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   (mode | S_IWUSR) & 07777);
    if (own < 0)
        return -1;
    int fd = -1;
    struct stat64 mine, opened;
    if (flock(own, LOCK_EX | LOCK_NB) == 0 && link(mark, real) == 0) {
        fd = tqsftp::host_open(real, flags & ~(O_CREAT | O_EXCL | O_TRUNC), mode);
        if (fd >= 0 && (fstat64(own, &mine) != 0 || fstat64(fd, &opened) != 0 ||
                        !same_file(mine, opened))) {
            tqsftp::host_close(fd);
            fd = -1;
            errno = EBUSY;
        }
        if (fd < 0) {
            int e = errno;
            unlink(real);
            errno = e;
        }
    } else if (errno == EEXIST) {
        errno = EBUSY;
    }
    if (fd < 0) {
        int e = errno;
        unlink(mark);
        close(own);
        errno = e;
        return -1;
    }
    if ((mode & S_IWUSR) == 0)
        fchmod(own, mode & 07777 & ~mask);
    holds[i] = own;
    return fd;
}

// The kind whose marks a name in the marks folder belongs to, and the
// upload's name after the kind's part; nullptr for any other name.
const Kind *kind_of_mark(const char *entry, const char **name)
{
    size_t root = strlen(marks_root) + 1;
    for (const Kind &k : kinds) {
        if (k.marks == nullptr)
            continue;
        size_t n = strlen(k.marks) - root;
        if (strncmp(entry, k.marks + root, n) == 0) {
            *name = entry + n;
            return &k;
        }
    }
    return nullptr;
}

// Removes the leftovers of every kind: marked files that nobody holds.  Only
// the marks are read, so a start with nothing left over costs one empty
// listing.
void sweep_leftovers(void)
{
    DIR *d = opendir(marks_root);
    if (d == nullptr) {
        mkdir(marks_root, 0700);
        return;
    }
    while (struct dirent64 *e = readdir64(d)) {
        char real[TQSFTP_NAME_SIZE], mark[2 * TQSFTP_NAME_SIZE];
        const char *name = nullptr;
        if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || strcmp(e->d_name, "..") == 0))
            continue;
        const Kind *k = kind_of_mark(e->d_name, &name);
        if (k != nullptr &&
            snprintf(real, sizeof real, "%s%s", k->folder, name) < static_cast<int>(sizeof real) &&
            mark_of(*k, real, mark)) {
            int dir = lock_folder(*k);
            examine(real, mark);
            unlock_folder(dir);
        } else if (snprintf(mark, sizeof mark, "%s/%s", marks_root, e->d_name) <
                   static_cast<int>(sizeof mark)) {
            unlink(mark);  // names nothing an upload may have
        }
    }
    closedir(d);
}

}  // namespace

extern "C" {

tqsftp_ucb tqsftp_firmware_ucb = {
    2, {}, {},
    "/tmp/sftp/upload/firmware/help",
    "/tmp/sftp/upload/firmware/updating",
    "/tmp/sftp/upload/firmware/ok",
    "/tmp/sftp/upload/firmware/error",
    "To perform a firmware update, copy the new firmware into this directory.",
    "Update in progress (%u%%) - please wait.",
};

tqsftp_ucb tqsftp_sshkey_ucb = {
    2, {}, {},
    "/tmp/sftp/upload/ssh-key/help",
    nullptr,
    "/tmp/sftp/upload/ssh-key/ok",
    "/tmp/sftp/upload/ssh-key/error",
    "To install a SSH key, copy the key into this directory.",
    nullptr,
};

tqsftp_ucb tqsftp_https_ucb = {
    2, {}, {},
    "/tmp/sftp/upload/https-cert/help",
    nullptr,
    "/tmp/sftp/upload/https-cert/ok",
    "/tmp/sftp/upload/https-cert/error",
    "To install the HTTPS certificate, copy the certificate into this "
    "directory.",
    nullptr,
};

tqsftp_ucb tqsftp_ldap_ucb = {
    2, {}, {},
    "/tmp/sftp/upload/ldap-cert/help",
    nullptr,
    "/tmp/sftp/upload/ldap-cert/ok",
    "/tmp/sftp/upload/ldap-cert/error",
    "To install the LDAP CA certificate, copy the certificate into this "
    "directory.",
    nullptr,
};

tqsftp_ucb tqsftp_vpn_ucb = {
    2, {}, {},
    "/tmp/sftp/upload/vpn-cert/help",
    nullptr,
    "/tmp/sftp/upload/vpn-cert/ok",
    "/tmp/sftp/upload/vpn-cert/error",
    "To install a VPN certificate, copy the certificate, private key and any "
    "CA certificates in this folder. P12 files containing everything are also "
    "supported.\r\n\r\nWARNING:file uploaded to the device cannot be "
    "downloaded back!\r\n",
    nullptr,
};

tqsftp_ucb tqsftp_config_ucb = {
    2, {}, {},
    "/tmp/sftp/nv/cfg/help",
    "/tmp/sftp/nv/cfg/status",
    "/tmp/sftp/nv/cfg/ok",
    "/tmp/sftp/nv/cfg/error",
    "Configuration profiles may be copied to/from this directory.",
    "Operation in progress - please wait.",
};

int tqsftp_generic_action(int cmd, tqsftp_ucb *ucb, const char *a,
                          const char *b)
{
    if (ucb == nullptr)
        return -1;
    switch (cmd) {
    case TQSFTP_ACT_START:
        if (tqupd_busy() == 1)
            return -1;
        memset(ucb->file_name, 0, sizeof ucb->file_name);
        memset(ucb->temp_name, 0, sizeof ucb->temp_name);
        return 0;
    case TQSFTP_ACT_OPENED:
        // A cut name would name some other file: the block then names none.
        if (!fits(a) || !fits(b)) {
            memset(ucb->file_name, 0, sizeof ucb->file_name);
            memset(ucb->temp_name, 0, sizeof ucb->temp_name);
            errno = ENAMETOOLONG;
            return -1;
        }
        if (a != nullptr)
            strlcpy(ucb->file_name, a, sizeof ucb->file_name);
        if (b != nullptr)
            strlcpy(ucb->temp_name, b, sizeof ucb->temp_name);
        return 0;
    case TQSFTP_ACT_OPEN_FAILED:
    case TQSFTP_ACT_CLOSED:
        return 0;
    case TQSFTP_ACT_RENAME:
        if (a == nullptr || b == nullptr || strcmp(a, ucb->file_name) != 0)
            return -1;
        if (!fits(b)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        strlcpy(ucb->file_name, b, sizeof ucb->file_name);
        tqupd_changeFilename(ucb->file_name);
        return 0;
    default:
        // A failed close, or a command this protocol does not know: the
        // upload is not to be trusted, so it goes.
        discard(*ucb);
        return 0;
    }
}

}  // extern "C"

namespace {

// The part every kind shares: after the generic handling, a closed upload is
// handed to the update service, its mark cleared just before; one it refuses
// is removed.  The upload's hold goes once the hand-over is over.
int kind_action(int i, int cmd, const char *a, const char *b)
{
    tqsftp_ucb &ucb = *kinds[i].ucb;
    int r = tqsftp_generic_action(cmd, &ucb, a, b);
    if (r != 0 || cmd != TQSFTP_ACT_CLOSED)
        return r;
    clear_mark(i, ucb.file_name);
    if (kinds[i].install(ucb.file_name, static_cast<uint8_t>(ucb.upd_param)) == 1) {
        discard(ucb);
        r = -1;
    }
    let_go(i);
    return r;
}

}  // namespace

extern "C" {

int tqsftp_firmware_action(int cmd, const char *a, const char *b)
{
    return kind_action(FIRMWARE, cmd, a, b);
}

int tqsftp_sshKey_action(int cmd, const char *a, const char *b)
{
    return kind_action(SSH_KEY, cmd, a, b);
}

int tqsftp_https_action(int cmd, const char *a, const char *b)
{
    return kind_action(HTTPS_CERT, cmd, a, b);
}

int tqsftp_ldap_action(int cmd, const char *a, const char *b)
{
    return kind_action(LDAP_CERT, cmd, a, b);
}

int tqsftp_vpn_action(int cmd, const char *a, const char *b)
{
    return kind_action(VPN_CERT, cmd, a, b);
}

int tqsftp_config_action(int cmd, const char *a, const char *b)
{
    int r = kind_action(CONFIG, cmd, a, b);
    // Handed over or dropped: the store may let the temporary file go.
    if (cmd != TQSFTP_ACT_START && cmd != TQSFTP_ACT_OPENED &&
        cmd != TQSFTP_ACT_OPEN_FAILED && cmd != TQSFTP_ACT_RENAME)
        tqsftp_cfg_handed_over(cmd == TQSFTP_ACT_CLOSED && r == 0);
    return r;
}

// A plain file of its own (one link, no symbolic link) with the permission
// bits mode that holds exactly the n bytes of text.
static bool holds_text(const char *path, const char *text, size_t n, mode_t mode)
{
    char buf[256];
    if (n >= sizeof buf)
        return false;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                (st.st_mode & 07777) == mode && st.st_size == off_t(n) &&
                read(fd, buf, sizeof buf) == ssize_t(n) && memcmp(buf, text, n) == 0;
    close(fd);
    return same;
}

int tqsftp_writeTextFile(const char *path, const char *text, mode_t mode)
{
    size_t n = strlen(text);
    if (holds_text(path, text, n, mode))
        return 0;
    remove(path);  // a read-only help file is replaced, not refused
    int fd = open(path, O_RDWR | O_CREAT, mode);
    if (fd < 0)
        return -1;
    ssize_t w = write(fd, text, n);
    close(fd);
    return w == static_cast<ssize_t>(n) ? 0 : -1;
}

// Whether a help file is in place: a plain file of its own, read-only, of
// the size of its text.  Only the set-up writes help files and no client
// can, so one that looks so holds its text; every start finds them so, and
// a look costs one call where reading one costs four.
static bool help_in_place(const tqsftp_ucb &b)
{
    struct stat st;
    return lstat(b.help_path, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
           (st.st_mode & 07777) == 0440 && st.st_size == off_t(strlen(b.help_text));
}

// The scratch folders of the tree, parents first.  A folder on the path of
// a help file is proven by that file: a start that finds every help file in
// place makes only the folders that hold none.
struct Folder {
    const char *path;
    bool holds_help;
};

constexpr Folder folders[] = {
    {"/tmp/sftp", true},
    {"/tmp/sftp/nv", true},
    {"/tmp/sftp/nv/cfg", true},
    {"/tmp/sftp/usb", false},
    {"/tmp/sftp/sd", false},
    {"/tmp/sftp/upload", true},
    {"/tmp/sftp/upload/firmware", true},
    {"/tmp/sftp/upload/ssh-key", true},
    {"/tmp/sftp/upload/https-cert", true},
    {"/tmp/sftp/upload/ldap-cert", true},
    {"/tmp/sftp/upload/vpn-cert", true},
};

int tqsftp_upload_init(void)
{
    tqsftp_ucb *const blocks[] = {
        &tqsftp_firmware_ucb, &tqsftp_sshkey_ucb, &tqsftp_https_ucb,
        &tqsftp_ldap_ucb,     &tqsftp_vpn_ucb,    &tqsftp_config_ucb,
    };
    bool in_place = true;
    for (const tqsftp_ucb *b : blocks)
        in_place = in_place && help_in_place(*b);
    for (const Folder &f : folders) {
        if (!in_place || !f.holds_help)
            mkdir(f.path, 0770);
    }
    sweep_leftovers();
    if (in_place)
        return 0;
    for (tqsftp_ucb *b : blocks) {
        if (tqsftp_writeTextFile(b->help_path, b->help_text, 0440) != 0)
            return -1;
    }
    return 0;
}

int tqsftp_upload_admission(const tqsftp_access *row, const char *real,
                            int flags)
{
    if ((flags & O_ACCMODE) == O_RDONLY)
        // Reading creates nothing that would not be handed over.
        return (flags & (O_CREAT | O_TRUNC)) != 0 ? EPERM : 0;
    // The upload is known by its whole real path; a cut one names another.
    if (!fits(real))
        return ENAMETOOLONG;
    if (tqsftp_file_find_upload(row->action) != nullptr)
        return EBUSY;
    return 0;
}

int tqsftp_upload_past_ceiling(int fd, const tqsftp_access *row)
{
    uint64_t ceiling = ceiling_of(row);
    struct stat64 st;
    return ceiling != UINT64_MAX && fstat64(fd, &st) == 0 &&
           static_cast<uint64_t>(st.st_size) > ceiling;
}

ssize_t tqsftp_upload_write(int fd, const void *buf, size_t len, int64_t off)
{
    // The host's write, whatever its arguments mean to it, then the file's
    // real size: past the ceiling (by an append, a far offset, a size set on
    // the handle) it is cut back to the ceiling and the write fails.  The
    // whole upload then fails at close.
    ssize_t r = tqsftp::host_write(fd, buf, len, off);
    tqsftp_file *f = tqsftp_file_find(fd);
    if (f == nullptr || !f->written || !tqsftp_upload_past_ceiling(fd, f->access))
        return r;
    off64_t ceiling = static_cast<off64_t>(ceiling_of(f->access));
    while (ftruncate64(fd, ceiling) != 0 && errno == EINTR) {
    }
    f->saved_errno = EFBIG;
    errno = EFBIG;
    return -1;
}

int tqsftp_upload_create(const tqsftp_access *row, const char *real, int flags,
                         int mode)
{
    const Kind *k = kind_of_row(row);
    char mark[2 * TQSFTP_NAME_SIZE];
    if (k == nullptr || !mark_of(*k, real, mark)) {
        errno = EPERM;
        return -1;
    }
    int i = static_cast<int>(k - kinds);
    let_go(i);  // an earlier upload's, if its hand-over never came
    int dir = lock_folder(*k);
    if (dir < 0)
        return -1;
    int fd = create(i, real, mark, flags, mode);
    unlock_folder(dir);
    return fd;
}

int tqsftp_upload_lock(const tqsftp_access *row)
{
    const Kind *k = kind_of_row(row);
    return k != nullptr && k->marks != nullptr ? lock_folder(*k) : -1;
}

void tqsftp_upload_unlock(int dir)
{
    unlock_folder(dir);
}

int tqsftp_upload_busy(const tqsftp_access *row, const char *real)
{
    const Kind *k = kind_of_row(row);
    char mark[2 * TQSFTP_NAME_SIZE];
    if (k == nullptr || !mark_of(*k, real, mark))
        return 0;
    return examine(real, mark) == Name::live;
}

}  // extern "C"
