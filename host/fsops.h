// The host's own table of the twelve file operations, on the real file
// system.  No operation follows a symbolic link anywhere in its path: such a
// path fails with EACCES.  A link itself can still be listed, stat'ed (as a
// link), removed and renamed, which changes nothing outside the tree.
#ifndef TQHOST_FSOPS_H
#define TQHOST_FSOPS_H

#include <errno.h>
#include <unistd.h>

#include <utility>

#include "tqsftp.h"

namespace tqhost {

// A descriptor owned by its holder; closing keeps errno.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&o) noexcept
    {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Fd()
    {
        if (fd_ >= 0) {
            int e = errno;
            ::close(fd_);
            errno = e;
        }
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// The table passed to the plug-in on every call.
const tqsftp_funcs *host_funcs();

// Closes a directory handle from the table's opendir (the table has no slot
// for it; the handle is the host's own).
void close_dir(void *dir);

// Forgets what the operations kept for the request just performed.
void end_of_request();

// From now on the table's close reports failure (ECONNABORTED) after closing
// the descriptor: set when the client has gone away, so that the plug-in
// treats every transfer still open as failed.
void set_connection_aborted(bool aborted);

// How paths are checked: openat2(RESOLVE_NO_SYMLINKS) where the kernel has
// it, else a walk that opens one component at a time.  The walk can be forced
// (tests); probing picks openat2 when it works.
enum class Resolver { probe, openat2, walk };
void set_resolver(Resolver r);
Resolver resolver();

}  // namespace tqhost

#endif
