// One SFTP session per input: the input is what the client sends, served by
// the server with the real plug-in and the device's services in a device
// root that is reset before every input.  What must hold afterwards:
// - no reply is longer than the packet limit the server announces;
// - nothing outside the writable areas was created, changed or removed
//   (removable media below their top, the services' state and log, the
//   areas' ok/error/status files, the profiles of the store); so nothing is
//   left in an upload folder or as the store's temporary file, and the
//   decoys (/secret/s.txt, /srv/keep.txt in the server's working folder,
//   profile.cur) survive unchanged;
// - every new or changed profile in the store is well-formed XML, and the
//   current one is still there;
// - no file outside removable media grows past 128 MiB (finding sparse
//   uploads that get copied whole).
#include <expat.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "plugin.h"
#include "server.h"

namespace {

constexpr rlim_t file_limit = 128 << 20;
constexpr uint32_t packet_limit = 256 * 1024;
using Key = std::tuple<ino64_t, off64_t, int64_t, mode_t, nlink_t>;
std::map<std::string, Key> seen;
std::unique_ptr<tqhost::Plugin> plugin;

[[noreturn]] void fail(const char *what, const std::string &detail)
{
    fprintf(stderr, "fuzz_session: %s: %.200s\n", what, detail.c_str());
    abort();
}

void too_big(int)
{
    static const char m[] = "fuzz_session: a file grew past 128 MiB\n";
    write(2, m, sizeof m - 1);
    abort();
}

void set_file_limit(rlim_t soft)
{
    struct rlimit r = {soft, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &r);
}

bool starts(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

bool profile_name(const std::string &name)
{
    size_t n = name.size();
    if (n < 5 || n > 32 || name.compare(n - 4, 4, ".xml") != 0)
        return false;
    return name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                  "0123456789-_") == n - 4;
}

bool writable(const std::string &p)
{
    std::string dir = p.substr(0, p.rfind('/') + 1), base = p.substr(dir.size());
    if (starts(p, "/usb0/") || starts(p, "/sd/") || starts(p, "/var/log") ||
        starts(p, "/var/lib/tqupd") || starts(p, "/var/lib/tqprofile"))
        return true;
    if (starts(dir, "/tmp/sftp/") &&
        (base == "ok" || base == "error" || base == "status" || base == "updating"))
        return true;
    return dir == "/flash/cfg/" && profile_name(base);
}

int remove_cb(const char *p, const struct stat64 *, int, struct FTW *f)
{
    if (f->level > 0 && !(starts(p, "/tmp/sftp/") && strcmp(p + f->base, "help") == 0))
        remove(p);
    return 0;
}

void put(const char *path, const char *text)
{
    FILE *f = fopen(path, "w");
    if (f == nullptr || fputs(text, f) < 0 || fclose(f) != 0)
        fail("cannot plant", path);
}

void reset()
{
    for (const char *d : {"/usb0", "/sd", "/flash/cfg", "/var/lib", "/ramdisk", "/secret",
                          "/srv", "/tmp/sftp/upload", "/tmp/sftp/nv/cfg"})
        nftw64(d, remove_cb, 16, FTW_DEPTH | FTW_PHYS);
    for (const char *d : {"/usb0/cfg", "/sd/cfg", "/secret", "/srv"})
        mkdir(d, 0755);
    put("/var/log/messages", "");
    put("/flash/cfg/office.xml", "<?xml version=\"1.0\"?>\n<profile name=\"office\"/>\n");
    put("/flash/cfg/lab.xml", "<profile name=\"lab\"/>\n");
    put("/flash/cfg/profile.cur", "office\n");
    put("/usb0/a.txt", "a\n");
    put("/secret/s.txt", "secret\n");
    put("/srv/keep.txt", "keep\n");
}

int snapshot_cb(const char *p, const struct stat64 *st, int, struct FTW *f)
{
    static const std::string skip[] = {"/proc", "/dev", "/sys", "/usr", "/etc",
                                       TQ_SOURCE_TOP, TQ_BUILD_TOP};
    for (const std::string &s : skip)
        if (p == s)
            return FTW_SKIP_SUBTREE;
    // A folder's own times change with its names; the names are compared.
    bool dir = S_ISDIR(st->st_mode);
    seen[p] = Key(st->st_ino, dir ? 0 : st->st_size,
                  dir ? 0 : st->st_mtim.tv_sec * 1000000000LL + st->st_mtim.tv_nsec,
                  st->st_mode, dir ? 0 : st->st_nlink);
    (void)f;
    return FTW_CONTINUE;
}

std::map<std::string, Key> snapshot()
{
    seen.clear();
    nftw64("/", snapshot_cb, 16, FTW_PHYS | FTW_ACTIONRETVAL);
    return std::move(seen);
}

bool well_formed(const std::string &path)
{
    std::string text;
    if (FILE *f = fopen(path.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
            text.append(buf, n);
        fclose(f);
    }
    XML_Parser p = XML_ParserCreate(nullptr);
    bool ok = XML_Parse(p, text.data(), int(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return ok;
}

void compare(const std::map<std::string, Key> &before, const std::map<std::string, Key> &after)
{
    for (const auto &[path, key] : before) {
        auto it = after.find(path);
        if (!writable(path) && it == after.end())
            fail("removed", path);
        if (!writable(path) && it->second != key)
            fail("changed", path);
    }
    for (const auto &[path, key] : after) {
        auto it = before.find(path);
        if (!writable(path) && it == before.end())
            fail("created or left behind", path);
        bool changed = it == before.end() || it->second != key;
        if (starts(path, "/flash/cfg/") && S_ISREG(std::get<3>(key)) && changed &&
            !well_formed(path))
            fail("profile not well-formed", path);
    }
    if (after.count("/flash/cfg/office.xml") == 0)
        fail("removed the current profile", "/flash/cfg/office.xml");
}

void check_replies(int out)
{
    struct stat64 st;
    fstat64(out, &st);
    std::string r(size_t(st.st_size), '\0');
    if (pread64(out, r.data(), r.size(), 0) != ssize_t(r.size()))
        fail("cannot read the replies", "");
    auto p = reinterpret_cast<const uint8_t *>(r.data());
    for (size_t at = 0; at + 4 <= r.size();) {
        uint32_t len = uint32_t(p[at]) << 24 | p[at + 1] << 16 | p[at + 2] << 8 | p[at + 3];
        if (len > packet_limit)
            fail("reply longer than the packet limit", std::to_string(len));
        at += 4 + size_t(len);
    }
}

}  // namespace

// Removable media may hold sparse files of any size; everywhere else a
// write past the limit is a finding (SIGXFSZ).
extern "C" ssize_t __real_pwrite64(int fd, const void *buf, size_t n, off64_t off);
extern "C" ssize_t __wrap_pwrite64(int fd, const void *buf, size_t n, off64_t off)
{
    char link[64], path[256] = "";
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    bool media = readlink(link, path, sizeof path - 1) > 0 &&
                 (starts(path, "/usb0/") || starts(path, "/sd/"));
    if (media)
        set_file_limit(RLIM_INFINITY);
    ssize_t r = __real_pwrite64(fd, buf, n, off);
    if (media)
        set_file_limit(file_limit);
    return r;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string err;
    plugin = tqhost::Plugin::load(TQ_PLUGIN, err);
    if (!plugin)
        fail("cannot load the plug-in", err);
    plugin->table("/");  // the plug-in's one-time set-up
    signal(SIGXFSZ, too_big);
    set_file_limit(file_limit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    reset();
    std::map<std::string, Key> before = snapshot();
    int in = memfd_create("in", 0), out = memfd_create("out", 0);
    if (in < 0 || out < 0 || write(in, data, size) != ssize_t(size))
        fail("cannot make the session's input", "");
    lseek(in, 0, SEEK_SET);
    int cwd = open(".", O_RDONLY | O_DIRECTORY);
    chdir("/srv");
    {
        tqhost::Server session(*plugin, in, out);
        session.run();
    }
    fchdir(cwd);
    close(cwd);
    check_replies(out);
    close(in);
    close(out);
    compare(before, snapshot());
    return 0;
}
