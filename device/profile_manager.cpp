// The profile manager: every request to drop its cache of profiles is
// recorded, one line each, so that the refreshes can be counted.
#include "tqdevice/tqprofile.h"
#include "files.h"

namespace
{

constexpr const char *state_dir = "/var/lib/tqprofile";
constexpr const char *invalidations = "/var/lib/tqprofile/invalidations";

int record(int a, int b, int c)
{
    if (tqdev::make_dirs(state_dir, 0755) < 0)
        return -1;
    return tqdev::append_text(
        invalidations, tqdev::utc_time(false) + " " + std::to_string(a) + " " +
                           std::to_string(b) + " " + std::to_string(c) + "\n");
}

} // namespace

TQDEVICE_API int tq2FMProfileEntry_invalidateCache(int a, int b, int c)
{
    return tqdev::guarded(-1, [&] { return record(a, b, c); });
}
