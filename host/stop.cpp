#include "stop.h"

namespace tqhost {
namespace {

const int stops_caught[] = {SIGTERM, SIGHUP, SIGINT};
volatile sig_atomic_t caught = 0;
bool catching = false;
sigset_t stops, waiting;

void note(int sig)
{
    caught = sig;
}

}  // namespace

void catch_stop_signals()
{
    sigemptyset(&stops);
    struct sigaction sa = {};
    sa.sa_handler = note;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked call returns EINTR
    for (int sig : stops_caught) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaddset(&stops, sig);
        sigaction(sig, &sa, nullptr);
    }
    sigprocmask(SIG_BLOCK, &stops, &waiting);
    for (int sig : stops_caught) {
        if (sigismember(&stops, sig))
            sigdelset(&waiting, sig);
    }
    catching = true;
}

int stop_signal()
{
    return caught;
}

const sigset_t *wait_mask()
{
    return catching ? &waiting : nullptr;
}

StopWindow::StopWindow()
{
    if (catching)
        sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

StopWindow::~StopWindow()
{
    if (catching)
        sigprocmask(SIG_BLOCK, &stops, nullptr);
}

}  // namespace tqhost
