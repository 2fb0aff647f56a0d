// One SFTP session per input (the client's bytes) with the real plug-in and
// services, in a device root reset before each input, with the plug-in's
// upload blocks as a new server process finds them.  Afterwards: no reply
// exceeded the packet limit; nothing outside the writable areas (below the
// media's top, the services' state and log, ok/error/status files, profile
// names in the store) was created, changed or removed, so no upload is left
// behind and the decoys (/secret/s.txt, /srv/keep.txt, profile.cur) are
// intact; changed profiles are well-formed and the current one is there.  No
// file off the media and the uploads may grow past 128 MiB, no upload may hold
// more data than its ceiling, and what the update service took holds exactly
// the bytes that one upload's writes and size changes left.
#include <dlfcn.h>
#include <expat.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "plugin.h"
#include "server.h"

namespace {

constexpr rlim_t file_limit = 128 << 20;
using Key = std::tuple<ino64_t, off64_t, int64_t, mode_t, nlink_t>;
using Tree = std::map<std::string, Key>;
Tree seen;
tqhost::Plugin plugin;
tqsftp_ucb *blocks[6];
std::map<std::pair<dev_t, ino64_t>, std::optional<std::string>> uploads;

[[noreturn]] void fail(const char *what, const std::string &detail)
{
    fprintf(stderr, "fuzz_session: %s: %.200s\n", what, detail.c_str());
    abort();
}

bool starts(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

bool writable(const std::string &p)
{
    std::string dir = p.substr(0, p.rfind('/') + 1), base = p.substr(dir.size());
    for (const char *w : {"/usb0/", "/sd/", "/var/log", "/var/lib/tqupd", "/var/lib/tqprofile"})
        if (starts(p, w))
            return true;
    if (starts(dir, "/tmp/sftp/") &&
        (base == "ok" || base == "error" || base == "status" || base == "updating"))
        return true;
    size_t n = base.size();  // a profile name
    return dir == "/flash/cfg/" && n > 4 && n <= 32 && base.rfind(".xml") == n - 4 &&
           base.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                  "0123456789-_") == n - 4;
}

int remove_cb(const char *p, const struct stat64 *, int, struct FTW *f)
{
    if (f->level > 0 && !(starts(p, "/tmp/sftp/") && std::string(p + f->base) == "help"))
        remove(p);
    return 0;
}

void reset()
{
    for (tqsftp_ucb *b : blocks)
        b->file_name[0] = b->temp_name[0] = '\0';
    for (const char *d : {"/usb0", "/sd", "/flash/cfg", "/var/lib", "/ramdisk", "/secret",
                          "/srv", "/tmp/sftp/upload", "/tmp/sftp/nv/cfg"})
        nftw64(d, remove_cb, 16, FTW_DEPTH | FTW_PHYS);
    for (const char *d : {"/usb0/cfg", "/sd/cfg", "/secret", "/srv"})
        mkdir(d, 0755);
    static const char *const files[][2] = {
        {"/var/log/messages", ""}, {"/flash/cfg/profile.cur", "office\n"},
        {"/flash/cfg/office.xml", "<?xml version=\"1.0\"?>\n<profile name=\"office\"/>\n"},
        {"/flash/cfg/lab.xml", "<profile/>\n"}, {"/usb0/a.txt", "a\n"},
        {"/secret/s.txt", "secret\n"}, {"/srv/keep.txt", "keep\n"}};
    for (const auto &f : files)
        if (!(std::ofstream(f[0]) << f[1]))
            fail("cannot plant", f[0]);
}

int snapshot_cb(const char *p, const struct stat64 *st, int, struct FTW *)
{
    for (const char *skip : {"/proc", "/dev", "/sys", "/usr", "/etc", TQ_SOURCE_DIR, TQ_BUILD_DIR})
        if (std::string(p) == skip)
            return FTW_SKIP_SUBTREE;
    // A folder's times and size change with its names; the names are compared.
    bool dir = S_ISDIR(st->st_mode);
    int64_t mtime = st->st_mtim.tv_sec * 1000000000LL + st->st_mtim.tv_nsec;
    seen[p] = Key(st->st_ino, dir ? 0 : st->st_size, dir ? 0 : mtime, st->st_mode,
                  dir ? 0 : st->st_nlink);
    return FTW_CONTINUE;
}

Tree snapshot()
{
    seen.clear();
    nftw64("/", snapshot_cb, 16, FTW_PHYS | FTW_ACTIONRETVAL);
    return std::move(seen);
}

bool well_formed(const std::string &path)
{
    std::ifstream f(path);
    std::string text{std::istreambuf_iterator<char>(f), {}};
    XML_Parser p = XML_ParserCreate(nullptr);
    bool ok = XML_Parse(p, text.data(), int(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return ok;
}

void compare(const Tree &before, const Tree &after)
{
    for (const auto &[path, key] : before) {
        auto it = after.find(path);
        if (!writable(path) && (it == after.end() || it->second != key))
            fail(it == after.end() ? "removed" : "changed", path);
    }
    for (const auto &[path, key] : after) {
        auto it = before.find(path);
        if (!writable(path) && it == before.end())
            fail("created or left behind", path);
        if (starts(path, "/flash/cfg/") && S_ISREG(std::get<3>(key)) &&
            (it == before.end() || it->second != key) && !well_formed(path))
            fail("profile not well-formed", path);
    }
    if (after.count("/flash/cfg/office.xml") == 0)
        fail("the current profile is gone", "office.xml");
    for (const auto &[path, key] : after) {
        if (!starts(path, "/var/lib/tqupd/") || path.rfind('/') == 14 ||
            !S_ISREG(std::get<3>(key)) || before.count(path) != 0)
            continue;
        std::ifstream f(path, std::ios::binary);
        std::string data{std::istreambuf_iterator<char>(f), {}};
        bool one = false;
        for (const auto &[file, wrote] : uploads)
            one |= wrote == data;
        if (!one)
            fail("handed over what no one upload wrote", path);
    }
}

void check_replies(int out)
{
    uint8_t p[4];
    for (off_t at = 0; pread(out, p, 4, at) == 4; at += 4 + off_t(tqhost::sftp::get_u32(p)))
        if (tqhost::sftp::get_u32(p) > 256 * 1024)
            fail("reply longer than the packet limit", std::to_string(tqhost::sftp::get_u32(p)));
}

}  // namespace

// The file a descriptor is open on: on the media, or an upload's (its size
// before the operation), sparse and larger for a moment until the plug-in
// cuts it back.
struct Target {
    bool media = false;
    std::optional<std::pair<dev_t, ino64_t>> upload;
    off64_t size = 0;
};

Target target(int fd)
{
    char link[64], p[256] = "";
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    Target t;
    if (readlink(link, p, sizeof p - 1) < 0)
        p[0] = '\0';
    t.media = starts(p, "/usb0/") || starts(p, "/sd/");
    uint64_t most = starts(p, "/tmp/sftp/upload/firmware/") ? TQSFTP_MAX_FIRMWARE
                    : starts(p, "/tmp/sftp/upload/")        ? TQSFTP_MAX_CERT
                    : starts(p, "/ramdisk/lighty.tmp")      ? TQSFTP_MAX_PROFILE : 0;
    struct stat64 st;
    if (most != 0 && fstat64(fd, &st) == 0) {
        if (uint64_t(st.st_blocks) * 512 > most)
            fail("an upload holds more than its ceiling", p);
        t.upload = std::pair(st.st_dev, st.st_ino);
        t.size = st.st_size;
    }
    struct rlimit lift = {RLIM_INFINITY, RLIM_INFINITY}, limit = {file_limit, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, t.media || t.upload ? &lift : &limit);
    return t;
}

// What an upload wrote, resized; past every ceiling nothing to hand over.
std::optional<std::string> &resized(const Target &t, off64_t size)
{
    std::optional<std::string> &w = uploads.try_emplace(*t.upload, std::string()).first->second;
    if (w && size > off64_t(TQSFTP_MAX_FIRMWARE))
        w.reset();
    else if (w)
        w->resize(size_t(size));
    return w;
}

extern "C" ssize_t __real_pwrite64(int fd, const void *buf, size_t n, off64_t off);
extern "C" ssize_t __wrap_pwrite64(int fd, const void *buf, size_t n, off64_t off)
{
    Target t = target(fd);
    ssize_t r = __real_pwrite64(fd, buf, n, off);
    struct rlimit limit = {file_limit, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    if (t.upload && r > 0) {
        if (fcntl(fd, F_GETFL) & O_APPEND)
            off = t.size;  // where the kernel put the bytes
        std::optional<std::string> &w = resized(t, std::max(off + r, t.size));
        if (w)
            w->replace(size_t(off), size_t(r), static_cast<const char *>(buf), size_t(r));
    }
    return r;
}

extern "C" int __real_ftruncate64(int fd, off64_t size);
extern "C" int __wrap_ftruncate64(int fd, off64_t size)
{
    Target t = target(fd);
    int r = __real_ftruncate64(fd, size);
    struct rlimit limit = {file_limit, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    if (t.upload && r == 0)
        resized(t, size);
    return r;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char err[1024];
    if (!plugin.load(TQ_PLUGIN, err, sizeof err))
        fail("cannot load the plug-in", err);
    plugin.table("/");  // the one-time set-up, before any snapshot
    void *lib = dlopen(TQ_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
    int i = 0;
    for (const char *name : {"tqsftp_firmware_ucb", "tqsftp_sshkey_ucb", "tqsftp_https_ucb",
                             "tqsftp_ldap_ucb", "tqsftp_vpn_ucb", "tqsftp_config_ucb"})
        if ((blocks[i++] = static_cast<tqsftp_ucb *>(dlsym(lib, name))) == nullptr)
            fail("the plug-in has no", name);
    signal(SIGXFSZ, [](int) { fail("a file grew past", "128 MiB"); });
    struct rlimit limit = {file_limit, RLIM_INFINITY};
    return setrlimit(RLIMIT_FSIZE, &limit);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    reset();
    uploads.clear();
    Tree before = snapshot();
    int in = memfd_create("in", 0), out = memfd_create("out", 0);
    int cwd = open(".", O_RDONLY | O_DIRECTORY);
    if (in < 0 || out < 0 || cwd < 0 || write(in, data, size) != ssize_t(size))
        fail("cannot set up the session", "");
    lseek(in, 0, SEEK_SET);
    if (chdir("/srv") == 0)
        tqhost::Server(plugin, in, out).run();
    if (fchdir(cwd) != 0)
        fail("cannot return to the working folder", "");
    check_replies(out);
    for (int fd : {in, out, cwd})
        close(fd);
    compare(before, snapshot());
    return 0;
}
