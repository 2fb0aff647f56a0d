// Rename and link: one driver for every area.  Both paths lie in one area,
// names that a live upload holds are left alone, the host moves the file, and
// one audit line tells the outcome.  What an area adds (refusals before the
// host is asked, what follows its answer) is a row of rules that the table's
// slot chooses: tqsftp_rename and tqsftp_link take the areas' rules, the
// profile store's slots the store's.
#include <errno.h>
#include <string.h>

#include "tqsftp_internal.h"

namespace {

// Whether a live upload holds one of the names (either may be NULL), with the
// upload folder locked until the change is made or refused.
bool held(const tqsftp_access *row, const char *a, const char *b)
{
    return (a != nullptr && tqsftp_upload_busy(row, a)) ||
           (b != nullptr && tqsftp_upload_busy(row, b));
}

// In an upload area a second name for an upload would outlive its hand-over,
// and a renamed upload must keep a name that fits its block.
int area_refusal(const tqsftp_access *area, const tqsftp::MoveOp &op,
                 const char *, const char *new_real)
{
    if (area->action == nullptr)
        return 0;
    if (op.makes_link)
        return EPERM;
    if (new_real != nullptr && strlen(new_real) >= TQSFTP_NAME_SIZE)
        return ENAMETOOLONG;
    return 0;
}

// The area's action is told of a move that the host made; its answer changes
// nothing.
int area_after(const tqsftp_access *area, int r, const char *old_real,
               const char *new_real)
{
    if (r == 0 && area->action != nullptr)
        area->action(TQSFTP_ACT_RENAME, old_real, new_real);
    return r;
}

}  // namespace

namespace tqsftp {

const MoveOp renaming = {host_rename, &cmd_rename, false};
const MoveOp linking = {host_link, &cmd_link, true};
const MoveRules area_moves = {area_refusal, area_after};

int move(const MoveRules &rules, const MoveOp &op, const char *old_path,
         const char *new_path)
{
    RealPath old_real, new_real;
    const tqsftp_access *from = tqsftp_resolve(old_path, old_real.out());
    const tqsftp_access *to = tqsftp_resolve(new_path, new_real.out());
    UploadLock names(from);
    int e = from != to ? EPERM : rules.refusal(from, op, old_real.get(), new_real.get());
    if (e == 0 && held(from, old_real.get(), new_real.get()))
        e = EBUSY;
    int r = -1;
    if (e == 0) {
        r = op.host(old_real.get(), new_real.get());
        r = rules.after(from, r, old_real.get(), new_real.get());
        e = r < 0 ? errno : 0;
    }
    errno = e;
    tqsftp_log(e, *op.label, old_path, new_path);
    return r;
}

}  // namespace tqsftp
