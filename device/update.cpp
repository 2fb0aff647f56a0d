// The update service: busy flag, delayed installs of uploaded files, rename
// notices.  Profiles are installed by profile_install.cpp.
#include "update.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include "tqdevice/tqupd.h"
#include "files.h"

namespace tqdev
{

namespace
{

constexpr const char *busy_flag = "/var/lib/tqupd/busy";
constexpr const char *jobs_path = "/var/lib/tqupd/jobs";

std::string area_file(const UpdKind &kind, const char *name)
{
    return std::string(kind.area) + "/" + name;
}

} // namespace

int upd_append_job(const char *kind, const std::string &name,
                   const std::string &size, const std::string &param)
{
    if (make_dirs(upd_state_dir, 0755) < 0)
        return -1;
    return append_text(jobs_path, utc_time(false) + " " + kind + " " +
                                      escape(name, " ") + " " + size + " " +
                                      param + "\n");
}

// A missing area folder only costs the client its report; the outcome of
// the install does not depend on it.
void upd_report_ok(const UpdKind &kind, const std::string &text)
{
    replace_file(area_file(kind, "ok"), text + "\n");
    ::unlink(area_file(kind, "error").c_str());
}

int upd_refuse(const UpdKind &kind, const std::string &name,
               const std::string &reason)
{
    std::string who = name.empty() ? "" : escape(name) + ": ";
    replace_file(area_file(kind, "error"), who + "refused: " + reason + "\n");
    ::unlink(area_file(kind, "ok").c_str());
    return 1;
}

std::string upd_unfit(const struct stat &st, uint64_t max_size,
                      const std::string &what)
{
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (st.st_size == 0)
        return what + " is empty";
    if (static_cast<uint64_t>(st.st_size) > max_size)
        return what + " is too large: " + std::to_string(st.st_size) +
               " bytes, at most " + std::to_string(max_size);
    return "";
}

namespace
{

constexpr UpdKind firmware = {"firmware", "/tmp/sftp/upload/firmware",
                              TQUPD_MAX_FIRMWARE};
constexpr UpdKind ssh_key = {"ssh-key", "/tmp/sftp/upload/ssh-key",
                             TQUPD_MAX_CERT};
constexpr UpdKind https_cert = {"https-cert", "/tmp/sftp/upload/https-cert",
                                TQUPD_MAX_CERT};
constexpr UpdKind ldap_cert = {"ldap-cert", "/tmp/sftp/upload/ldap-cert",
                               TQUPD_MAX_CERT};
constexpr UpdKind vpn_cert = {"vpn-cert", "/tmp/sftp/upload/vpn-cert",
                              TQUPD_MAX_CERT};

// An upload opened by its name in its area: the area folder, the file,
// and what the file was when it was opened.
struct Upload {
    Fd area;
    Fd file;
    std::string base;
    struct stat st;
};

bool same_file(int dir, const std::string &name, const struct stat &st)
{
    struct stat now;
    return ::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

// Copies the upload into a new file of the state folder under its name, no
// more than max_size bytes, then removes the upload's name: the move across
// file systems.  0, or -1 with errno and nothing left behind.
int copy_in(Upload &up, int state, const std::string &dir, uint64_t max_size)
{
    std::string part;
    Fd out(make_scratch(dir, part));
    if (!out)
        return -1;
    std::string buf(io_chunk, '\0');
    uint64_t total = 0;
    ssize_t n;
    while ((n = read_some(up.file.get(), buf.data(), buf.size())) > 0) {
        total += static_cast<uint64_t>(n);
        if (total > max_size) {
            errno = EFBIG;
            break;
        }
        if (write_all(out.get(), buf.data(), static_cast<size_t>(n)) < 0)
            break;
    }
    if (n != 0 || ::fsync(out.get()) < 0 || out.close() < 0 ||
        ::renameat(state, base_name(part).c_str(), state, up.base.c_str()) <
            0) {
        int saved = errno;
        ::unlink(part.c_str());
        errno = saved;
        return -1;
    }
    if (same_file(up.area.get(), up.base, up.st))
        ::unlinkat(up.area.get(), up.base.c_str(), 0);
    return 0;
}

// Moves the upload into the kind's state folder, replacing a waiting file
// of the same name: renamed where it can be, else copied.  0, 1 when the
// name no longer held the file that was checked, or -1 with errno.
int move_in(Upload &up, const UpdKind &kind)
{
    std::string dir = std::string(upd_state_dir) + "/" + kind.name;
    if (make_dirs(dir, 0755) < 0)
        return -1;
    Fd state(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!state)
        return -1;
    const char *base = up.base.c_str();
    if (::renameat(up.area.get(), base, state.get(), base) < 0)
        return errno == EXDEV ? copy_in(up, state.get(), dir, kind.max_size)
                              : -1;
    if (same_file(state.get(), up.base, up.st))
        return 0;
    ::unlinkat(state.get(), base, 0);
    return 1;
}

// Opens the file that name gives, but only a file right in the kind's area
// and never through a symbolic link: "", or why it cannot be taken.
std::string open_upload(const UpdKind &kind, const std::string &name,
                        Upload &up)
{
    up.base = base_name(name);
    if (up.base.empty() || up.base == "." || up.base == "..")
        return "no file named";
    if (name != std::string(kind.area) + "/" + up.base)
        return std::string("not a file of ") + kind.area;
    up.area.reset(::open(kind.area, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (up.area)
        up.file.reset(::openat(up.area.get(), up.base.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!up.file || ::fstat(up.file.get(), &up.st) < 0) {
        if (errno == ENOENT)
            return "the file does not exist";
        return errno == ELOOP ? "not a regular file"
                              : "cannot read the file: " + error_text(errno);
    }
    return upd_unfit(up.st, kind.max_size, "the file");
}

// Takes the uploaded file at name into the kind's folder for a later
// install: 0, or 1 when refused.
int store_upload(const UpdKind &kind, const char *name, uint8_t param)
{
    Upload up;
    std::string why = open_upload(kind, name != nullptr ? name : "", up);
    if (!why.empty())
        return upd_refuse(kind, up.base, why);
    int moved = move_in(up, kind);
    if (moved != 0)
        return upd_refuse(kind, up.base,
                          moved > 0 ? "the file changed while it was stored"
                                    : "cannot store the file: " +
                                          error_text(errno));
    std::string size = std::to_string(up.st.st_size);
    if (upd_append_job(kind.name, up.base, size, std::to_string(param)) < 0) {
        std::string reason = "cannot record the job: " + error_text(errno);
        ::unlink((std::string(upd_state_dir) + "/" + kind.name + "/" + up.base)
                     .c_str());
        return upd_refuse(kind, up.base, reason);
    }
    upd_report_ok(kind, escape(up.base) + ": accepted, " + size +
                            " bytes, install pending");
    return 0;
}

int delayed(const UpdKind &kind, const char *name, uint8_t param)
{
    return guarded(1, [&] { return store_upload(kind, name, param); });
}

} // namespace

} // namespace tqdev

using tqdev::delayed;

TQDEVICE_API int tqupd_busy(void)
{
    struct stat st;
    return ::stat(tqdev::busy_flag, &st) == 0 ? 1 : 0;
}

TQDEVICE_API int tqupd_changeFilename(const char *name)
{
    if (name == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return tqdev::guarded(
        -1, [&] { return tqdev::upd_append_job("rename", name, "-", "-"); });
}

TQDEVICE_API int tqupd_firmwareDelayed(const char *name, uint8_t param)
{
    return delayed(tqdev::firmware, name, param);
}

TQDEVICE_API int tqupd_sshKeyDelayed(const char *name, uint8_t param)
{
    return delayed(tqdev::ssh_key, name, param);
}

TQDEVICE_API int tqupd_httpsCertDelayed(const char *name, uint8_t param)
{
    return delayed(tqdev::https_cert, name, param);
}

TQDEVICE_API int tqupd_ldapCacertDelayed(const char *name, uint8_t param)
{
    return delayed(tqdev::ldap_cert, name, param);
}

TQDEVICE_API int tqupd_vpnCertDelayed(const char *name, uint8_t param)
{
    return delayed(tqdev::vpn_cert, name, param);
}
