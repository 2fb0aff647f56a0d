/* A host written in C: includes the header, loads the plug-in as the SFTP
 * server does and asks the entry for a table.  Exits 0, or 1 saying why. */
#include <dlfcn.h>
#include <stdio.h>

#include "tqsftp.h"

int main(int argc, char **argv)
{
    static tqsftp_funcs host;
    void *lib = argc > 1 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL;
    tqsftp_funcs *(*entry)(const char *, const tqsftp_funcs *) = NULL;
    if (lib != NULL)
        *(void **)&entry = dlsym(lib, "tqsftp_get_sftp_func_cb");
    tqsftp_funcs *t = entry != NULL ? entry("/usb/x", &host) : NULL;
    if (t == NULL || t->open == NULL || t->read != host.read) {
        fprintf(stderr, "c_host: %s\n", lib == NULL ? dlerror() : "no usable table for /usb/x");
        return 1;
    }
    return 0;
}
