// The guarded open, write and close: admission, the upload actions, the "Copy" lines,
// and the profile store: converted downloads, handed-over uploads, deletion, listing.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "doubles.h"

using namespace tqtest;

namespace {

constexpr int W = O_WRONLY | O_CREAT | O_TRUNC;
const std::string name32 = std::string(28, 'p') + ".xml";
const char *const fw = "/upload/firmware/site_1.xml";
const std::string fw_real = "/tmp/sftp/upload/firmware/site_1.xml", n = " (null)";

long open_(const std::string &p, int flags) { return table(p)->open(p.c_str(), flags, 0644); }
Outcome close_(const std::string &p, long fd)
{
    return run([&] { return table(p)->close(static_cast<int>(fd)); });
}
Outcome unlink_(const std::string &p) { return run([&] { return table(p)->unlink(p.c_str()); }); }
Outcome refused(const std::string &client, int err, Args host = {}, Args actions = {})
{
    return {-1, err, host, actions, {line(err, cmd_open, nullptr, client.c_str())}};
}

using Open = GuardedTest;

// An upload reaches its action and service; a busy service or a failing host open or
// close is told to the action and the log, and nothing stays.
TEST_F(Open, UploadThroughItsActionAndService)
{
    Outcome o = run([&] { return open_(fw, W); });
    EXPECT_EQ(o, (Outcome{o.result, 0, {"open " + fw_real},
                          {"0 " + fw_real + n, "1 " + fw_real + n}, {}}));
    EXPECT_EQ(host.opens, (std::vector<std::pair<int, int>>{{W, 0644}}));
    EXPECT_EQ(close_(fw, o.result), (Outcome{0, 0, {"close " + std::to_string(o.result)},
                                             {"3 " + fw_real + n}, {line(0, "Copy", remote, fw)}}));
    EXPECT_EQ(services.calls, (Args{"firmwareDelayed " + fw_real + " 2", "invalidate 0 0 0"}));
    services.busy = 1;
    EXPECT_EQ(run([&] { return open_(fw, W); }), refused(fw, EPERM, {}, {"0 " + fw_real + n}));
    o = run([&] { return open_(fw, O_RDONLY); });
    EXPECT_EQ(o, (Outcome{o.result, 0, {"open " + fw_real}, {}, {}}));
    EXPECT_EQ(close_(fw, o.result), (Outcome{0, 0, {"close " + std::to_string(o.result)}, {},
                                             {line(0, "Copy", fw, remote)}}));
    services.busy = 0;
    host.fail["open"] = ENOSPC;
    EXPECT_EQ(run([&] { return open_(fw, W); }),
              refused(fw, ENOSPC, {"open " + fw_real}, {"0 " + fw_real + n, "2 " + fw_real + n}));
    host.fail = {{"close", ENOSPC}};
    long fd = open_(fw, W);
    EXPECT_EQ(close_(fw, fd), (Outcome{-1, ENOSPC, {"close " + std::to_string(fd)},
                                       {"4 " + fw_real + n}, {line(ENOSPC, "Copy", remote, fw)}}));
    EXPECT_TRUE(services.invalidations == 0 && !exists(fw_real));
}

// Exclusive creation of an existing path fails before any action; read-only areas and
// opens refuse to create or change a file; transfers find their own records.
TEST_F(Open, ExclusiveCreationAndReadOnlyOpens)
{
    write_file(fw_real, "old");
    EXPECT_EQ(run([&] { return open_(fw, W | O_EXCL); }), refused(fw, EEXIST, {"stat " + fw_real}));
    Outcome o = run([&] { return open_("/USB/d/../New", O_WRONLY | O_CREAT | O_EXCL); });
    EXPECT_EQ(o.host, (Args{"stat /usb0/New", "open /usb0/New"}));
    EXPECT_EQ(host.opens.at(0).first, O_WRONLY | O_CREAT | O_EXCL);
    long other = open_("/usb/b", W);
    EXPECT_EQ(close_("/usb/New", o.result).audits,
              Audits{line(0, "Copy", remote, "/USB/d/../New")});
    EXPECT_EQ(close_("/usb/b", other).audits, Audits{line(0, "Copy", remote, "/usb/b")});
    for (auto [p, f] : {std::pair{"/nv", O_RDWR}, {"/nv", O_RDONLY | O_TRUNC},
                        {"/upload/firmware/new", O_RDONLY | O_CREAT}})
        EXPECT_EQ(run([&] { return open_(p, f); }), refused(p, EPERM)) << p << f;
}

// The profile folders of removable media hold at most 20 profiles (profile
// names, and folders); a write-only close there refreshes the profiles.
TEST_F(Open, ProfilesOfRemovableMedia)
{
    const char *n = "/sd/cfg/n.xml";
    EXPECT_EQ(run([&] { return open_(n, W); }), refused(n, EPERM)) << "no folder";
    ::mkdir("/sd/cfg", 0755);
    for (int i = 0; i < 19; i++)
        write_file("/sd/cfg/p" + std::to_string(100 + i) + ".xml", "");
    const std::tuple<std::string, int, int> cases[] = {
        {"A.XML", W, 0}, {"p" + name32, W, 0}, {name32, W, EPERM}, {"d.xml/", W, EPERM},
        {"p19.xml", O_RDWR | O_CREAT | O_TRUNC, 0}, {"p19.xml", O_WRONLY | O_CREAT, 0},
    };
    for (const auto &[extra, flags, err] : cases) {
        std::string x = "/sd/cfg/" + extra;
        extra.back() == '/' ? (void)::mkdir(x.c_str(), 0755) : write_file(x, "");
        Outcome o = run([&] { return open_(n, flags); });
        EXPECT_EQ(o.err, err) << extra;
        if (o.result >= 0) {
            Outcome c = close_(n, o.result);
            EXPECT_EQ(c.result + services.invalidations, (flags & O_ACCMODE) == O_WRONLY) << extra;
        }
        ::remove(x.c_str()), ::unlink(n);
    }
}

struct Kind {
    const char *name, *folder, *written;  // client folder, the real file the upload writes
    size_t room;                          // for the file name in a name that fits
    uint64_t ceiling;
};
class Guard : public GuardedTest, public testing::WithParamInterface<Kind> {};
INSTANTIATE_TEST_SUITE_P(Kinds, Guard, testing::Values(
    Kind{"firmware", "/upload/firmware/", "/tmp/sftp/upload/firmware/new.xml", 53, 64u << 20},
    Kind{"profile", "/nv/cfg/", "/ramdisk/lighty.tmp", 71, 16u << 20}),
    [](const auto &info) { return std::string(info.param.name); });

// An unfit name is refused first; one upload of a kind at a time; a write past the
// ceiling fails, and the upload at close.  A refused hand-over fails the close with
// EPERM and removes only what the upload wrote.
TEST_P(Guard, WhatAnUploadMayDo)
{
    const Kind &k = GetParam();
    const std::string folder = k.folder, client = folder + "new.xml", second = folder + "b.xml";
    std::string longest = k.folder + std::string(k.room + 1, 'n');
    EXPECT_EQ(run([&] { return open_(longest, W); }), refused(longest, ENAMETOOLONG));
    longest.pop_back();
    close_(longest, open_(longest, W));
    long fd = open_(client, W);
    for (int flags : {W, O_RDWR})
        EXPECT_EQ(run([&] { return open_(second, flags); }), refused(second, EBUSY));
    tqsftp_funcs *t = table(client);
    EXPECT_EQ(t->write(fd, "x", 1, static_cast<int64_t>(k.ceiling - 1)), 1);
    for (int64_t off : {int64_t(k.ceiling), INT64_MIN}) {
        errno = 0;
        EXPECT_TRUE(t->write(fd, "x", 1, off) == -1 && errno == EFBIG) << off;
    }
    Outcome o = close_(client, fd);
    EXPECT_TRUE(o.result == -1 && o.err == EFBIG && o.actions.at(0)[0] == '4');
    EXPECT_EQ(o.audits, Audits{line(EFBIG, cmd_copy, remote, client.c_str())});
    EXPECT_TRUE(services.calls.empty() && !exists(k.written));

    std::string crafted = std::string(60, '/') + "./secret/s.txt/../.." + client;
    for (const char *d : {"/secret", "/nv", "/nv/cfg"})
        ::mkdir(d, 0755);
    for (const char *victim : {"/secret/s.txt", "/nv/cfg/new.xml", "/flash/cfg/new.xml"})
        write_file(victim, "keep");
    services.delayed = 1;
    fd = open_(crafted, W);
    EXPECT_EQ(t->write(fd, "data", 4, 0), 4);
    o = close_(crafted, fd);
    EXPECT_EQ(o.audits, Audits{line(EPERM, cmd_copy, remote, crafted.c_str())});
    EXPECT_TRUE(o.err == EPERM && !exists(k.written) && services.invalidations == 0);
    for (const char *victim : {"/secret/s.txt", "/nv/cfg/new.xml", "/flash/cfg/new.xml"})
        EXPECT_EQ(read_file(victim), "keep") << victim;
}

const std::string tmp = "/ramdisk/lighty.tmp", profile = "<profile>site settings</profile>";
const char *const site = "/nv/cfg/site.xml";

using Store = GuardedTest;

TEST_F(Store, DownloadDeliversTheConvertedProfileOfTheSizeStatShows)
{
    write_file("/flash/cfg/site.xml", profile);
    tqsftp_funcs *t = table(site);
    struct stat64 st {};
    ASSERT_EQ(t->stat(site, &st), 0);
    EXPECT_EQ(services.calls, Args{"xml 24 /flash/cfg/site.xml 2 CompressedData"});
    Outcome o = run([&] { return open_(site, O_RDONLY); });
    int fd = static_cast<int>(o.result);
    EXPECT_EQ(o, (Outcome{fd, 0, {"open " + tmp, "open " + tmp}, {}, {}}));
    EXPECT_EQ(host.opens.at(0).first, O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_FALSE(exists(tmp)) << "the name goes while the descriptor stays";
    std::string got(200, '\0');
    got.resize(t->read(fd, got.data(), got.size(), 0));
    EXPECT_TRUE(got == "XML:" + profile && st.st_size == static_cast<off64_t>(got.size()));
    EXPECT_EQ(close_(site, fd).audits, Audits{line(0, "Copy", site, remote)});
    services.xml_result = 3;
    EXPECT_EQ(run([&] { return open_(site, O_RDONLY); }), refused(site, EIO, {"open " + tmp}));
    EXPECT_EQ(run([&] { return open_(site, O_WRONLY | O_CREAT | O_EXCL); }),
              refused(site, EEXIST, {"stat /flash/cfg/site.xml"}));
    EXPECT_FALSE(exists(tmp));
}

// An upload writes only the temporary file, which stat shows and a rename renames until
// the update service stores it.  The listing ends in four names of its own.
TEST_F(Store, UploadHandedToTheServiceAndRenamedWhilePending)
{
    tqsftp_funcs *t = table("/nv/cfg/new.xml");
    Outcome o = run([&] { return t->open("/NV/cfg//new.xml", O_WRONLY, 0600); });
    int fd = static_cast<int>(o.result);
    EXPECT_EQ(o, (Outcome{fd, 0, {"open " + tmp},
                          {"0 (null) (null)", "1 /nv/cfg/new.xml " + tmp}, {}}));
    EXPECT_EQ(t->write(fd, "uploaded", 8, 0), 8);
    EXPECT_EQ(close_("/nv/cfg/new.xml", fd),
              (Outcome{0, 0, {"close " + std::to_string(fd)}, {"3 /flash/cfg/new.xml (null)"},
                       {line(0, "Copy", remote, "/NV/cfg//new.xml")}}));
    EXPECT_EQ(services.calls, (Args{"configDelayed /nv/cfg/new.xml 2", "invalidate 0 0 0"}));
    EXPECT_EQ(read_file(tmp), "uploaded");
    struct stat64 st {};
    EXPECT_EQ(t->stat("/nv/cfg/other.xml", &st), -1);
    EXPECT_TRUE(t->stat("/nv/cfg/x/../new.xml", &st) == 0 && st.st_size == 8);
    EXPECT_EQ(run([&] { return t->rename("/nv/CFG/x/../new.xml", "/nv/cfg/./b.xml"); }).actions,
              Args{"5 /nv/cfg/new.xml /nv/cfg/b.xml"});
    EXPECT_TRUE(t->stat("/nv/cfg/b.xml", &st) == 0 && st.st_size == 8);
    write_file("/flash/cfg/a.xml", "p");
    t = table("/nv/cfg");
    for (int round = 0; round < 2; round++) {
        void *d = t->opendir("/nv/cfg");
        std::string names;
        while (struct dirent64 *e = t->readdir(d))
            names += std::string(e->d_name) + " ";
        EXPECT_EQ(t->readdir(d), nullptr);
        closedir(static_cast<DIR *>(d));
        EXPECT_TRUE(names.find(" a.xml ") != std::string::npos &&
                    names.ends_with("help status ok error ")) << names;
    }
    ::unlink(tmp.c_str());
}

// The current profile (the marker's first word, else config) is never deleted; others
// are, with the host's result, refreshing the profiles even when the host fails.
TEST_F(Store, DeletionSparesTheCurrentProfile)
{
    const Outcome kept{-1, EPERM, {}, {}, {}};
    const char *office = "/nv/cfg/office.xml", *config = "/nv/cfg/config.xml";
    write_file("/flash/cfg/config.xml", "");
    EXPECT_EQ(unlink_(config), kept) << "no marker";
    EXPECT_EQ(unlink_(office), (Outcome{-1, ENOENT, {"unlink /flash/cfg/office.xml"}, {},
                                        {line(ENOENT, cmd_unlink, nullptr, office)}}));
    EXPECT_EQ(services.invalidations, 1);
    write_file("/flash/cfg/profile.cur", "  office other\n");
    for (const char *p : {office, "/nv/cfg/x/../office.xml/"})
        EXPECT_EQ(unlink_(p), kept) << p;
    EXPECT_EQ(unlink_(config), (Outcome{0, 0, {"unlink /flash/cfg/config.xml"}, {},
                                        {line(0, cmd_unlink, nullptr, config)}}));
    EXPECT_EQ(services.invalidations, 1);
    ::unlink("/flash/cfg/profile.cur");
    ::mkdir("/flash/cfg/profile.cur", 0755);
    EXPECT_EQ(unlink_("/nv/cfg/a.xml"), kept) << "a marker that cannot be read";
}

}  // namespace
