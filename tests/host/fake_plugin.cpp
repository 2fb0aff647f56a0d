// A plug-in for the host's own tests.  It appends every call it receives to
// /tmp/fake-plugin.log, "entry PATH" or "TABLE SLOT ARGS RESULT" (RESULT is
// 0 or errno, for close the return value and errno), and answers by path:
//   a path with a component that begins with "B", or any path while
//   /tmp/fake-b exists: table B; every other path: table A.
// Both tables pass each operation on to the host's own; B's readdir adds the
// name "extra" after the host's last entry.  The start directory is
// "/start", and the normaliser copies its input.
#include <dirent.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "tqsftp.h"

namespace {

tqsftp_funcs host, table_a, table_b;

void record(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void record(const char *fmt, ...)
{
    int saved = errno;
    FILE *f = fopen("/tmp/fake-plugin.log", "ae");
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
    errno = saved;
}

template <char T>
struct Table {
    static int done(int r, const char *op, const char *a, const char *b = "")
    {
        record("%c %s %s%s%s %d", T, op, a, *b ? " " : "", b, r < 0 ? errno : 0);
        return r;
    }
    static int open(const char *p, int flags, int mode)
    {
        return done(host.open(p, flags, mode), "open", p);
    }
    static int stat(const char *p, struct stat64 *st) { return done(host.stat(p, st), "stat", p); }
    static int mkdir(const char *p, int mode) { return done(host.mkdir(p, mode), "mkdir", p); }
    static int rmdir(const char *p) { return done(host.rmdir(p), "rmdir", p); }
    static int unlink(const char *p) { return done(host.unlink(p), "unlink", p); }
    static int rename(const char *a, const char *b)
    {
        return done(host.rename(a, b), "rename", a, b);
    }
    static int link(const char *a, const char *b) { return done(host.link(a, b), "link", a, b); }
    static int close(int fd)
    {
        int r = host.close(fd);
        record("%c close %d %d", T, r, r < 0 ? errno : 0);
        return r;
    }
    static ssize_t read(int fd, void *buf, size_t len, int64_t off)
    {
        record("%c read", T);
        return host.read(fd, buf, len, off);
    }
    static ssize_t write(int fd, const void *buf, size_t len, int64_t off)
    {
        record("%c write", T);
        return host.write(fd, buf, len, off);
    }
    static void *opendir(const char *p)
    {
        void *d = host.opendir(p);
        done(d != nullptr ? 0 : -1, "opendir", p);
        return d;
    }
    static struct dirent64 *readdir(void *dir)
    {
        static void *extra_given = nullptr;
        static struct dirent64 extra;
        struct dirent64 *e = host.readdir(dir);
        if (T == 'A' || e != nullptr || extra_given == dir)
            return e;
        extra_given = dir;
        strcpy(extra.d_name, "extra");
        return &extra;
    }
    static tqsftp_funcs funcs()
    {
        return {open,    close, stat,  read,   write,  opendir,
                readdir, mkdir, rmdir, unlink, rename, link};
    }
};

}  // namespace

extern "C" {

const char *tqsftp_start_dir = "/start";

tqsftp_funcs *tqsftp_get_sftp_func_cb(const char *path, const tqsftp_funcs *h)
{
    host = *h;
    table_a = Table<'A'>::funcs();
    table_b = Table<'B'>::funcs();
    record("entry %s", path);
    if (access("/tmp/fake-b", F_OK) == 0 || strstr(path, "/B") != nullptr)
        return &table_b;
    return &table_a;
}

// An input that holds "ENOMEM" fails as an unnormalisable path does.
int tqsftp_normalizePath(const char *in, char *out, size_t size)
{
    if (strstr(in, "ENOMEM") != nullptr || strlen(in) >= size) {
        errno = ENOMEM;
        return -1;
    }
    strcpy(out, in);
    return 0;
}

}  // extern "C"
