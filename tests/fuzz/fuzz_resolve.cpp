// One or two client paths per input (split at the first newline), handed to
// every path operation of the table the plug-in gives for the first.  The
// host's table only checks what reaches it: every real path lies under the
// real folder of the row that one of the client paths matches (or is the
// profile store's temporary file) and holds no "." or ".." component.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tqsftp.h"

namespace {

const tqsftp_access *rows[2];

const tqsftp_access *row_of(const std::string &client)
{
    std::string norm(client.size() + 5, '\0');
    if (tqsftp_normalizePath(client.c_str(), norm.data(), norm.size()) != 0)
        return nullptr;
    for (const tqsftp_access *e = tqsftp_access_list; e->prefix != nullptr; e++)
        if (e->match != nullptr && e->match(e, norm.c_str()) == 0)
            return e;
    return nullptr;
}

bool under(const tqsftp_access *row, const char *real)
{
    if (row == nullptr || row->path == nullptr)
        return false;
    if (row->match == tqsftp_match_exact)
        return strcmp(real, row->path) == 0;
    return strncmp(real, row->path, strlen(row->path)) == 0;
}

void check(const char *real)
{
    std::string p = std::string(real) + "/";
    bool dots = p.find("/./") != std::string::npos || p.find("/../") != std::string::npos;
    bool inside = under(rows[0], real) || under(rows[1], real) ||
                  strcmp(real, "/ramdisk/lighty.tmp") == 0;
    if (dots || !inside) {
        fprintf(stderr, "the host was handed %s for %s\n", real,
                rows[0] != nullptr ? rows[0]->prefix : "(no row)");
        abort();
    }
}

int h_open(const char *p, int, int) { check(p); return open("/dev/null", O_RDWR); }
int h_close(int fd) { return close(fd); }
int h_stat(const char *p, struct stat64 *st)
{
    check(p);
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0644;
    return 0;
}
void *h_opendir(const char *p) { check(p); return nullptr; }
int h_path(const char *p) { check(p); return 0; }
int h_mkdir(const char *p, int) { return h_path(p); }
int h_two(const char *a, const char *b) { check(a); check(b); return 0; }

const tqsftp_funcs host = {h_open, h_close, h_stat, nullptr, nullptr, h_opendir, nullptr,
                           h_mkdir, h_path, h_path, h_two, h_two};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string in(reinterpret_cast<const char *>(data), size);
    in = in.substr(0, in.find('\0'));
    size_t nl = in.find('\n');
    std::string a = in.substr(0, nl);
    std::string b = nl == std::string::npos ? a + "x" : in.substr(nl + 1);
    rows[0] = row_of(a);
    rows[1] = row_of(b);

    const tqsftp_funcs *t = tqsftp_get_sftp_func_cb(a.c_str(), &host);
    struct stat64 st;
    if (t->stat != nullptr)
        t->stat(a.c_str(), &st);
    if (t->opendir != nullptr)
        t->opendir(a.c_str());
    for (int flags : {O_RDONLY, O_WRONLY | O_CREAT | O_TRUNC, O_RDWR | O_CREAT | O_EXCL}) {
        int fd = t->open != nullptr ? t->open(a.c_str(), flags, 0644) : -1;
        if (fd >= 0 && t->close != nullptr)
            t->close(fd);
    }
    if (t->mkdir != nullptr)
        t->mkdir(a.c_str(), 0755);
    for (int (*op)(const char *) : {t->rmdir, t->unlink})
        if (op != nullptr)
            op(a.c_str());
    for (int (*op)(const char *, const char *) : {t->rename, t->link})
        if (op != nullptr)
            op(a.c_str(), b.c_str());
    return 0;
}
