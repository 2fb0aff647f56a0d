/*
 * A host written in C: loads the plug-in as the SFTP server does, hands the
 * entry a small table of its own and checks what comes back through the
 * header's types.  Run inside a fresh device root: prints what failed and
 * exits 1, or exits 0.
 */
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "tqsftp.h"

static int failures;

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, \
                    #cond);                                            \
            failures++;                                                \
        }                                                              \
    } while (0)

static int host_open(const char *path, int flags, int mode)
{
    (void)path;
    (void)flags;
    (void)mode;
    errno = ENOSYS;
    return -1;
}

static int host_close(int fd)
{
    (void)fd;
    return 0;
}

static ssize_t host_read(int fd, void *buf, size_t len, int64_t off)
{
    (void)fd;
    (void)buf;
    (void)len;
    (void)off;
    return 0;
}

static void *symbol(void *lib, const char *name)
{
    void *p = dlsym(lib, name);
    if (p == NULL) {
        fprintf(stderr, "not exported: %s\n", name);
        failures++;
    }
    return p;
}

static int exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

int main(int argc, char **argv)
{
    tqsftp_funcs host;
    tqsftp_funcs *(*entry)(const char *, const tqsftp_funcs *);
    tqsftp_funcs *readonly, *deny, *got;
    const tqsftp_access *list;
    const tqsftp_ucb *vpn;
    void *lib, *sym;

    if (argc != 2) {
        fprintf(stderr, "usage: %s PLUGIN\n", argv[0]);
        return 2;
    }
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    CHECK(!exists("/tmp/sftp")); /* loading does nothing */

    sym = symbol(lib, "tqsftp_get_sftp_func_cb");
    readonly = symbol(lib, "tqsftp_funcs_readonly");
    deny = symbol(lib, "tqsftp_funcs_deny");
    list = symbol(lib, "tqsftp_access_list");
    vpn = symbol(lib, "tqsftp_vpn_ucb");
    if (failures)
        return 1;
    memcpy(&entry, &sym, sizeof entry);

    memset(&host, 0, sizeof host);
    host.open = host_open;
    host.close = host_close;
    host.read = host_read;

    got = entry("/", &host);
    CHECK(got == readonly);
    CHECK(got->read == host_read);
    CHECK(got->open != NULL && got->open != host_open);
    CHECK(got->readdir == NULL);
    CHECK(entry("/etc/passwd", &host) == deny);
    CHECK(exists("/tmp/sftp/upload/firmware/help"));

    /* The layouts that C sees are the plug-in's. */
    CHECK(strcmp(list[0].prefix, "/") == 0 && list[0].funcs == readonly);
    CHECK(list[TQSFTP_ACCESS_ROWS - 1].prefix == NULL &&
          list[TQSFTP_ACCESS_ROWS - 1].funcs == deny);
    CHECK(vpn->upd_param == 2 && strlen(vpn->help_text) == 223);

    return failures ? 1 : 0;
}
