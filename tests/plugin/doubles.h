// Recording doubles for the plug-in's unit tests: the device's services, the host's
// table (the file system unless a test fails a slot), a spy on the upload actions.
#ifndef TQ_TEST_DOUBLES_H
#define TQ_TEST_DOUBLES_H

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tqsftp.h"
#include "tqsftp_internal.h"

namespace tqtest {

using Args = std::vector<std::string>;  // text arguments, "(null)" for NULL

struct Audit {  // a message of the device log; tqsftp_log sends each twice
    uint32_t id;
    Args args;
    bool operator==(const Audit &) const = default;
};
using Audits = std::vector<Audit>;

extern struct Services {
    int busy = 0, delayed = 0;  // the update service's answers
    int xml_result = 0;         // if not 0; else "XML:" and the file, in pieces of 7
    std::vector<Audit> log;  // the log double fails a test on a malformed message or pair
    Args calls;                  // every other service call, in order: "what args"
    const void *name = nullptr;  // the name's address in the last call
    int preinit = 0, invalidations = 0;
} services;

extern struct Host {
    Args calls;                              // "slot args"
    std::vector<std::pair<int, int>> opens;  // the flags and mode of each open
    std::map<std::string, int> fail;         // slot name -> errno to fail with
    tqsftp_funcs table;                      // the table handed to the entry
} host;

extern std::vector<std::string> actions;  // each call: its command's name ("closed"), a, b
std::string act(int cmd, const std::string &a = "(null)", const std::string &b = "(null)");

void clear();  // the recordings, not the answers

// What an operation did, from a clean record (errno EINTR before): its result, errno after
// a failure, the host calls, the action calls and the audit lines (one of each pair).
struct Outcome {
    long result;
    int err;
    Args host, actions;
    Audits audits;
    bool operator==(const Outcome &) const = default;
};
Outcome run(const std::function<long()> &op);

tqsftp_funcs *table(const std::string &client_path);  // the first call sets up
Audit line(int err, const char *label, const char *source, const char *target);
bool exists(const std::string &path);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);

// Set up through the entry; afterwards no registry record and no descriptor may be left.
class GuardedTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    long fds_ = 0;
};

}  // namespace tqtest

#endif
