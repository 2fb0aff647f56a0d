// Shared by the tests of the guarded operations and the profile store: a
// spy on the six upload actions, the table the entry gives for a path, the
// audit line an operation is expected to write, and a fixture that checks
// that no registry record and no descriptor outlives a test.
//
// The programs that link guarded.cpp wrap the actions with the linker
// (--wrap), so every call that goes through the access list is recorded and
// then runs the real action.
#ifndef TQ_TEST_GUARDED_H
#define TQ_TEST_GUARDED_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "doubles.h"

namespace tqtest {

struct ActionCall {
    std::string kind;  // "firmware", "sshKey", "https", "ldap", "vpn", "config"
    int cmd;
    std::string a, b;  // "(null)" for NULL
    int answer;
};

extern std::vector<ActionCall> actions;

// The commands of the recorded action calls, in order.
std::vector<int> action_cmds();

// The table the entry gives the host for a client path.
tqsftp_funcs *table(const std::string &client_path);

// The audit line that tqsftp_log(err, label, source, target) writes.
Audit line(int err, const char *label, const char *source, const char *target);

// A client path of n components "a" below prefix: resolution cannot
// normalise more than 256 components, so it yields no real path.
std::string unresolvable(const std::string &prefix, int n = 300);

bool operator==(const Audit &x, const Audit &y);
void PrintTo(const Audit &a, std::ostream *os);

// Rename and link share their rules: their tests take the slot as the
// parameter, and run for both (rename_and_link, move_name).
using MoveSlot = int (*tqsftp_funcs::*)(const char *, const char *);

struct Move {
    const char *label;      // of the audit line
    MoveSlot slot;
    const char *host_slot;  // the host's operation it calls
};

extern const Move rename_and_link[2];
std::string move_name(const ::testing::TestParamInfo<Move> &info);
void PrintTo(const Move &m, std::ostream *os);

// Set up through the entry; afterwards no record is left in the registry
// and no descriptor is left open.
class GuardedTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    int fds_ = 0;
};

class MoveTest : public GuardedTest, public ::testing::WithParamInterface<Move> {
protected:
    // Through the table the entry gives for `from`.
    int move(const char *from, const char *to);
    const char *label() const { return GetParam().label; }
};

}  // namespace tqtest

#endif
