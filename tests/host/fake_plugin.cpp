// A plug-in for the host's own tests, with the plug-in's exported entry,
// start directory and normaliser.  It writes every call it receives, one line
// each, to /tmp/fake-plugin.log, and answers by path:
//   a path with a component "none": a table whose every slot is absent;
//   a path with a component that begins with "B", or any path while
//   /tmp/fake-b exists: table B; every other path: table A.
// Both tables pass each operation on to the host's own with the same path;
// B's readdir adds the name "extra" after the host's last entry.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "tqsftp.h"

namespace {

tqsftp_funcs host;
tqsftp_funcs table_a, table_b, table_none;

void record(const char *fmt, ...)
{
    int saved = errno;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n > 0 && n < int(sizeof line) - 1) {
        line[n++] = '\n';
        int fd = open("/tmp/fake-plugin.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ssize_t w = write(fd, line, size_t(n));
            (void)w;
            close(fd);
        }
    }
    errno = saved;
}

const char *p(const char *path)
{
    return path != nullptr ? path : "(null)";
}

int outcome(int r)
{
    return r < 0 ? errno : 0;
}

template <char T>
int op_open(const char *path, int flags, int mode)
{
    int r = host.open(path, flags, mode);
    record("%c open %s %d", T, p(path), outcome(r));
    return r;
}

template <char T>
int op_close(int fd)
{
    int r = host.close(fd);
    record("%c close %d %d", T, r, outcome(r));
    return r;
}

template <char T>
int op_stat(const char *path, struct stat64 *st)
{
    int r = host.stat(path, st);
    record("%c stat %s %d", T, p(path), outcome(r));
    return r;
}

template <char T>
ssize_t op_read(int fd, void *buf, size_t len, int64_t off)
{
    record("%c read", T);
    return host.read(fd, buf, len, off);
}

template <char T>
ssize_t op_write(int fd, const void *buf, size_t len, int64_t off)
{
    record("%c write", T);
    return host.write(fd, buf, len, off);
}

template <char T>
void *op_opendir(const char *path)
{
    void *d = host.opendir(path);
    record("%c opendir %s %d", T, p(path), d ? 0 : errno);
    return d;
}

struct dirent64 *readdir_a(void *dir)
{
    return host.readdir(dir);
}

struct dirent64 *readdir_b(void *dir)
{
    static void *extra_given = nullptr;
    static struct dirent64 extra;
    struct dirent64 *e = host.readdir(dir);
    if (e != nullptr || extra_given == dir)
        return e;
    extra_given = dir;
    strcpy(extra.d_name, "extra");
    return &extra;
}

template <char T>
int op_mkdir(const char *path, int mode)
{
    int r = host.mkdir(path, mode);
    record("%c mkdir %s %d", T, p(path), outcome(r));
    return r;
}

template <char T>
int op_rmdir(const char *path)
{
    int r = host.rmdir(path);
    record("%c rmdir %s %d", T, p(path), outcome(r));
    return r;
}

template <char T>
int op_unlink(const char *path)
{
    int r = host.unlink(path);
    record("%c unlink %s %d", T, p(path), outcome(r));
    return r;
}

template <char T>
int op_rename(const char *a, const char *b)
{
    int r = host.rename(a, b);
    record("%c rename %s %s %d", T, p(a), p(b), outcome(r));
    return r;
}

template <char T>
int op_link(const char *a, const char *b)
{
    int r = host.link(a, b);
    record("%c link %s %s %d", T, p(a), p(b), outcome(r));
    return r;
}

template <char T>
tqsftp_funcs make_table(struct dirent64 *(*readdir)(void *))
{
    return {op_open<T>, op_close<T>, op_stat<T>, op_read<T>, op_write<T>,
            op_opendir<T>, readdir, op_mkdir<T>, op_rmdir<T>, op_unlink<T>,
            op_rename<T>, op_link<T>};
}

bool has_component(const char *path, const char *name, bool prefix)
{
    size_t n = strlen(name);
    for (const char *s = strchr(path, '/'); s != nullptr; s = strchr(s + 1, '/')) {
        if (strncmp(s + 1, name, n) == 0 &&
            (prefix || s[1 + n] == '\0' || s[1 + n] == '/'))
            return true;
    }
    return false;
}

}  // namespace

extern "C" {

const char *tqsftp_start_dir = "/start";

tqsftp_funcs *tqsftp_get_sftp_func_cb(const char *path, const tqsftp_funcs *h)
{
    static bool set_up = false;
    if (!set_up) {
        host = *h;
        table_a = make_table<'A'>(readdir_a);
        table_b = make_table<'B'>(readdir_b);
        set_up = true;
    }
    record("entry %s", path);
    if (has_component(path, "none", false))
        return &table_none;
    if (access("/tmp/fake-b", F_OK) == 0 || has_component(path, "B", true))
        return &table_b;
    return &table_a;
}

// Copies its input, so that a test sees what the host asked; an input that
// holds "ENOMEM" fails as an unnormalisable path does.
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
