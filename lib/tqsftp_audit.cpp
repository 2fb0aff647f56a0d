// The audit log: every change, finished transfer and most refusals become two
// messages of the device log, one under facility log audit, one under user.
#include <errno.h>
#include <string.h>

#include "tqdevice/tqlog.h"
#include "tqsftp_internal.h"

namespace {

constexpr const char *source_file = "lib/tqsftp_main";
constexpr int module = 24;
constexpr int text_arg = TQLOG_ARG_STRING;
constexpr int max_len = 0x7FFFFFFF;

// One message shape: by whether a source path is given and whether the
// operation failed.
struct Message {
    uint32_t id;
    int line[2];
    int priority[2];
};

constexpr Message one_path_ok = {0x18000A, {92, 95}, {109, 13}};
constexpr Message one_path_failed = {0x18000B, {102, 106}, {107, 11}};
constexpr Message two_paths_ok = {0x18000C, {116, 120}, {109, 13}};
constexpr Message two_paths_failed = {0x18000D, {128, 133}, {107, 11}};

int send(const Message &m, int i, const char *label, const char *source,
         const char *target, const char *error)
{
    if (source == nullptr && error == nullptr)
        return tqlog_throwMsg(source_file, m.line[i], m.id, m.priority[i],
                              module, text_arg, max_len, label, text_arg,
                              max_len, target, TQLOG_ARG_END);
    if (source == nullptr)
        return tqlog_throwMsg(source_file, m.line[i], m.id, m.priority[i],
                              module, text_arg, max_len, label, text_arg,
                              max_len, target, text_arg, max_len, error,
                              TQLOG_ARG_END);
    if (error == nullptr)
        return tqlog_throwMsg(source_file, m.line[i], m.id, m.priority[i],
                              module, text_arg, max_len, label, text_arg,
                              max_len, source, text_arg, max_len, target,
                              TQLOG_ARG_END);
    return tqlog_throwMsg(source_file, m.line[i], m.id, m.priority[i], module,
                          text_arg, max_len, label, text_arg, max_len, source,
                          text_arg, max_len, target, text_arg, max_len, error,
                          TQLOG_ARG_END);
}

}  // namespace

extern "C" {

const char *cmd_open = "Open";
const char *cmd_opendir = "Open";
const char *cmd_copy = "Copy";
const char *cmd_link = "Link";
const char *cmd_rename = "Rename";
const char *cmd_unlink = "Delete";
const char *cmd_rmdir = "Remove";
const char *cmd_mkdir = "Create";
const char *remote = "remote";

int tqsftp_log(int errnum, const char *label, const char *source,
               const char *target)
{
    int saved = errno;
    // A copy, so that the log service's own use of strerror cannot change it
    // between the two messages.
    char text[128];
    const char *error = nullptr;
    if (errnum != 0) {
        strlcpy(text, strerror(errnum), sizeof text);
        error = text;
    }
    const Message &m = source == nullptr
                           ? (errnum == 0 ? one_path_ok : one_path_failed)
                           : (errnum == 0 ? two_paths_ok : two_paths_failed);
    send(m, 0, label, source, target, error);
    int answer = send(m, 1, label, source, target, error);
    errno = saved;
    return answer;
}

}  // extern "C"
