// The guarded open and close: admission rules, the registry record, the
// upload actions, the profile refresh and the one "Copy" line per transfer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "alloc_failures.h"
#include "guarded.h"

using namespace tqtest;

namespace {

constexpr int W = O_WRONLY | O_CREAT | O_TRUNC;
const std::string name32 = std::string(28, 'p') + ".xml";
const std::string name33 = std::string(29, 'p') + ".xml";

using Audits = std::vector<Audit>;

const char *fw_client_path() { return "/upload/firmware/fw.bin"; }

Audits open_refused(int err, const std::string &client)
{
    return {line(err, cmd_open, nullptr, client.c_str())};
}

// Checks a refused open: nothing reached the host's open, one "Open" line.
void expect_refused(const std::string &client, int flags, int err)
{
    clear();
    actions.clear();
    errno = 0;
    EXPECT_EQ(table(client)->open(client.c_str(), flags, 0644), -1);
    EXPECT_EQ(errno, err);
    EXPECT_TRUE(host_calls("open").empty());
    EXPECT_EQ(audits(), open_refused(err, client));
}

using Open = GuardedTest;

TEST_F(Open, ExclusiveCreationOfAnExistingPathFailsBeforeAnyRecordOrAction)
{
    mkdir("/sd/cfg", 0755);
    const char *cases[][2] = {
        {"/usb/a.bin", "/usb0/a.bin"},
        {"/sd/cfg/a.xml", "/sd/cfg/a.xml"},
        {"/upload/firmware/fw.bin", "/tmp/sftp/upload/firmware/fw.bin"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c[0]);
        write_file(c[1], "old");
        expect_refused(c[0], O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, EEXIST);
        EXPECT_EQ(host_calls("stat").at(0).args, std::vector<std::string>{c[1]});
        EXPECT_TRUE(actions.empty());
        EXPECT_TRUE(service_calls("busy").empty());
        EXPECT_EQ(read_file(c[1]), "old");
    }
}

TEST_F(Open, HostReceivesTheRealPathAndTheFlagsAndModeUnchanged)
{
    int flags = O_WRONLY | O_CREAT | O_EXCL;
    int fd = table("/USB/Dir/../New.bin")->open("/USB/Dir/../New.bin", flags, 0640);
    ASSERT_GE(fd, 0);
    Call c = host_calls("open").at(0);
    EXPECT_EQ(c.args, std::vector<std::string>{"/usb0/New.bin"});
    EXPECT_EQ(c.flags, flags);
    EXPECT_EQ(c.mode, 0640);
    EXPECT_TRUE(audits().empty()) << "a successful open is not logged";
    ASSERT_NE(tqsftp_state.files, nullptr);
    EXPECT_EQ(tqsftp_state.files->fd, fd);
    EXPECT_EQ(tqsftp_funcs_full.close(fd), 0);
}

TEST_F(Open, UnresolvablePathFailsWithEnomemBeforeAnything)
{
    std::string p = unresolvable("/usb");
    for (tqsftp_funcs *t : {&tqsftp_funcs_full, &tqsftp_funcs_readonly}) {
        clear();
        errno = 0;
        EXPECT_EQ(t->open(p.c_str(), O_RDONLY, 0), -1);
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_TRUE(host.calls.empty());
        EXPECT_EQ(audits(), open_refused(ENOMEM, p));
    }
}

TEST_F(Open, EveryAllocationFailureFailsCleanlyWithEnomem)
{
    tqsftp_funcs *t = table(fw_client_path());
    for (int n = 0;; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        clear();
        actions.clear();
        int fd;
        bool failed;
        {
            FailAllocation f(n);
            fd = t->open(fw_client_path(), O_WRONLY | O_CREAT, 0600);
            failed = f.allocations() > n;
        }
        if (!failed) {
            ASSERT_GE(fd, 0);
            EXPECT_EQ(t->close(fd), 0);
            break;
        }
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_TRUE(host_calls("open").empty());
        EXPECT_TRUE(actions.empty()) << "refused before the action is asked";
        EXPECT_EQ(audits(), open_refused(ENOMEM, fw_client_path()));
        EXPECT_EQ(tqsftp_state.files, nullptr);
    }
}

// The profile folders of removable media hold at most 20 profiles: names
// that match "^[-a-zA-Z0-9_]+\.xml$" and have at most 32 characters.
struct LimitCase {
    const char *what;
    std::vector<std::string> extra;  // besides 19 profiles; "x/" is a folder
    std::string open;                // below the profile folder
    int flags;
    int err;  // 0: the open goes ahead
};

const LimitCase limit_cases[] = {
    {"names that do not count",
     {"A.XML", "my profile.xml", "a.xml.bak", name33, "b.xmL", ".xml"},
     "new.xml", W, 0},
    {"a 32-character profile name counts", {name32}, "new.xml", W, EPERM},
    {"a folder with a profile name counts", {"d.xml/"}, "new.xml", W, EPERM},
    {"the 20th profile is refused", {"p19.xml"}, "new.xml", W, EPERM},
    {"overwriting at 20 is refused", {"p19.xml"}, "p00.xml", W, EPERM},
    {"a sub-folder counts the profile folder", {"p19.xml", "sub/"},
     "sub/new.xml", W, EPERM},
    {"read-write is not limited", {"p19.xml"}, "new.xml",
     O_RDWR | O_CREAT | O_TRUNC, 0},
    {"without truncation is not limited", {"p19.xml"}, "new.xml",
     O_WRONLY | O_CREAT, 0},
    {"exclusive creation is tested first", {"p19.xml"}, "p00.xml",
     W | O_EXCL, EEXIST},
};

struct Medium {
    const char *client;  // the profile folder
    const char *real;
};

void PrintTo(const LimitCase &c, std::ostream *os) { *os << c.what; }
void PrintTo(const Medium &m, std::ostream *os) { *os << m.client; }

class ProfileLimit
    : public GuardedTest,
      public ::testing::WithParamInterface<std::tuple<Medium, LimitCase>> {};

TEST_P(ProfileLimit, Applies)
{
    auto [medium, c] = GetParam();
    std::string folder = medium.real;
    mkdir(folder.c_str(), 0755);
    for (int i = 0; i < 19; i++) {
        char name[16];
        snprintf(name, sizeof name, "p%02d.xml", i);
        write_file(folder + "/" + name, "old");
    }
    for (const std::string &x : c.extra) {
        if (x.back() == '/')
            mkdir((folder + "/" + x).c_str(), 0755);
        else
            write_file(folder + "/" + x, "old");
    }
    std::string client = std::string(medium.client) + "/" + c.open;
    std::string real = folder + "/" + c.open;
    bool existed = exists(real);
    if (c.err != 0) {
        expect_refused(client, c.flags, c.err);
        EXPECT_EQ(exists(real), existed);
        EXPECT_EQ(read_file(real), existed ? "old" : "");
        return;
    }
    int fd = table(client)->open(client.c_str(), c.flags, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(host_calls("open").at(0).args, std::vector<std::string>{real});
    EXPECT_EQ(table(client)->close(fd), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Media, ProfileLimit,
    ::testing::Combine(::testing::Values(Medium{"/usb/cfg", "/usb0/cfg"},
                                         Medium{"/sd/cfg", "/sd/cfg"}),
                       ::testing::ValuesIn(limit_cases)),
    [](const auto &info) {
        std::string n = std::string(std::get<0>(info.param).real) + " " +
                        std::get<1>(info.param).what;
        for (char &ch : n)
            if (!isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return n;
    });

TEST_F(Open, ProfileLimitNeedsTheProfileFolderAndOnlyThere)
{
    // No profile folder to count: refused, though the host could create it.
    expect_refused("/usb/cfg/new.xml", W, EPERM);
    expect_refused("/usb/cfgold.xml", W, EPERM);  // the same entry

    // The medium's own top folder is not limited.
    for (int i = 0; i < 25; i++)
        write_file("/usb0/p" + std::to_string(i) + ".xml", "");
    clear();
    int fd = table("/usb/new.xml")->open("/usb/new.xml", W, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tqsftp_funcs_full.close(fd), 0);
}

// Reads and writes of read-only areas: only a plain read-only open passes.
TEST_F(Open, ReadOnlyTableRefusesEveryOpenThatCouldChangeAFile)
{
    write_file("/flash/cfg/profile.cur", "office\n");
    const char *paths[] = {"/nv/cfg/profile.cur", "/nv/cfg/status",
                           "/upload/firmware/help", "/usb"};
    const int flags[] = {O_WRONLY, O_RDWR, W, O_RDONLY | O_CREAT,
                         O_RDONLY | O_TRUNC, O_RDONLY | O_CREAT | O_EXCL};
    std::string help = read_file("/tmp/sftp/upload/firmware/help");
    for (const char *p : paths) {
        for (int f : flags) {
            SCOPED_TRACE(std::string(p) + " flags " + std::to_string(f));
            expect_refused(p, f, EPERM);
            EXPECT_TRUE(host.calls.empty());
        }
    }
    EXPECT_EQ(read_file("/flash/cfg/profile.cur"), "office\n");
    EXPECT_FALSE(exists("/tmp/sftp/nv/cfg/status"));
    EXPECT_EQ(read_file("/tmp/sftp/upload/firmware/help"), help);

    clear();
    tqsftp_funcs *t = table("/nv/cfg/profile.cur");
    int fd = t->open("/nv/cfg/profile.cur", O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(host_calls("open").at(0).args,
              std::vector<std::string>{"/flash/cfg/profile.cur"});
    char buf[16] = {};
    EXPECT_EQ(t->read(fd, buf, sizeof buf, 0), 7);
    EXPECT_EQ(t->close(fd), 0);
    EXPECT_EQ(audits(), Audits{line(0, cmd_copy, "/nv/cfg/profile.cur", remote)});
}

using Upload = GuardedTest;

const char *const fw_client = "/upload/firmware/site_1.xml";
const char *const fw_real = "/tmp/sftp/upload/firmware/site_1.xml";

TEST_F(Upload, ActionSeesTheWholeTransferAndTheCloseRefreshesProfiles)
{
    tqsftp_funcs *t = table(fw_client);
    int fd = t->open(fw_client, W, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(action_cmds(), (std::vector<int>{TQSFTP_ACT_START, TQSFTP_ACT_OPENED}));
    for (const ActionCall &a : actions) {
        EXPECT_EQ(a.kind, "firmware");
        EXPECT_EQ(a.a, fw_real);
        EXPECT_EQ(a.b, "(null)");
    }
    EXPECT_EQ(host_calls("open").at(0).flags, W);
    EXPECT_TRUE(audits().empty());
    EXPECT_EQ(t->write(fd, "image", 5, 0), 5);

    actions.clear();
    EXPECT_EQ(t->close(fd), 0);
    ASSERT_EQ(action_cmds(), std::vector<int>{TQSFTP_ACT_CLOSED});
    EXPECT_EQ(actions[0].a, fw_real);
    ASSERT_EQ(service_calls("firmwareDelayed").size(), 1u);
    EXPECT_EQ(service_calls("firmwareDelayed")[0].args[0], fw_real);
    EXPECT_EQ(services.invalidations, 1);
    EXPECT_EQ(audits(), Audits{line(0, cmd_copy, remote, fw_client)});
    EXPECT_EQ(read_file(fw_real), "image");
}

TEST_F(Upload, BusyUpdateServiceRefusesWithoutTheHostsOpen)
{
    services.busy = 1;
    expect_refused(fw_client, W, EPERM);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].cmd, TQSFTP_ACT_START);
    EXPECT_NE(actions[0].answer, 0);
    EXPECT_FALSE(exists(fw_real));
}

TEST_F(Upload, ReadOnlyOpenOfAnUploadAreaCallsNoAction)
{
    services.busy = 1;
    write_file(fw_real, "image");
    tqsftp_funcs *t = table(fw_client);
    int fd = t->open(fw_client, O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(t->close(fd), 0);
    EXPECT_TRUE(actions.empty());
    EXPECT_TRUE(service_calls("busy").empty());
    EXPECT_EQ(services.invalidations, 0);
    EXPECT_EQ(audits(), Audits{line(0, cmd_copy, fw_client, remote)});
}

TEST_F(Upload, FailingHostOpenGivesActionTwoAndTheHostsResult)
{
    host.fail["open"] = ENOSPC;
    errno = 0;
    EXPECT_EQ(table(fw_client)->open(fw_client, W, 0600), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(host_calls("open").size(), 1u);
    EXPECT_EQ(audits(), open_refused(ENOSPC, fw_client));
    EXPECT_EQ(action_cmds(), (std::vector<int>{TQSFTP_ACT_START, TQSFTP_ACT_OPEN_FAILED}));
    EXPECT_EQ(actions.back().a, fw_real);
}

TEST_F(Upload, FailingHostCloseGivesActionFourAndACopyLineWithTheError)
{
    tqsftp_funcs *t = table(fw_client);
    int fd = t->open(fw_client, W, 0600);
    ASSERT_GE(fd, 0);
    actions.clear();
    clear();
    host.fail["close"] = EIO;
    errno = 0;
    EXPECT_EQ(t->close(fd), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(action_cmds(), std::vector<int>{TQSFTP_ACT_CLOSE_FAILED});
    EXPECT_FALSE(exists(fw_real)) << "action 4 drops the upload";
    EXPECT_TRUE(service_calls("firmwareDelayed").empty());
    EXPECT_EQ(services.invalidations, 0);
    EXPECT_EQ(audits(), Audits{line(EIO, cmd_copy, remote, fw_client)});
}

using Close = GuardedTest;

TEST_F(Close, DescriptorWithoutRecordIsOnlyClosedByTheHost)
{
    int fd = ::open("/usb0", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tqsftp_funcs_deny.close(fd), 0);
    EXPECT_EQ(host_calls("close").size(), 1u);
    errno = 0;
    EXPECT_EQ(tqsftp_funcs_deny.close(fd), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(audits().empty());
    EXPECT_TRUE(actions.empty());
}

// The refresh after a close depends only on the kind of the open (a
// write-only one) and the base name of the real path, not on the area.
struct RefreshCase {
    std::string client, real;
    int flags;
    int refreshes;
};

TEST_F(Close, RefreshesProfilesByKindAndBaseName)
{
    mkdir("/usb0/cfg", 0755);
    const RefreshCase cases[] = {
        {"/usb/site_1.xml", "/usb0/site_1.xml", O_WRONLY, 1},
        {"/usb/cfg/site-2.xml", "/usb0/cfg/site-2.xml", W, 1},
        {"/usb/" + name32, "/usb0/" + name32, O_WRONLY, 1},
        {"/upload/ssh-key/k.xml", "/tmp/sftp/upload/ssh-key/k.xml", O_WRONLY, 1},
        {"/usb/" + name33, "/usb0/" + name33, O_WRONLY, 0},
        {"/usb/site.txt", "/usb0/site.txt", O_WRONLY, 0},
        {"/usb/SITE.XML", "/usb0/SITE.XML", O_WRONLY, 0},
        {"/usb/my site.xml", "/usb0/my site.xml", O_WRONLY, 0},
        {"/usb/site_1.xml", "/usb0/site_1.xml", O_RDWR, 0},
        {"/usb/site_1.xml", "/usb0/site_1.xml", O_RDONLY, 0},
    };
    for (const RefreshCase &c : cases) {
        SCOPED_TRACE(c.client + " flags " + std::to_string(c.flags));
        write_file(c.real, "data");
        tqsftp_funcs *t = table(c.client);
        int fd = t->open(c.client.c_str(), c.flags, 0644);
        ASSERT_GE(fd, 0);
        clear();
        EXPECT_EQ(t->close(fd), 0);
        EXPECT_EQ(services.invalidations, c.refreshes);
        for (const Call &inv : service_calls("invalidate"))
            EXPECT_EQ(inv.args, (std::vector<std::string>{"0", "0", "0"}));
        const char *p = c.client.c_str();
        Audit copy = (c.flags & O_ACCMODE) == O_RDONLY
                         ? line(0, cmd_copy, p, remote)
                         : line(0, cmd_copy, remote, p);
        EXPECT_EQ(audits(), Audits{copy});
    }
}

TEST_F(Close, FailedCloseOfAProfileInAnAreaWithoutActionDoesNotRefresh)
{
    tqsftp_funcs *t = table("/usb/site.xml");
    int fd = t->open("/usb/site.xml", W, 0644);
    ASSERT_GE(fd, 0);
    host.fail["close"] = EIO;
    EXPECT_EQ(t->close(fd), -1);
    EXPECT_EQ(services.invalidations, 0);
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(audits(), Audits{line(EIO, cmd_copy, remote, "/usb/site.xml")});
}

}  // namespace
