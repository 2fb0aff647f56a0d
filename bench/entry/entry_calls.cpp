// The entry under callgrind: after the set-up, each client path is resolved
// `rounds` times and the counts of each path are dumped on their own, so
// that the report divides them by the calls made.
#include <valgrind/callgrind.h>

#include <cstdlib>

#include "paths.h"
#include "tqsftp.h"

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? atoi(argv[1]) : 1000;
    const tqsftp_funcs host{};
    tqsftp_get_sftp_func_cb("/", &host);
    for (const char *path : tqbench::paths) {
        CALLGRIND_ZERO_STATS;
        for (int i = 0; i < rounds; i++)
            tqsftp_get_sftp_func_cb(path, &host);
        CALLGRIND_DUMP_STATS_AT(path);
    }
    return 0;
}
