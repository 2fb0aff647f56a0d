// The update service's shared parts: its state folder, the job log and the
// ok and error files of the upload areas.
#ifndef TQDEVICE_UPDATE_H
#define TQDEVICE_UPDATE_H

#include <stdint.h>
#include <sys/stat.h>

#include <string>

namespace tqdev
{

constexpr const char *upd_state_dir = "/var/lib/tqupd";

// One kind of delayed install and the area whose ok and error files tell
// the client how its upload fared.
struct UpdKind {
    const char *name; // also the name of its folder under upd_state_dir
    const char *area;
    uint64_t max_size; // the largest upload taken, in bytes
};

// Why an upload (what: "the file", "the upload") with this stat cannot be
// taken, judged before it is read; "" when it can.
std::string upd_unfit(const struct stat &st, uint64_t max_size,
                      const std::string &what);

// Appends "TIME KIND NAME SIZE PARAM" to the job log: 0, or -1 with errno.
int upd_append_job(const char *kind, const std::string &name,
                   const std::string &size, const std::string &param);
// The area's ok file says text; its error file goes.
void upd_report_ok(const UpdKind &kind, const std::string &text);
// The area's error file says why name was refused; its ok file goes.
// Answers 1, the refusal.
int upd_refuse(const UpdKind &kind, const std::string &name,
               const std::string &reason);

} // namespace tqdev

#endif
