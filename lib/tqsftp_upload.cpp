// Upload handling: one control block per upload kind, the actions that the
// guarded operations call at fixed moments of a transfer, the hand-over of
// finished uploads to the update service, and the help files of the areas.
// Everything here works on the real file system through the C library.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
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

// Removes what the upload wrote and nothing else.  A block with a temporary
// file names the store's own file beside it (a profile), which the upload
// never wrote: only the temporary file goes.
void discard(const tqsftp_ucb &ucb)
{
    const char *written = ucb.temp_name[0] != '\0' ? ucb.temp_name : ucb.file_name;
    if (written[0] != '\0')
        remove(written);
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

using Delayed = int (*)(const char *name, uint8_t param);

// The part every kind shares: after the generic handling, a closed upload is
// handed to the update service; one it refuses is removed.
int kind_action(tqsftp_ucb &ucb, Delayed install, int cmd, const char *a,
                const char *b)
{
    int r = tqsftp_generic_action(cmd, &ucb, a, b);
    if (r != 0)
        return r;
    if (cmd != TQSFTP_ACT_CLOSED)
        return 0;
    if (install(ucb.file_name, static_cast<uint8_t>(ucb.upd_param)) != 1)
        return 0;
    discard(ucb);
    return -1;
}

}  // namespace

extern "C" {

int tqsftp_firmware_action(int cmd, const char *a, const char *b)
{
    return kind_action(tqsftp_firmware_ucb, tqupd_firmwareDelayed, cmd, a, b);
}

int tqsftp_sshKey_action(int cmd, const char *a, const char *b)
{
    return kind_action(tqsftp_sshkey_ucb, tqupd_sshKeyDelayed, cmd, a, b);
}

int tqsftp_https_action(int cmd, const char *a, const char *b)
{
    return kind_action(tqsftp_https_ucb, tqupd_httpsCertDelayed, cmd, a, b);
}

int tqsftp_ldap_action(int cmd, const char *a, const char *b)
{
    return kind_action(tqsftp_ldap_ucb, tqupd_ldapCacertDelayed, cmd, a, b);
}

int tqsftp_vpn_action(int cmd, const char *a, const char *b)
{
    return kind_action(tqsftp_vpn_ucb, tqupd_vpnCertDelayed, cmd, a, b);
}

int tqsftp_config_action(int cmd, const char *a, const char *b)
{
    int r = kind_action(tqsftp_config_ucb, tqupd_configDelayed, cmd, a, b);
    // Handed over or dropped: the store may let the temporary file go.
    if (cmd != TQSFTP_ACT_START && cmd != TQSFTP_ACT_OPENED &&
        cmd != TQSFTP_ACT_OPEN_FAILED && cmd != TQSFTP_ACT_RENAME)
        tqsftp_cfg_handed_over();
    return r;
}

// A plain file of its own (one link, no symbolic link) with the permission
// bits mode that holds exactly the n bytes of text.  Every session's set-up
// finds its help files so: reading them costs a fraction of making them anew.
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

int tqsftp_upload_init(void)
{
    static constexpr const char *folders[] = {
        "/tmp/sftp/upload",           "/tmp/sftp/upload/firmware",
        "/tmp/sftp/upload/ssh-key",   "/tmp/sftp/upload/https-cert",
        "/tmp/sftp/upload/ldap-cert", "/tmp/sftp/upload/vpn-cert",
    };
    for (const char *f : folders)
        mkdir(f, 0770);

    tqsftp_ucb *const blocks[] = {
        &tqsftp_firmware_ucb, &tqsftp_sshkey_ucb, &tqsftp_https_ucb,
        &tqsftp_ldap_ucb,     &tqsftp_vpn_ucb,    &tqsftp_config_ucb,
    };
    for (tqsftp_ucb *b : blocks) {
        if (tqsftp_writeTextFile(b->help_path, b->help_text, 0440) != 0)
            return -1;
    }
    return 0;
}

}  // extern "C"
