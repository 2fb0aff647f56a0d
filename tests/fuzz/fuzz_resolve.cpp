// One or two client paths per input (split at the first newline), handed to
// every path operation of the plug-in's table for the first.  The host only
// checks each real path it is handed: under the real folder of the row that
// one of the client paths matches (or the profile store's temporary file),
// with no "." or ".." component.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "tqsftp.h"

namespace {

const tqsftp_access *rows[2];
const char *const temp_file = "/ramdisk/lighty.tmp";

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
    size_t n = row != nullptr && row->path != nullptr ? strlen(row->path) : 0;
    return n > 0 && strncmp(real, row->path, n) == 0 &&
           (row->match == tqsftp_match_prefix || real[n] == '\0');
}

void check(const char *real)
{
    std::string p = std::string(real) + "/";
    if (p.find("/./") != std::string::npos || p.find("/../") != std::string::npos ||
        !(under(rows[0], real) || under(rows[1], real) ||
          strcmp(real, temp_file) == 0)) {
        fprintf(stderr, "fuzz_resolve: the host was handed %s\n", real);
        abort();
    }
}

int path_op(const char *p) { return check(p), 0; }
int two_op(const char *a, const char *b) { return check(a), check(b), 0; }
int stat_op(const char *p, struct stat64 *st)
{
    check(p);
    *st = {};
    st->st_mode = S_IFREG | 0644;
    return 0;
}
// Only the store's temporary file is real: the store holds it with a lock.
int open_op(const char *p, int flags, int mode)
{
    check(p);
    return strcmp(p, temp_file) == 0 ? open(p, flags, mode) : open("/dev/null", O_RDWR);
}
const tqsftp_funcs host = {
    open_op, close, stat_op,
    nullptr, nullptr, [](const char *p) { return check(p), static_cast<void *>(nullptr); },
    nullptr, [](const char *p, int) { return path_op(p); }, path_op, path_op, two_op, two_op};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string in(reinterpret_cast<const char *>(data), strnlen((const char *)data, size));
    size_t nl = in.find('\n');
    std::string a = in.substr(0, nl), b = nl == std::string::npos ? a + "x" : in.substr(nl + 1);
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
    for (auto op : {t->rmdir, t->unlink})
        if (op != nullptr)
            op(a.c_str());
    for (auto op : {t->rename, t->link})
        if (op != nullptr)
            op(a.c_str(), b.c_str());
    return 0;
}
