#include "guarded.h"

#include <string.h>

namespace tqtest {

std::vector<ActionCall> actions;

std::vector<int> action_cmds()
{
    std::vector<int> out;
    for (const ActionCall &c : actions)
        out.push_back(c.cmd);
    return out;
}

tqsftp_funcs *table(const std::string &client_path)
{
    return tqsftp_get_sftp_func_cb(client_path.c_str(), &host.table);
}

Audit line(int err, const char *label, const char *source, const char *target)
{
    uint32_t id = 0x18000A + (source ? 2 : 0) + (err ? 1 : 0);
    std::vector<std::string> args{label};
    if (source)
        args.push_back(source);
    args.push_back(target);
    if (err)
        args.push_back(strerror(err));
    return Audit{id, args};
}

std::string unresolvable(const std::string &prefix, int n)
{
    std::string p = prefix;
    for (int i = 0; i < n; i++)
        p += "/a";
    return p;
}

bool operator==(const Audit &x, const Audit &y)
{
    return x.id == y.id && x.args == y.args;
}

void PrintTo(const Audit &a, std::ostream *os)
{
    *os << "0x" << std::hex << a.id << std::dec;
    for (const std::string &s : a.args)
        *os << " \"" << s << '"';
}

void GuardedTest::SetUp()
{
    set_up();
    actions.clear();
    fds_ = open_fds();
}

void GuardedTest::TearDown()
{
    EXPECT_EQ(tqsftp_state.files, nullptr) << "a registry record was left";
    EXPECT_EQ(open_fds(), fds_) << "a descriptor was left open";
}

const Move rename_and_link[2] = {
    {"Rename", &tqsftp_funcs::rename, "rename"},
    {"Link", &tqsftp_funcs::link, "link"},
};

std::string move_name(const ::testing::TestParamInfo<Move> &info)
{
    return info.param.label;
}

void PrintTo(const Move &m, std::ostream *os) { *os << m.label; }

int MoveTest::move(const char *from, const char *to)
{
    return (table(from)->*GetParam().slot)(from, to);
}

namespace {

using Action = int (*)(int, const char *, const char *);

int spy(const char *kind, Action real, int cmd, const char *a, const char *b)
{
    auto text = [](const char *s) { return std::string(s ? s : "(null)"); };
    ActionCall call{kind, cmd, text(a), text(b), 0};
    call.answer = real(cmd, a, b);
    actions.push_back(call);
    return call.answer;
}

}  // namespace
}  // namespace tqtest

#define TQ_SPY(name)                                                         \
    extern "C" int __real_tqsftp_##name##_action(int, const char *,          \
                                                 const char *);              \
    extern "C" int __wrap_tqsftp_##name##_action(int c, const char *a,       \
                                                 const char *b)              \
    {                                                                        \
        return tqtest::spy(#name, __real_tqsftp_##name##_action, c, a, b);   \
    }

TQ_SPY(firmware)
TQ_SPY(sshKey)
TQ_SPY(https)
TQ_SPY(ldap)
TQ_SPY(vpn)
TQ_SPY(config)
