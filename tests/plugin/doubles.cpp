#include "doubles.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tqdevice/tqlog.h"
#include "tqdevice/tqprofile.h"
#include "tqdevice/tqupd.h"
#include "tqdevice/tqusrmgr.h"
#include "tqdevice/tqxml.h"

namespace tqtest {

Services services;
Host host;

namespace {

std::string text(const char *s) { return s ? s : "(null)"; }

void service(const std::string &what, std::vector<std::string> args = {})
{
    services.calls.push_back(Call{what, std::move(args)});
}

int delayed(const char *what, const char *name, uint8_t param)
{
    service(what, {text(name), std::to_string(param)});
    services.calls.back().name = name;
    return services.delayed;
}

// Records a host call and tells whether the test wants it to fail.
bool host_record(Call c)
{
    std::string slot = c.what;
    host.calls.push_back(std::move(c));
    auto it = host.fail.find(slot);
    if (it == host.fail.end())
        return false;
    errno = it->second;
    return true;
}

int h_open(const char *p, int flags, int mode)
{
    if (host_record(Call{"open", {text(p)}, flags, mode}))
        return -1;
    return p ? ::open(p, flags, mode) : (errno = EFAULT, -1);
}

int h_close(int fd)
{
    if (host_record(Call{"close", {std::to_string(fd)}})) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return ::close(fd);
}

int h_stat(const char *p, struct stat64 *st)
{
    if (host_record(Call{"stat", {text(p)}}))
        return -1;
    return p ? ::stat64(p, st) : (errno = EFAULT, -1);
}

ssize_t h_read(int fd, void *buf, size_t len, int64_t off)
{
    return ::pread(fd, buf, len, off);
}

ssize_t h_write(int fd, const void *buf, size_t len, int64_t off)
{
    return ::pwrite(fd, buf, len, off);
}

void *h_opendir(const char *p)
{
    if (host_record(Call{"opendir", {text(p)}}))
        return nullptr;
    return p ? ::opendir(p) : (errno = EFAULT, nullptr);
}

struct dirent64 *h_readdir(void *d)
{
    host.calls.push_back(Call{"readdir", {}});
    return ::readdir64(static_cast<DIR *>(d));
}

int h_mkdir(const char *p, int mode)
{
    if (host_record(Call{"mkdir", {text(p)}, 0, mode}))
        return -1;
    return p ? ::mkdir(p, mode) : (errno = EFAULT, -1);
}

int h_rmdir(const char *p)
{
    if (host_record(Call{"rmdir", {text(p)}}))
        return -1;
    return p ? ::rmdir(p) : (errno = EFAULT, -1);
}

int h_unlink(const char *p)
{
    if (host_record(Call{"unlink", {text(p)}}))
        return -1;
    return p ? ::unlink(p) : (errno = EFAULT, -1);
}

int h_rename(const char *a, const char *b)
{
    if (host_record(Call{"rename", {text(a), text(b)}}))
        return -1;
    return a && b ? ::rename(a, b) : (errno = EFAULT, -1);
}

int h_link(const char *a, const char *b)
{
    if (host_record(Call{"link", {text(a), text(b)}}))
        return -1;
    return a && b ? ::link(a, b) : (errno = EFAULT, -1);
}

}  // namespace

void clear()
{
    services.log.clear();
    services.calls.clear();
    services.invalidations = 0;
    host.calls.clear();
}

std::vector<Audit> audits()
{
    std::vector<Audit> out;
    for (size_t i = 0; i + 1 < services.log.size(); i += 2)
        out.push_back(Audit{services.log[i].id, services.log[i].args});
    return out;
}

std::vector<Call> host_calls(const std::string &slot)
{
    std::vector<Call> out;
    for (const Call &c : host.calls)
        if (c.what == slot)
            out.push_back(c);
    return out;
}

std::vector<Call> service_calls(const std::string &what)
{
    std::vector<Call> out;
    for (const Call &c : services.calls)
        if (c.what == what)
            out.push_back(c);
    return out;
}

void set_up()
{
    tqsftp_get_sftp_func_cb("/", &host.table);
    clear();
}

bool exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

void write_file(const std::string &path, const std::string &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

int open_fds()
{
    int n = 0;
    DIR *d = ::opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (struct dirent *e = ::readdir(d))
        if (e->d_name[0] != '.')
            n++;
    ::closedir(d);
    return n - 1;  // the listing's own descriptor
}

// The host's table, complete.
static struct HostInit {
    HostInit()
    {
        host.table = tqsftp_funcs{h_open,    h_close,   h_stat,  h_read,
                                  h_write,   h_opendir, h_readdir, h_mkdir,
                                  h_rmdir,   h_unlink,  h_rename, h_link};
    }
} host_init;

}  // namespace tqtest

using namespace tqtest;

extern "C" {

int tqupd_busy(void)
{
    service("busy");
    return services.busy;
}

int tqupd_changeFilename(const char *name)
{
    service("changeFilename", {text(name)});
    services.calls.back().name = name;
    return services.change_filename;
}

int tqupd_firmwareDelayed(const char *n, uint8_t p) { return delayed("firmwareDelayed", n, p); }
int tqupd_sshKeyDelayed(const char *n, uint8_t p) { return delayed("sshKeyDelayed", n, p); }
int tqupd_httpsCertDelayed(const char *n, uint8_t p) { return delayed("httpsCertDelayed", n, p); }
int tqupd_ldapCacertDelayed(const char *n, uint8_t p) { return delayed("ldapCacertDelayed", n, p); }
int tqupd_vpnCertDelayed(const char *n, uint8_t p) { return delayed("vpnCertDelayed", n, p); }
int tqupd_configDelayed(const char *n, uint8_t p) { return delayed("configDelayed", n, p); }

int tqlog_preInit(void)
{
    services.preinit++;
    if (services.on_preinit)
        services.on_preinit();
    return 0;
}

int tqlog_throwMsg(const char *file, int line, uint32_t id, int priority,
                   int module, ...)
{
    LogMessage m{text(file), line, id, priority, module, {}, true};
    va_list ap;
    va_start(ap, module);
    for (int i = 0; i < 8; i++) {  // more than any message carries
        int type = va_arg(ap, int);
        if (type == TQLOG_ARG_END)
            break;
        int max = va_arg(ap, int);
        const char *s = va_arg(ap, const char *);
        if (type != TQLOG_ARG_STRING || max != 0x7FFFFFFF)
            m.well_formed = false;
        m.args.push_back(text(s));
    }
    va_end(ap);
    services.log.push_back(std::move(m));
    errno = 99;  // the plug-in must not rely on the service keeping errno
    return static_cast<int>(services.log.size());
}

int tqusrMgr_GetForcePasswordStatus(int *status)
{
    service("forcePassword");
    services.force_password_seen = *status;
    if (services.force_password_errno != 0)
        errno = services.force_password_errno;
    *status = services.force_password_status;
    return services.force_password_result;
}

int tq2FMProfileEntry_invalidateCache(int a, int b, int c)
{
    service("invalidate", {std::to_string(a), std::to_string(b), std::to_string(c)});
    services.invalidations++;
    return 0;
}

int tqapi_xml_convert_compress_XMLData_by_Callback(int module, const char *path,
                                                   tqapi_xml_sink sink,
                                                   void *context, int mode,
                                                   const char *tag)
{
    services.xml_args = {std::to_string(module), text(path), std::to_string(mode),
                         text(tag)};
    service("xml", {text(path)});
    if (services.xml_result != 0)
        return services.xml_result;
    FILE *f = path ? fopen(path, "rb") : nullptr;
    if (!f)
        return 1;
    // The converted form is the stored bytes behind a 4-byte header, so it
    // is never the size of the stored file.
    int r = 0;
    if (sink(0, context, "XML:", 4) < 0)
        r = 1;
    std::vector<char> buf(services.xml_piece);
    size_t n;
    while (r == 0 && (n = fread(buf.data(), 1, buf.size(), f)) > 0) {
        if (sink(0, context, buf.data(), static_cast<uint32_t>(n)) < 0) {
            r = 1;
            break;
        }
    }
    fclose(f);
    return r;
}

}  // extern "C"
