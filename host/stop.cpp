#include "stop.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tqhost {
namespace {

const int stops_caught[] = {SIGTERM, SIGHUP, SIGINT};
volatile sig_atomic_t caught = 0;
int wake = -1;  // readable once a stop signal came

void note(int sig)
{
    int saved = errno;
    caught = sig;
    const uint64_t one = 1;
    if (write(wake, &one, sizeof one) < 0) {
        // Full: the count is there already.
    }
    errno = saved;
}

}  // namespace

void catch_stop_signals()
{
    wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0)
        return;  // the signals keep their default action: the server just ends
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
    return wake;
}

}  // namespace tqhost
