// Stop signals: SIGTERM, SIGHUP and SIGINT end the session as a lost
// connection does, so that uploads still open are removed, not handed over.
// The handler notes the signal and counts it in an event descriptor that the
// wait for the client's next request watches too, so a signal that comes just
// before the wait still ends it; a write to the client that blocks is
// interrupted (no SA_RESTART).  Nothing is masked, so a request costs no
// system call for the signals.
#ifndef TQHOST_STOP_H
#define TQHOST_STOP_H

namespace tqhost {

// Catches the stop signals that are not ignored (sftp -D starts its server
// with SIGINT ignored, so that Ctrl-C in the client leaves it alone).
void catch_stop_signals();

// The stop signal caught, or 0.
int stop_signal();

// The descriptor that becomes readable when a stop signal comes; -1 where
// none is caught.
int stop_fd();

}  // namespace tqhost

#endif
