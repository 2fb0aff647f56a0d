// The guarded open and close: admission rules, the registry record, the
// upload actions, the profile refresh and the one "Copy" line per transfer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "doubles.h"

using namespace tqtest;

namespace {

constexpr int W = O_WRONLY | O_CREAT | O_TRUNC;
const std::string name32 = std::string(28, 'p') + ".xml", name33 = "p" + name32;
const char *const fw_client = "/upload/firmware/site_1.xml";
const std::string fw_real = "/tmp/sftp/upload/firmware/site_1.xml";

long open_(const std::string &client, int flags, tqsftp_funcs *t = nullptr)
{
    return (t ? t : table(client))->open(client.c_str(), flags, 0644);
}

// A refused open: no host open, one "Open" line.
Outcome refused(const std::string &client, int err, Args host = {}, Args actions = {})
{
    return {-1, err, host, actions, {line(err, cmd_open, nullptr, client.c_str())}};
}

using Open = GuardedTest;

// An exclusive creation of an existing path fails before any record is made
// or any action asked; of a new path, the host's open gets the real path, the
// flags and the mode unchanged.  A successful open is not logged.
TEST_F(Open, ExclusiveCreationAndWhatTheHostReceives)
{
    mkdir("/sd/cfg", 0755);
    for (auto [client, real] : {std::pair{"/sd/cfg/a.xml", "/sd/cfg/a.xml"},
                                {"/upload/firmware/fw.bin", "/tmp/sftp/upload/firmware/fw.bin"}}) {
        write_file(real, "old");
        EXPECT_EQ(run([&] { return open_(client, W | O_EXCL); }),
                  refused(client, EEXIST, {"stat " + std::string(real)}));
        EXPECT_TRUE(service_calls("busy").empty());
        EXPECT_EQ(read_file(real), "old");
    }
    int flags = O_WRONLY | O_CREAT | O_EXCL;
    const char *client = "/USB/Dir/../New.bin";
    Outcome o = run([&] { return table(client)->open(client, flags, 0640); });
    int fd = static_cast<int>(o.result);
    EXPECT_EQ(o, (Outcome{fd, 0, {"stat /usb0/New.bin", "open /usb0/New.bin"}, {}, {}}));
    EXPECT_EQ(host.calls[1].flags, flags);
    EXPECT_EQ(host.calls[1].mode, 0640);
    ASSERT_NE(tqsftp_state.files, nullptr);
    EXPECT_EQ(tqsftp_state.files->fd, fd);
    EXPECT_EQ(tqsftp_funcs_full.close(fd), 0);
}

// A path that cannot be resolved, and any allocation that fails, fail the
// open with ENOMEM before anything else.
TEST_F(Open, ExhaustedMemoryFailsWithEnomemBeforeAnything)
{
    std::string p = unresolvable("/usb");
    for (tqsftp_funcs *t : {&tqsftp_funcs_full, &tqsftp_funcs_readonly})
        EXPECT_EQ(run([&] { return open_(p, O_RDONLY, t); }), refused(p, ENOMEM));
    const char *client = "/upload/firmware/fw.bin";
    tqsftp_funcs *t = table(client);
    for (int n = 0;; n++) {
        bool failed;
        Outcome o = run([&] {
            FailAllocation f(n);
            long fd = open_(client, O_WRONLY | O_CREAT, t);
            failed = f.allocations() > n;
            return fd;
        });
        if (!failed) {
            EXPECT_EQ(t->close(static_cast<int>(o.result)), 0);
            break;
        }
        EXPECT_EQ(o, refused(client, ENOMEM)) << "allocation " << n;
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

void PrintTo(const LimitCase &c, std::ostream *os) { *os << c.what; }

const LimitCase limit_cases[] = {
    {"names_that_do_not_count", {"A.XML", "my profile.xml", "a.xml.bak", name33, "b.xmL", ".xml"},
     "new.xml", W, 0},
    {"a_32_character_name_counts", {name32}, "new.xml", W, EPERM},
    {"a_folder_counts", {"d.xml/"}, "new.xml", W, EPERM},
    {"the_20th_is_refused", {"p19.xml"}, "new.xml", W, EPERM},
    {"overwriting_at_20_is_refused", {"p19.xml"}, "p00.xml", W, EPERM},
    {"a_sub_folder_counts_the_profile_folder", {"p19.xml", "sub/"}, "sub/new.xml", W, EPERM},
    {"read_write_is_not_limited", {"p19.xml"}, "new.xml", O_RDWR | O_CREAT | O_TRUNC, 0},
    {"without_truncation_is_not_limited", {"p19.xml"}, "new.xml", O_WRONLY | O_CREAT, 0},
    {"exclusive_creation_comes_first", {"p19.xml"}, "p00.xml", W | O_EXCL, EEXIST},
};

class ProfileLimit : public GuardedTest,
                     public ::testing::WithParamInterface<std::tuple<const char *, LimitCase>> {};

TEST_P(ProfileLimit, Applies)
{
    auto [medium, c] = GetParam();  // the client's profile folder
    std::string folder = medium == std::string("/usb/cfg") ? "/usb0/cfg" : "/sd/cfg";
    mkdir(folder.c_str(), 0755);
    for (int i = 0; i < 19; i++)
        write_file(folder + "/p" + (i < 10 ? "0" : "") + std::to_string(i) + ".xml", "old");
    for (const std::string &x : c.extra)
        x.back() == '/' ? (void)mkdir((folder + "/" + x).c_str(), 0755)
                        : write_file(folder + "/" + x, "old");
    std::string client = std::string(medium) + "/" + c.open, real = folder + "/" + c.open;
    bool existed = exists(real);
    Outcome o = run([&] { return open_(client, c.flags); });
    EXPECT_EQ(read_file(real), c.err && existed ? "old" : "");
    EXPECT_EQ(exists(real), existed || !c.err);
    if (c.err == 0) {
        EXPECT_EQ(o.host, Args{"open " + real});
        EXPECT_EQ(table(client)->close(static_cast<int>(o.result)), 0);
    } else {
        EXPECT_EQ(o, refused(client, c.err, c.err == EEXIST ? Args{"stat " + real} : Args{}));
    }
}

INSTANTIATE_TEST_SUITE_P(Media, ProfileLimit,
                         ::testing::Combine(::testing::Values("/usb/cfg", "/sd/cfg"),
                                            ::testing::ValuesIn(limit_cases)),
                         [](const auto &info) {
                             std::string m = std::get<0>(info.param);
                             return m.substr(1, m.find('/', 1) - 1) + "_" +
                                    std::get<1>(info.param).what;
                         });

TEST_F(Open, ProfileLimitNeedsTheProfileFolderAndOnlyThere)
{
    // No profile folder to count: refused, though the host could create it;
    // "/usb/cfgold.xml" belongs to the same entry.
    for (const char *p : {"/usb/cfg/new.xml", "/usb/cfgold.xml"})
        EXPECT_EQ(run([&] { return open_(p, W); }), refused(p, EPERM));

    // The medium's own top folder is not limited.
    for (int i = 0; i < 25; i++)
        write_file("/usb0/p" + std::to_string(i) + ".xml", "");
    int fd = table("/usb/new.xml")->open("/usb/new.xml", W, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tqsftp_funcs_full.close(fd), 0);
}

// Read-only areas: only a plain read-only open passes, and behaves as the
// guarded open.
TEST_F(Open, ReadOnlyTableRefusesEveryOpenThatCouldChangeAFile)
{
    write_file("/flash/cfg/profile.cur", "office\n");
    for (const char *p : {"/nv/cfg/profile.cur", "/nv/cfg/status"})
        for (int f : {O_WRONLY, O_RDWR, W, O_RDONLY | O_CREAT, O_RDONLY | O_TRUNC,
                      O_RDONLY | O_CREAT | O_EXCL})
            EXPECT_EQ(run([&] { return open_(p, f); }), refused(p, EPERM)) << p << " flags " << f;
    EXPECT_EQ(read_file("/flash/cfg/profile.cur"), "office\n");
    EXPECT_FALSE(exists("/tmp/sftp/nv/cfg/status"));

    tqsftp_funcs *t = table("/nv/cfg/profile.cur");
    Outcome o = run([&] { return open_("/nv/cfg/profile.cur", O_RDONLY); });
    EXPECT_EQ(o.host, Args{"open /flash/cfg/profile.cur"});
    char buf[16] = {};
    EXPECT_EQ(t->read(static_cast<int>(o.result), buf, sizeof buf, 0), 7);
    EXPECT_EQ(run([&] { return t->close(static_cast<int>(o.result)); }).audits,
              Audits{line(0, cmd_copy, "/nv/cfg/profile.cur", remote)});
}

using Upload = GuardedTest;

TEST_F(Upload, ActionSeesTheWholeTransferAndTheCloseRefreshesProfiles)
{
    tqsftp_funcs *t = table(fw_client);
    Outcome o = run([&] { return open_(fw_client, W); });
    EXPECT_EQ(o, (Outcome{o.result, 0, {"open " + fw_real},
                          {"0 " + fw_real + " (null)", "1 " + fw_real + " (null)"}, {}}));
    EXPECT_EQ(host.calls[0].flags, W);
    int fd = static_cast<int>(o.result);
    EXPECT_EQ(t->write(fd, "image", 5, 0), 5);

    EXPECT_EQ(run([&] { return t->close(fd); }),
              (Outcome{0, 0, {"close " + std::to_string(fd)}, {"3 " + fw_real + " (null)"},
                       {line(0, cmd_copy, remote, fw_client)}}));
    EXPECT_EQ(service_calls("firmwareDelayed").at(0).args.at(0), fw_real);
    EXPECT_EQ(service_calls("invalidate").at(0).args, (Args{"0", "0", "0"}));
    EXPECT_EQ(services.invalidations, 1);
    EXPECT_EQ(read_file(fw_real), "image");
}

// A busy update service refuses a write open before the host's open; a
// read-only open of the same area calls no action, at open or at close.
TEST_F(Upload, BusyUpdateServiceRefusesWritesOnly)
{
    services.busy = 1;
    EXPECT_EQ(run([&] { return open_(fw_client, W); }),
              refused(fw_client, EPERM, {}, {"0 " + fw_real + " (null)"}));
    EXPECT_FALSE(exists(fw_real));
    write_file(fw_real, "image");
    Outcome o = run([&] { return open_(fw_client, O_RDONLY); });
    EXPECT_EQ(o, (Outcome{o.result, 0, {"open " + fw_real}, {}, {}}));
    EXPECT_TRUE(service_calls("busy").empty());
    std::string fd = std::to_string(o.result);
    EXPECT_EQ(run([&] { return table(fw_client)->close(static_cast<int>(o.result)); }),
              (Outcome{0, 0, {"close " + fd}, {}, {line(0, cmd_copy, fw_client, remote)}}));
    EXPECT_EQ(services.invalidations, 0);
}

TEST_F(Upload, FailingHostOpenGivesActionTwoAndTheHostsResult)
{
    host.fail["open"] = ENOSPC;
    EXPECT_EQ(run([&] { return open_(fw_client, W); }),
              refused(fw_client, ENOSPC, {"open " + fw_real},
                      {"0 " + fw_real + " (null)", "2 " + fw_real + " (null)"}));
}

// With an action and without: a failed close keeps the host's error in the
// "Copy" line and refreshes no profile.
TEST_F(Upload, FailingHostCloseGivesActionFourAndACopyLineWithTheError)
{
    for (const char *client : {fw_client, "/usb/site.xml"}) {
        tqsftp_funcs *t = table(client);
        int fd = t->open(client, W, 0600);
        host.fail["close"] = ENOSPC;
        EXPECT_EQ(run([&] { return t->close(fd); }),
                  (Outcome{-1, ENOSPC, {"close " + std::to_string(fd)},
                           client == fw_client ? Args{"4 " + fw_real + " (null)"} : Args{},
                           {line(ENOSPC, cmd_copy, remote, client)}}));
        host.fail.clear();
        EXPECT_EQ(services.invalidations, 0);
    }
    EXPECT_FALSE(exists(fw_real)) << "action 4 drops the upload";
    EXPECT_TRUE(service_calls("firmwareDelayed").empty());
}

using Close = GuardedTest;

TEST_F(Close, DescriptorWithoutRecordIsOnlyClosedByTheHost)
{
    int fd = ::open("/usb0", O_RDONLY);
    std::string c = "close " + std::to_string(fd);
    EXPECT_EQ(run([&] { return tqsftp_funcs_deny.close(fd); }), (Outcome{0, 0, {c}, {}, {}}));
    EXPECT_EQ(run([&] { return tqsftp_funcs_deny.close(fd); }), (Outcome{-1, EBADF, {c}, {}, {}}));
}

// The refresh after a close depends only on the kind of the open (a
// write-only one) and the base name of the real path, not on the area.
TEST_F(Close, RefreshesProfilesByKindAndBaseName)
{
    mkdir("/usb0/cfg", 0755);
    const struct {
        std::string client;
        int flags;
        int refreshes;
    } cases[] = {
        {"/usb/site_1.xml", O_WRONLY, 1}, {"/usb/cfg/site-2.xml", W, 1},
        {"/usb/" + name32, O_WRONLY, 1},  {"/upload/ssh-key/k.xml", O_WRONLY, 1},
        {"/usb/" + name33, O_WRONLY, 0},  {"/usb/site.txt", O_WRONLY, 0},
        {"/usb/SITE.XML", O_WRONLY, 0},   {"/usb/my site.xml", O_WRONLY, 0},
        {"/usb/site_1.xml", O_RDWR, 0},   {"/usb/site_1.xml", O_RDONLY, 0},
    };
    for (const auto &c : cases) {
        int fd = table(c.client)->open(c.client.c_str(), c.flags | O_CREAT, 0644);
        const char *p = c.client.c_str();
        EXPECT_EQ(run([&] { return table(c.client)->close(fd); }).audits,
                  Audits{c.flags == O_RDONLY ? line(0, cmd_copy, p, remote)
                                             : line(0, cmd_copy, remote, p)});
        EXPECT_EQ(services.invalidations, c.refreshes) << p << " flags " << c.flags;
    }
}

}  // namespace
