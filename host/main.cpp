// tqsftp-server: an SFTP (version 3) server on standard input and output,
// the Subsystem sftp of OpenSSH's sshd or of Dropbear, that performs every
// request through the tables of the tqsftp plug-in.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "plugin.h"
#include "server.h"
#include "stop.h"

namespace {

void usage(FILE *to)
{
    fprintf(to, "usage: tqsftp-server [-P plugin]\n"
                "  -P plugin  the plug-in to load (default: %s)\n",
            tqhost::default_plugin_path());
}

}  // namespace

int main(int argc, char **argv)
{
    const char *plugin_path = nullptr;
    int c;
    while ((c = getopt(argc, argv, "P:h")) != -1) {
        switch (c) {
        case 'P':
            plugin_path = optarg;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }
    if (plugin_path == nullptr || *plugin_path == '\0')
        plugin_path = tqhost::default_plugin_path();

    // A client that goes away is seen as a failed write, not a signal.
    signal(SIGPIPE, SIG_IGN);

    tqhost::Plugin plugin;
    char err[1024];
    if (!plugin.load(plugin_path, err, sizeof err)) {
        fprintf(stderr, "tqsftp-server: %s\n", err);
        return 1;
    }
    // Told to stop, the server ends its uploads as broken off before it exits.
    tqhost::catch_stop_signals();
    tqhost::Server server(plugin, STDIN_FILENO, STDOUT_FILENO);
    int code = server.run();
#if defined(__SANITIZE_ADDRESS__)
    return code;
#else
    // The session is over and every file closed; neither the plug-in nor
    // the services keep anything that needs tearing down.  Ending here
    // spares the unloading, the libraries' destructors and the pages of
    // code they would fault in at the last moment.
    _exit(code);
#endif
}
