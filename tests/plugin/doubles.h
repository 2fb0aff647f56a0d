// Recording doubles for the plug-in's unit tests: the device's services and
// the host's table of operations.  Each records what it received; answers can
// be set per test.  The host's operations act on the real file system of the
// device root unless a test makes a slot fail.
#ifndef TQ_TEST_DOUBLES_H
#define TQ_TEST_DOUBLES_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tqsftp.h"
#include "tqsftp_internal.h"

namespace tqtest {

// One message handed to the log service.
struct LogMessage {
    std::string file;
    int line;
    uint32_t id;
    int priority;
    int module;
    std::vector<std::string> args;   // the texts, in order ("(null)" for NULL)
    bool well_formed;                // every triple had type 3, max 0x7FFFFFFF
};

// One audit line: the pair of messages tqsftp_log sends, folded back into
// its arguments (the first message's id and texts).
struct Audit {
    uint32_t id;
    std::vector<std::string> args;
};

// One call of a service or of the host, with its text arguments.
struct Call {
    std::string what;                // "busy", "firmwareDelayed", "open", ...
    std::vector<std::string> args;   // text arguments ("(null)" for NULL)
    int flags = 0;                   // open flags / mode where they apply
    int mode = 0;
    const void *name = nullptr;      // the name's address (update service)
};

struct Services {
    // Answers.
    int force_password_result = 0;  // tqusrMgr_GetForcePasswordStatus result
    int force_password_status = 0;   // ... and the status it reports
    int force_password_errno = 0;    // ... and errno it leaves, when not 0
    int busy = 0;                    // tqupd_busy
    int delayed = 0;                 // every delayed install
    int change_filename = 0;
    // The XML service: delivers "XML:" and then the file's bytes to the sink
    // in pieces of `xml_piece`; answers `xml_result` instead when not 0.
    int xml_result = 0;
    uint32_t xml_piece = 7;
    // Recorded.
    std::vector<LogMessage> log;
    std::vector<Call> calls;  // every service call but the log, in order
    int preinit = 0;
    int force_password_seen = -1;       // *status when the user manager is asked
    std::function<void()> on_preinit;   // run inside tqlog_preInit when set
    int invalidations = 0;
    std::vector<std::string> xml_args;  // the fixed args of the last XML call
};

extern Services services;

// The host's table: real operations, recorded; a slot can be made to fail.
struct Host {
    std::vector<Call> calls;
    std::map<std::string, int> fail;  // slot name -> errno to fail with
    tqsftp_funcs table;               // the table handed to the entry
};

extern Host host;

// Resets the recordings (not the answers).
void clear();
// The audit lines recorded so far (pairs folded; see Audit).
std::vector<Audit> audits();
// Host calls of one slot.
std::vector<Call> host_calls(const std::string &slot);
// Service calls of one kind.
std::vector<Call> service_calls(const std::string &what);

// Performs the set-up through the entry with the host table above.
void set_up();

// File helpers in the device root.
bool exists(const std::string &path);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
int open_fds();  // descriptors open in this process

}  // namespace tqtest

#endif
