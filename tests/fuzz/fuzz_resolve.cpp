// One or two client paths per input (split at the first newline), handed to
// every path operation of the plug-in's table for the first.  Properties
// only, no second resolver: normalised and real paths have no empty, "." or
// ".." component; a real path lies under a row with the table the entry gave
// (moves stay in one row); the normalised and the case-flipped spelling are
// treated alike.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tqsftp.h"

namespace {

const tqsftp_funcs *table;
std::vector<std::string> handed;
const char *const temp_file = "/ramdisk/lighty.tmp";

void expect(bool ok, const char *what, const std::string &path)
{
    if (!ok)
        fprintf(stderr, "fuzz_resolve: %s: %s\n", what, path.c_str()), abort();
}

bool canonical(const std::string &p)
{
    std::string s = p + "/";
    return p == "/" || (p[0] == '/' && s.find("//") == s.npos && s.find("/./") == s.npos &&
                        s.find("/../") == s.npos);
}

// The normalised spelling, empty when the path cannot be normalised.
std::string normal(const std::string &p)
{
    std::string n(p.size() + 5, '\0');
    return tqsftp_normalizePath(p.c_str(), n.data(), n.size()) == 0 ? n.c_str() : "";
}

void check(const char *real)
{
    handed.push_back(real);
    // The store's open hands the host its temporary file.
    bool known = table == &tqsftp_funcs_nvmcfg_file && strcmp(real, temp_file) == 0;
    for (const tqsftp_access *e = tqsftp_access_list; e->prefix != nullptr; e++)
        known |= e->funcs == table &&
                 (e->match == tqsftp_match_prefix ? strncmp(real, e->path, strlen(e->path))
                                                  : strcmp(real, e->path)) == 0;
    expect(known && canonical(real), "the host was handed", real);
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

// Every path operation of a's table, b the second path: the real paths handed.
std::vector<std::string> run(const char *a, const char *b)
{
    const tqsftp_funcs *t = table = tqsftp_get_sftp_func_cb(a, &host);
    handed.clear();
    struct stat64 st;
    if (t->stat != nullptr)
        t->stat(a, &st);
    if (t->opendir != nullptr)
        t->opendir(a);
    for (int flags : {O_RDONLY, O_WRONLY | O_CREAT | O_TRUNC, O_RDWR | O_CREAT | O_EXCL}) {
        int fd = t->open != nullptr ? t->open(a, flags, 0644) : -1;
        if (fd >= 0 && t->close != nullptr)
            t->close(fd);
    }
    if (t->mkdir != nullptr)
        t->mkdir(a, 0755);
    for (auto op : {t->rmdir, t->unlink})
        if (op != nullptr)
            op(a);
    for (auto op : {t->rename, t->link})
        if (op != nullptr)
            op(a, b);
    return handed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string in(reinterpret_cast<const char *>(data), strnlen((const char *)data, size));
    size_t nl = in.find('\n');
    std::string a = in.substr(0, nl), b = nl == std::string::npos ? a + "x" : in.substr(nl + 1);
    std::string na = normal(a), nb = normal(b);
    for (const std::string &n : {na, nb})
        expect(n.empty() || (canonical(n) && normal(n) == n), "normalised to", n);
    std::vector<std::string> first = run(a.c_str(), b.c_str());
    const tqsftp_funcs *t = table;
    if (!na.empty() && !nb.empty() && (na != a || nb != b))
        expect(run(na.c_str(), nb.c_str()) == first && table == t,
               "the normalised spelling differs", a);
    for (char &c : a)
        c = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ? c ^ 0x20 : c;
    expect(tqsftp_get_sftp_func_cb(a.c_str(), &host) == t, "the other case differs", a);
    return 0;
}
