#include "doubles.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tqdevice/tqlog.h"
#include "tqdevice/tqprofile.h"
#include "tqdevice/tqupd.h"
#include "tqdevice/tqusrmgr.h"
#include "tqdevice/tqxml.h"

namespace tqtest {

Services services;
std::vector<std::string> actions;

namespace {

std::string text(const char *s) { return s ? s : "(null)"; }

std::string joined(std::string what, const Args &args)
{
    for (const std::string &a : args)
        what += " " + a;
    return what;
}

int service(const char *what, const Args &args = {}, const void *name = nullptr, int answer = 0)
{
    services.calls.push_back(joined(what, args));
    services.name = name;
    return answer;
}

int delayed(const char *what, const char *name, uint8_t param)
{
    return service(what, {text(name), std::to_string(param)}, name, services.delayed);
}

// A host operation: recorded; failed when the test says so or without a path, else real.
template <typename R, typename F>
R host_op(const char *slot, const Args &args, R failed, F real)
{
    host.calls.push_back(joined(slot, args));
    auto it = host.fail.find(slot);
    if (it == host.fail.end() && host.calls.back().find("(null)") == std::string::npos)
        return real();
    errno = it != host.fail.end() ? it->second : EFAULT;
    return failed;
}

#define PATH_OP(slot, real) host_op(#slot, {text(p)}, -1, [=] { return real; })
#define MOVE_OP(slot) host_op(#slot, {text(a), text(b)}, -1, [=] { return ::slot(a, b); })
int h_open(const char *p, int f, int m)
{
    host.opens.push_back({f, m});
    return PATH_OP(open, ::open(p, f, m));
}
int h_close(int fd)
{
    int r = ::close(fd), e = errno;  // a failing close still closes
    return host_op("close", {std::to_string(fd)}, -1, [=] { return errno = e, r; });
}
int h_stat(const char *p, struct stat64 *st) { return PATH_OP(stat, ::stat64(p, st)); }
ssize_t h_read(int fd, void *b, size_t n, int64_t off) { return ::pread(fd, b, n, off); }
ssize_t h_write(int fd, const void *b, size_t n, int64_t off) { return ::pwrite(fd, b, n, off); }
void *h_opendir(const char *p)
{
    return host_op("opendir", {text(p)}, (void *)nullptr, [=] { return (void *)::opendir(p); });
}
struct dirent64 *h_readdir(void *d) { return readdir64((DIR *)d); }
int h_mkdir(const char *p, int m) { return PATH_OP(mkdir, ::mkdir(p, m)); }
int h_rmdir(const char *p) { return PATH_OP(rmdir, ::rmdir(p)); }
int h_unlink(const char *p) { return PATH_OP(unlink, ::unlink(p)); }
int h_rename(const char *a, const char *b) { return MOVE_OP(rename); }
int h_link(const char *a, const char *b) { return MOVE_OP(link); }

long open_fds() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

}  // namespace

Host host{{}, {}, {}, {h_open, h_close, h_stat, h_read, h_write, h_opendir, h_readdir, h_mkdir,
                       h_rmdir, h_unlink, h_rename, h_link}};

void clear()
{
    services.log.clear();
    services.calls.clear();
    services.invalidations = 0;
    host.calls.clear();
    host.opens.clear();
    actions.clear();
}

Outcome run(const std::function<long()> &op)
{
    clear();
    errno = EINTR;
    long r = op();
    Outcome o{r, r < 0 ? errno : 0, host.calls, actions, {}};
    for (size_t i = 0; i < services.log.size(); i += 2)
        o.audits.push_back(services.log[i]);
    return o;
}

tqsftp_funcs *table(const std::string &client_path)
{
    return tqsftp_get_sftp_func_cb(client_path.c_str(), &host.table);
}

std::string act(int cmd, const std::string &a, const std::string &b)
{
    const char *names[] = {"start", "opened", "open-failed", "closed", "close-failed", "rename"};
    bool known = cmd >= TQSFTP_ACT_START && cmd <= TQSFTP_ACT_RENAME;
    return (known ? names[cmd] : "command " + std::to_string(cmd)) + " " + a + " " + b;
}

Audit line(int err, const char *label, const char *source, const char *target)
{
    Audit a{0x18000Au + (source ? 2 : 0) + (err ? 1 : 0), {label}};
    if (source)
        a.args.push_back(source);
    a.args.push_back(target);
    if (err)
        a.args.push_back(strerror(err));
    return a;
}

bool exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string &path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary) << data;
}

void GuardedTest::SetUp()
{
    table("/");
    fds_ = open_fds();
}

void GuardedTest::TearDown()
{
    EXPECT_EQ(tqsftp_state.files, nullptr) << "a registry record was left";
    EXPECT_EQ(open_fds(), fds_) << "a descriptor was left open";
}

}  // namespace tqtest

using namespace tqtest;

extern "C" {

#define TQ_SPY(kind)                                                                   \
    int __real_tqsftp_##kind##_action(int, const char *, const char *);                \
    int __wrap_tqsftp_##kind##_action(int cmd, const char *a, const char *b)           \
    {                                                                                  \
        int answer = __real_tqsftp_##kind##_action(cmd, a, b);                         \
        actions.push_back(act(cmd, text(a), text(b)));                                 \
        return answer;                                                                 \
    }
TQ_SPY(firmware)
TQ_SPY(sshKey)
TQ_SPY(https)
TQ_SPY(ldap)
TQ_SPY(vpn)
TQ_SPY(config)

int tqupd_busy(void) { return service("busy", {}, nullptr, services.busy); }
int tqupd_changeFilename(const char *name) { return service("changeFilename", {text(name)}, name); }
int tqupd_firmwareDelayed(const char *n, uint8_t p) { return delayed("firmwareDelayed", n, p); }
int tqupd_sshKeyDelayed(const char *n, uint8_t p) { return delayed("sshKeyDelayed", n, p); }
int tqupd_httpsCertDelayed(const char *n, uint8_t p) { return delayed("httpsCertDelayed", n, p); }
int tqupd_ldapCacertDelayed(const char *n, uint8_t p) { return delayed("ldapCacertDelayed", n, p); }
int tqupd_vpnCertDelayed(const char *n, uint8_t p) { return delayed("vpnCertDelayed", n, p); }
int tqupd_configDelayed(const char *n, uint8_t p) { return delayed("configDelayed", n, p); }

int tqlog_preInit(void) { return services.preinit++, 0; }

// An audit line is a pair of the same message, facility log audit then user, of severity
// error for a failure (odd ids), else notice.
int tqlog_throwMsg(const char *file, int, uint32_t id, int priority, int module, ...)
{
    bool second = services.log.size() % 2 != 0;
    bool ok = text(file) == "lib/tqsftp_main" && module == 24 &&
              priority == (id & 1 ? 107 : 109) - (second ? 96 : 0);
    Audit m{id, {}};
    va_list ap;
    va_start(ap, module);
    for (int type; m.args.size() < 8 && (type = va_arg(ap, int)) != TQLOG_ARG_END;) {
        int max = va_arg(ap, int);
        m.args.push_back(text(va_arg(ap, const char *)));
        ok &= type == TQLOG_ARG_STRING && max == 0x7FFFFFFF;
    }
    va_end(ap);
    EXPECT_TRUE(ok && (!second || services.log.back() == m)) << "a malformed audit message";
    services.log.push_back(std::move(m));
    errno = 99;  // the plug-in must not rely on the service keeping errno
    return static_cast<int>(services.log.size());
}

int tqusrMgr_GetForcePasswordStatus(int *status) { return *status = 0; }

int tq2FMProfileEntry_invalidateCache(int a, int b, int c)
{
    services.invalidations++;
    return service("invalidate", {std::to_string(a), std::to_string(b), std::to_string(c)});
}

// The converted form is the stored bytes behind a 4-byte header, so it is
// never the size of the stored file; it reaches the sink in pieces of 7.
int tqapi_xml_convert_compress_XMLData_by_Callback(int module, const char *path,
                                                   tqapi_xml_sink sink, void *context,
                                                   int mode, const char *tag)
{
    service("xml", {std::to_string(module), text(path), std::to_string(mode), text(tag)});
    if (services.xml_result != 0)
        return services.xml_result;
    if (!path || !exists(path) || sink(0, context, "XML:", 4) < 0)
        return 1;
    std::string data = read_file(path);
    for (size_t i = 0; i < data.size(); i += 7) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(7, data.size() - i));
        if (sink(0, context, &data[i], n) < 0)
            return 1;
    }
    return 0;
}

}  // extern "C"
