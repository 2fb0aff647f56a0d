// The user manager: a forced password change is pending while its flag file
// exists.
#include <sys/stat.h>

#include "tqdevice/tqusrmgr.h"
#include "util.h"

namespace
{

constexpr const char *force_flag = "/var/lib/tqusr/force-password";

} // namespace

TQDEVICE_API int tqusrMgr_GetForcePasswordStatus(int *status)
{
    if (status == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (::stat(force_flag, &st) == 0) {
        *status = 1;
        return 0;
    }
    if (errno != ENOENT && errno != ENOTDIR)
        return -1;
    *status = 0;
    return 0;
}
