// Stop signals: SIGTERM, SIGHUP and SIGINT end the session as a lost
// connection does, so that uploads still open are removed, not handed over.
// The handler only notes the signal.  The signals stay blocked but where the
// server waits for the client (ppoll with wait_mask()) or writes to it
// (within a StopWindow), so a wait or a write that blocks is interrupted
// and no signal comes between a look at stop_signal() and the wait.
#ifndef TQHOST_STOP_H
#define TQHOST_STOP_H

#include <signal.h>

namespace tqhost {

// Catches the stop signals that are not ignored (sftp -D starts its server
// with SIGINT ignored, so that Ctrl-C in the client leaves it alone).
void catch_stop_signals();

// The stop signal caught, or 0.
int stop_signal();

// The signal mask to wait with; null where no signal is caught.
const sigset_t *wait_mask();

// Stop signals are delivered while it lives.
class StopWindow {
public:
    StopWindow();
    ~StopWindow();
    StopWindow(const StopWindow &) = delete;
    StopWindow &operator=(const StopWindow &) = delete;
};

}  // namespace tqhost

#endif
