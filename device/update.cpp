// The update service: busy flag, delayed installs of uploaded files, rename
// notices.  Profiles are installed by config.cpp.
#include "update.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include "tqdevice/tqupd.h"
#include "util.h"

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

namespace
{

constexpr UpdKind firmware = {"firmware", "/tmp/sftp/upload/firmware"};
constexpr UpdKind ssh_key = {"ssh-key", "/tmp/sftp/upload/ssh-key"};
constexpr UpdKind https_cert = {"https-cert", "/tmp/sftp/upload/https-cert"};
constexpr UpdKind ldap_cert = {"ldap-cert", "/tmp/sftp/upload/ldap-cert"};
constexpr UpdKind vpn_cert = {"vpn-cert", "/tmp/sftp/upload/vpn-cert"};

// Copies from into a new file to, then removes from: the move across file
// systems.  0, or -1 with errno and nothing left at to.
int copy_then_remove(const std::string &from, const std::string &to)
{
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in)
        return -1;
    std::string part = to + ".part";
    Fd out(
        ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out)
        return -1;
    std::string buf(io_chunk, '\0');
    ssize_t n;
    while ((n = read_some(in.get(), buf.data(), buf.size())) > 0)
        if (write_all(out.get(), buf.data(), static_cast<size_t>(n)) < 0)
            break;
    if (n != 0 || ::fsync(out.get()) < 0 || out.close() < 0 ||
        ::rename(part.c_str(), to.c_str()) < 0) {
        int saved = errno;
        ::unlink(part.c_str());
        errno = saved;
        return -1;
    }
    ::unlink(from.c_str());
    return 0;
}

int move_file(const std::string &from, const std::string &to)
{
    if (::rename(from.c_str(), to.c_str()) == 0)
        return 0;
    return errno == EXDEV ? copy_then_remove(from, to) : -1;
}

// Why the uploaded file cannot be taken, given the result of its stat, or ""
// when it can.
std::string unfit(int found, const struct stat &st)
{
    if (found < 0)
        return errno == ENOENT ? "the file does not exist"
                               : "cannot read the file: " + error_text(errno);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (st.st_size == 0)
        return "the file is empty";
    return "";
}

// Takes the uploaded file at name into the kind's folder for a later
// install: 0, or 1 when refused.
int store_upload(const UpdKind &kind, const char *name, uint8_t param)
{
    std::string path = name != nullptr ? name : "";
    std::string base = base_name(path);
    if (base.empty() || base == "." || base == "..")
        return upd_refuse(kind, base, "no file named");
    struct stat st;
    int found = ::stat(path.c_str(), &st);
    std::string why = unfit(found, st);
    if (!why.empty())
        return upd_refuse(kind, base, why);

    std::string dir = std::string(upd_state_dir) + "/" + kind.name;
    std::string dest = dir + "/" + base;
    if (make_dirs(dir, 0755) < 0 || move_file(path, dest) < 0)
        return upd_refuse(kind, base,
                          "cannot store the file: " + error_text(errno));
    std::string size = std::to_string(st.st_size);
    if (upd_append_job(kind.name, base, size, std::to_string(param)) < 0) {
        std::string reason = "cannot record the job: " + error_text(errno);
        ::unlink(dest.c_str());
        return upd_refuse(kind, base, reason);
    }
    upd_report_ok(kind, escape(base) + ": accepted, " + size +
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
