#include "stop.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace tqhost {
namespace {

const int stops_caught[] = {SIGTERM, SIGHUP, SIGINT};
volatile sig_atomic_t caught = 0;
int wake[2] = {-1, -1};  // read end, write end

void note(int sig)
{
    int saved = errno;
    caught = sig;
    if (write(wake[1], "", 1) < 0) {
        // Full: a byte is there already.
    }
    errno = saved;
}

}  // namespace

void catch_stop_signals()
{
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) < 0) {
        wake[0] = wake[1] = -1;
        return;  // the signals keep their default action: the server just ends
    }
    struct sigaction sa = {};
    sa.sa_handler = note;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked call returns EINTR
    for (int sig : stops_caught) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
    }
}

int stop_signal()
{
    return caught;
}

int stop_fd()
{
    return wake[0];
}

}  // namespace tqhost
