// The user manager: a forced password change is pending while its flag file
// exists.  The entry of the plug-in asks at every call, so the answer is
// kept and the flag looked at again at most every recheck_ms: a change is
// seen within that time, and by every new session at once.
#include <sys/stat.h>

#include "tqdevice/tqusrmgr.h"
#include "files.h"

namespace
{

TQDEVICE_STARTUP_TEXT constexpr char force_flag[] = "/var/lib/tqusr/force-password";

tqdev::Every recheck(tqdev::recheck_ms);
constexpr int unknown = 2;
// The last answer: the status, or -1 - errno of a failed look-up.
std::atomic<int> known{unknown};

TQDEVICE_STARTUP int look()
{
    struct stat st;
    if (::stat(force_flag, &st) == 0)
        return 1;
    return errno == ENOENT || errno == ENOTDIR ? 0 : -1 - errno;
}

} // namespace

TQDEVICE_API TQDEVICE_STARTUP int tqusrMgr_GetForcePasswordStatus(int *status)
{
    if (status == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int answer = known.load(std::memory_order_relaxed);
    if (recheck.due() || answer == unknown) {
        answer = look();
        known.store(answer, std::memory_order_relaxed);
    }
    if (answer < 0) {
        errno = -1 - answer;
        return -1;
    }
    *status = answer;
    return 0;
}
