// The guarded open and close: admission, the upload actions, the profile
// refresh and the one "Copy" line per transfer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "doubles.h"

using namespace tqtest;

namespace {

constexpr int W = O_WRONLY | O_CREAT | O_TRUNC;
const std::string name32 = std::string(28, 'p') + ".xml";
const char *const fw = "/upload/firmware/site_1.xml";
const std::string fw_real = "/tmp/sftp/upload/firmware/site_1.xml", null = " (null)";

long open_(const std::string &p, int flags) { return table(p)->open(p.c_str(), flags, 0644); }
Outcome close_(const std::string &p, long fd)
{
    return run([&] { return table(p)->close(static_cast<int>(fd)); });
}
Outcome refused(const std::string &client, int err, Args host = {}, Args actions = {})
{
    return {-1, err, host, actions, {line(err, cmd_open, nullptr, client.c_str())}};
}

using Open = GuardedTest;

TEST_F(Open, UploadSeenWholeByItsActionAndItsService)
{
    Outcome o = run([&] { return open_(fw, W); });
    EXPECT_EQ(o, (Outcome{o.result, 0, {"open " + fw_real}, {"0 " + fw_real + null,
                                                              "1 " + fw_real + null}, {}}));
    EXPECT_TRUE(host.calls[0].flags == W && host.calls[0].mode == 0644);
    EXPECT_EQ(close_(fw, o.result), (Outcome{0, 0, {"close " + std::to_string(o.result)},
                                             {"3 " + fw_real + null},
                                             {line(0, "Copy", remote, fw)}}));
    EXPECT_EQ(service_calls("firmwareDelayed").at(0).args, (Args{fw_real, "2"}));
    EXPECT_EQ(service_calls("invalidate").at(0).args, (Args{"0", "0", "0"}));
}

// A busy service refuses a write open before the host's; a read-only open
// of the same area asks no action and refreshes nothing.
TEST_F(Open, BusyServiceRefusesWritesOnly)
{
    services.busy = 1;
    EXPECT_EQ(run([&] { return open_(fw, W); }), refused(fw, EPERM, {}, {"0 " + fw_real + null}));
    write_file(fw_real, "image");
    Outcome o = run([&] { return open_(fw, O_RDONLY); });
    EXPECT_EQ(o, (Outcome{o.result, 0, {"open " + fw_real}, {}, {}}));
    EXPECT_EQ(close_(fw, o.result), (Outcome{0, 0, {"close " + std::to_string(o.result)}, {},
                                             {line(0, "Copy", fw, remote)}}));
    EXPECT_EQ(services.invalidations, 0);
}

TEST_F(Open, FailingHostOpenAndCloseReachTheActionAndTheLog)
{
    host.fail["open"] = ENOSPC;
    EXPECT_EQ(run([&] { return open_(fw, W); }),
              refused(fw, ENOSPC, {"open " + fw_real},
                      {"0 " + fw_real + null, "2 " + fw_real + null}));
    host.fail = {{"close", ENOSPC}};
    long fd = open_(fw, W);
    EXPECT_EQ(close_(fw, fd), (Outcome{-1, ENOSPC, {"close " + std::to_string(fd)},
                                       {"4 " + fw_real + null},
                                       {line(ENOSPC, "Copy", remote, fw)}}));
    EXPECT_EQ(services.invalidations, 0);
    EXPECT_FALSE(exists(fw_real)) << "a failed close drops the upload";
}

// Exclusive creation of an existing path fails before any action; flags
// pass unchanged; read-only areas refuse any open that could change a file.
TEST_F(Open, ExclusiveCreationAndReadOnlyAreas)
{
    write_file(fw_real, "old");
    EXPECT_EQ(run([&] { return open_(fw, W | O_EXCL); }), refused(fw, EEXIST, {"stat " + fw_real}));
    EXPECT_EQ(read_file(fw_real), "old");
    Outcome o = run([&] { return open_("/USB/d/../New", O_WRONLY | O_CREAT | O_EXCL); });
    EXPECT_EQ(o.host, (Args{"stat /usb0/New", "open /usb0/New"}));
    EXPECT_EQ(host.calls[1].flags, O_WRONLY | O_CREAT | O_EXCL);
    close_("/usb/New", o.result);
    for (int f : {O_WRONLY, O_RDWR, O_RDONLY | O_CREAT, O_RDONLY | O_TRUNC})
        EXPECT_EQ(run([&] { return open_("/nv", f); }), refused("/nv", EPERM)) << f;
}

// Two transfers closed in the order they were opened find their own records.
TEST_F(Open, OverlappingTransfersCloseInAnyOrder)
{
    long a = open_("/usb/a", W), b = open_("/usb/b", W);
    EXPECT_EQ(close_("/usb/a", a).audits, Audits{line(0, "Copy", remote, "/usb/a")});
    EXPECT_EQ(close_("/usb/b", b).audits, Audits{line(0, "Copy", remote, "/usb/b")});
}

TEST_F(Open, ExhaustedMemoryFailsWithEnomem)
{
    tqsftp_funcs *t = table(fw);
    for (int n = 0;; n++) {
        bool failed;
        Outcome o = run([&] {
            FailAllocation f(n);
            long fd = t->open(fw, W, 0644);
            return failed = f.allocations() > n, fd;
        });
        if (!failed) {
            close_(fw, o.result);
            break;
        }
        EXPECT_EQ(o, refused(fw, ENOMEM)) << "allocation " << n;
    }
}

// The refresh after a close follows the kind of the open (write-only) and
// the profile pattern of the real path's base name.
TEST_F(Open, CloseRefreshesProfilesByKindAndName)
{
    const std::tuple<std::string, int, int> cases[] = {
        {"/usb/site-2.xml", O_WRONLY, 1}, {"/usb/" + name32, O_WRONLY, 1},
        {"/usb/p" + name32, O_WRONLY, 0}, {"/usb/SITE.XML", O_WRONLY, 0},
        {"/usb/a b.xml", O_WRONLY, 0}, {"/usb/a.x.xml", O_WRONLY, 0},
        {"/usb/site.xml", O_RDWR, 0}, {"/usb/site.xml", O_RDONLY, 0},
    };
    for (const auto &[client, flags, refreshes] : cases) {
        close_(client, open_(client, flags | O_CREAT));
        EXPECT_EQ(services.invalidations, refreshes) << client << " " << flags;
    }
}

// The profile folders of removable media hold at most 20 profiles: names of
// the profile pattern, of at most 32 characters, and folders.
TEST_F(Open, ProfileFoldersOfMediaHoldTwentyProfiles)
{
    const std::tuple<std::vector<std::string>, int, int> cases[] = {
        {{"A.XML", "b c.xml", "p" + name32, "a.xml.bak"}, W, 0}, {{name32}, W, EPERM},
        {{"d.xml/"}, W, EPERM}, {{"p19.xml"}, W, EPERM},
        {{"p19.xml"}, O_RDWR | O_CREAT | O_TRUNC, 0}, {{"p19.xml"}, O_WRONLY | O_CREAT, 0},
    };
    for (std::string folder : {"/usb0/cfg", "/sd/cfg"}) {
        std::string client = folder == "/sd/cfg" ? "/sd/cfg/new.xml" : "/usb/cfg/new.xml";
        EXPECT_EQ(run([&] { return open_(client, W); }), refused(client, EPERM)) << "no folder";
        for (const auto &[extra, flags, err] : cases) {
            ASSERT_EQ(system(("rm -rf " + folder + " && mkdir " + folder).c_str()), 0);
            for (int i = 0; i < 19; i++)
                write_file(folder + "/p" + std::to_string(100 + i) + ".xml", "");
            for (const std::string &x : extra)
                x.back() == '/' ? (void)::mkdir((folder + "/" + x).c_str(), 0755)
                                : write_file(folder + "/" + x, "");
            Outcome o = run([&] { return open_(client, flags); });
            EXPECT_EQ(o.err, err) << extra[0];
            if (o.result >= 0)
                close_(client, o.result);
        }
    }
}

}  // namespace
