// What the entry's tables do: the one-time set-up, moves, the guarded open, write and close
// with the upload actions behind them, and the profile store.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "doubles.h"

using namespace tqtest;

// Copies of names fail while strdup_failures is above 0, one each.
static int strdup_failures = 0;
extern "C" char *strdup(const char *s) noexcept
{
    size_t n = strlen(s) + 1;
    void *p = strdup_failures > 0 ? (strdup_failures--, nullptr) : malloc(n);
    return p != nullptr ? static_cast<char *>(memcpy(p, s, n)) : (errno = ENOMEM, nullptr);
}

namespace {

constexpr int W = O_WRONLY | O_CREAT | O_TRUNC;
const std::string name32 = std::string(28, 'p') + ".xml";
const char *const fw = "/upload/firmware/site_1.xml";
const std::string fw_real = "/tmp/sftp/upload/firmware/site_1.xml";
const std::string tmp = "/ramdisk/lighty.tmp", profile = "<profile>site settings</profile>";
const char *const site = "/nv/cfg/site.xml";
// The update service's answers: busy refuses an upload's start, refused_install its hand-over.
constexpr int idle = 0, busy = 1, taken = 0, refused_install = 1, other_answer = 2;

long open_(const std::string &p, int flags) { return table(p)->open(p.c_str(), flags, 0644); }
Outcome try_open(const std::string &p, int flags) { return run([&] { return open_(p, flags); }); }
Outcome close_(const std::string &p, long fd)
{
    return run([&] { return table(p)->close(static_cast<int>(fd)); });
}
Outcome unlink_(const std::string &p) { return run([&] { return table(p)->unlink(p.c_str()); }); }
Outcome refused(const std::string &client, int err, Args host = {}, Args actions = {},
                const char *label = cmd_open)
{
    return {-1, err, host, actions, {line(err, label, nullptr, client.c_str())}};
}

TEST(Entry, SetsUpOnceKeepingErrnoAndTheFirstHostTable)
{
    tqsftp_funcs first = host.table, other{};
    errno = EINTR;
    EXPECT_TRUE(tqsftp_get_sftp_func_cb("/", &first) == &tqsftp_funcs_readonly && errno == EINTR);
    first = tqsftp_funcs{};
    ASSERT_EQ(::rmdir("/tmp/sftp/usb"), 0);
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/usb/d", &other), &tqsftp_funcs_full);
    EXPECT_TRUE(!exists("/tmp/sftp/usb") && services.preinit == 1 && services.log.empty());
    EXPECT_EQ(run([] { return table("/usb/d")->mkdir("/usb/d", 0700); }).host,
              Args{"mkdir /usb0/d"});
}

// Moves stay in one area, logged with the host's result and told to the area's action.
// Upload areas take no link and no unfit name; the store keeps the current profile.  Every
// change, or refusal of one, is logged once under its name; a denied write is not logged.
TEST(Areas, Moves)
{
    host.table.link = nullptr;
    table("/");
    write_file("/flash/cfg/profile.cur", "office\n");
    for (const char *name : {"office.xml", "lab.xml"})
        write_file("/flash/cfg/" + std::string(name), name);
    const std::string dir = "/tmp/sftp/upload/firmware/";
    const std::string longer = "/upload/firmware/" + std::string(54, 'n');
    write_file(dir + "a", "image");
    const char *a = "/upload/firmware/a", *b = "/upload/firmware/b", *lab = "/nv/cfg/lab.xml";
    EXPECT_EQ(run([&] { return table(a)->rename(a, b); }),
              (Outcome{0, 0, {"rename " + dir + "a " + dir + "b"},
                       {act(TQSFTP_ACT_RENAME, dir + "a", dir + "b")},
                       {line(0, "Rename", a, b)}}));
    enum Way { mv, ln, mk, rm, del, ls, wr };  // rename, link, mkdir, rmdir, unlink, opendir, write
    const char *const label[] = {"Rename", "Link", "Create", "Remove", "Delete", "Open", nullptr};
    const struct { const char *from, *to; Way way; int err; } changes[] = {
        {"/usb/d", nullptr, mk, 0}, {"/usb/d", nullptr, rm, 0}, {"/usb/f", nullptr, del, ENOENT},
        {"/usb/cfg/f", nullptr, del, ENOENT},
        {"/upload/d", nullptr, mk, EACCES}, {"/upload/d", nullptr, rm, EACCES},
        {"/nv/cfg/help", nullptr, del, EACCES}, {"/nv/cfg/help", "/nv/g", mv, EACCES},
        {"/nv/cfg/help", "/nv/g", ln, EACCES}, {"/x", nullptr, ls, EACCES},
        {"/", nullptr, wr, EACCES},
        {"/usb/a", "/usb/b", mv, ENOENT}, {"/usb/a", "/usb/b", ln, ENOSYS},
        {"/usb/a", "/usb/cfg/a", mv, EPERM}, {a, "/upload/ssh-key/a", mv, EPERM},
        {b, "/upload/firmware/c", ln, EPERM}, {b, longer.c_str(), mv, ENAMETOOLONG},
        {lab, "/nv/cfg/office.xml", mv, EPERM}, {lab, "/nv/cfg/x/../office.xml", ln, EPERM},
        {"/NV/cfg/./office.xml", "/nv/cfg/office-old.xml", mv, EPERM},
        {lab, "/nv/cfg/.lab.xml.part", mv, EPERM}, {lab, "/nv/cfg/sub/lab.xml", mv, EPERM},
        {"/nv/cfg/.tqupd-Ab12Cd", "/nv/cfg/stolen.xml", ln, EPERM},  // the service's
        {"/upload/firmware/gone", "/upload/firmware/c", mv, ENOENT},
        {lab, "/usb/lab.xml", mv, EPERM}, {lab, "/sd/cfg/lab.xml", ln, EPERM},
    };
    for (auto [from, to, way, err] : changes) {
        tqsftp_funcs *t = table(from);
        Outcome o = run([&, from = from, to = to, way = way]() -> long {
            switch (way) {
            case mv: return t->rename(from, to);
            case ln: return t->link(from, to);
            case mk: return t->mkdir(from, 0700);
            case rm: return t->rmdir(from);
            case del: return t->unlink(from);
            case ls: return t->opendir(from) != nullptr ? 0 : -1;
            case wr: return t->write(0, "x", 1, 0);
            }
            return 0;
        });
        Audits want;
        if (label[way] != nullptr)
            want.push_back(line(err, label[way], to ? from : nullptr, to ? to : from));
        EXPECT_EQ(o.audits, want) << from << " " << way;
        EXPECT_TRUE(o.result == (err ? -1 : 0) && o.err == err && o.actions.empty()) << from;
    }
    EXPECT_EQ(run([&] { return table(lab)->rename(lab, "/nv/cfg/l-2.xml"); }),
              (Outcome{0, 0, {"rename /flash/cfg/lab.xml /flash/cfg/l-2.xml"}, {},
                       {line(0, "Rename", lab, "/nv/cfg/l-2.xml")}}));
    EXPECT_EQ(run([&] { return table(lab)->link("/nv/cfg/l-2.xml", lab); }).err, ENOSYS);
}

using Open = GuardedTest;

// An upload reaches its action and service; a busy service or a failing host open or
// close is told to the action and the log, and nothing stays.
TEST_F(Open, UploadThroughItsActionAndService)
{
    Outcome o = try_open(fw, W);
    EXPECT_EQ(o, (Outcome{o.result, 0, {"open " + fw_real},
                          {act(TQSFTP_ACT_START, fw_real), act(TQSFTP_ACT_OPENED, fw_real)}, {}}));
    EXPECT_EQ(host.opens, (std::vector<std::pair<int, int>>{{O_WRONLY, 0644}})) << "created before";
    EXPECT_EQ(close_(fw, o.result), (Outcome{0, 0, {"close " + std::to_string(o.result)},
                                             {act(TQSFTP_ACT_CLOSED, fw_real)},
                                             {line(0, "Copy", remote, fw)}}));
    EXPECT_EQ(services.calls, (Args{"firmwareDelayed " + fw_real + " 2", "invalidate 0 0 0"}));
    services.busy = busy;
    EXPECT_EQ(try_open(fw, W), refused(fw, EPERM, {}, {act(TQSFTP_ACT_START, fw_real)}));
    o = try_open(fw, O_RDONLY);
    EXPECT_EQ(o, (Outcome{o.result, 0, {"open " + fw_real}, {}, {}}));
    services.busy = idle;  // a download is no upload of the kind
    EXPECT_TRUE(close_(fw, open_("/upload/firmware/b", W)).err == 0 && !services.invalidations);
    EXPECT_EQ(close_(fw, o.result), (Outcome{0, 0, {"close " + std::to_string(o.result)}, {},
                                             {line(0, "Copy", fw, remote)}}));
    ASSERT_EQ(::unlink(fw_real.c_str()), 0) << "the service takes it";
    EXPECT_EQ(try_open(fw, O_WRONLY).err, ENOENT);
    host.fail["open"] = ENOSPC;
    EXPECT_EQ(try_open(fw, W), refused(fw, ENOSPC, {"open " + fw_real},
                                       {act(TQSFTP_ACT_START, fw_real),
                                        act(TQSFTP_ACT_OPEN_FAILED, fw_real)}));
    host.fail = {{"close", ENOSPC}};
    long fd = open_(fw, O_RDWR | O_CREAT);  // an upload too
    EXPECT_EQ(close_(fw, fd), (Outcome{-1, ENOSPC, {"close " + std::to_string(fd)},
                                       {act(TQSFTP_ACT_CLOSE_FAILED, fw_real)},
                                       {line(ENOSPC, "Copy", remote, fw)}}));
    EXPECT_TRUE(services.invalidations == 0 && !exists(fw_real));
}

// Exclusive creation of an existing path fails before any action; read-only areas and
// opens refuse to create or change a file; transfers find their own records.
TEST_F(Open, ExclusiveCreationAndReadOnlyOpens)
{
    write_file(fw_real, "old");
    EXPECT_EQ(try_open(fw, W | O_EXCL), refused(fw, EEXIST, {"stat " + fw_real}));
    Outcome o = try_open("/USB/d/../New", O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_EQ(o.host, (Args{"stat /usb0/New", "open /usb0/New"}));
    EXPECT_EQ(host.opens.at(0).first, O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK);
    long other = open_("/usb/b", W);
    EXPECT_EQ(close_("/usb/New", o.result).audits,
              Audits{line(0, "Copy", remote, "/USB/d/../New")});
    EXPECT_EQ(close_("/usb/b", other).audits, Audits{line(0, "Copy", remote, "/usb/b")});
    for (auto [p, f] : {std::pair{"/nv", O_RDWR}, {"/nv", O_RDONLY | O_TRUNC},
                        {"/upload/firmware/new", O_RDONLY | O_CREAT}, {"/nv/cfg/.gio1", W}})
        EXPECT_EQ(try_open(p, f), refused(p, EPERM)) << p << f;
}

// Removable media open only regular files and folders: a FIFO, whose open would block the
// session, is refused before the host is asked anything, with its audit line.
TEST_F(Open, RemovableMediaOpenOnlyFilesAndFolders)
{
    ASSERT_EQ(::mkfifo("/sd/cfg", 0644), 0);
    for (int flags : {O_RDONLY, O_WRONLY})
        EXPECT_EQ(try_open("/sd/cfg", flags), refused("/sd/cfg", EPERM));
}

// The profile folders of removable media hold at most 20 profiles (profile names, and
// folders); a write-only close or a deletion there refreshes the profiles.
TEST_F(Open, ProfilesOfRemovableMedia)
{
    for (auto [folder, real] : {std::pair{"/sd/cfg/", "/sd/cfg/"}, {"/usb/cfg/", "/usb0/cfg/"}}) {
        const std::string n = folder + std::string("n.xml"), p = real + std::string("p100.xml");
        EXPECT_EQ(try_open(n, W), refused(n, EPERM)) << "no folder";
        ::mkdir(real, 0755);
        for (int i = 0; i < 19; i++)
            write_file(real + ("p" + std::to_string(100 + i)) + ".xml", "");
        constexpr int ok = 0;
        const struct { std::string extra; int flags, err; } cases[] = {  // a folder ends in '/'
            {"A.XML", W, ok}, {"p" + name32, W, ok}, {name32, W, EPERM}, {"d.xml/", W, EPERM},
            {"p19.xml", O_RDWR | O_CREAT | O_TRUNC, ok}, {"p19.xml", O_WRONLY | O_CREAT, ok},
        };
        for (const auto &[extra, flags, err] : cases) {
            std::string x = real + extra;
            extra.back() == '/' ? (void)::mkdir(x.c_str(), 0755) : write_file(x, "");
            Outcome o = try_open(n, flags);
            EXPECT_EQ(o.err, err) << extra;
            if (o.result >= 0) {
                EXPECT_EQ(close_(n, o.result).result, 0) << extra;
                EXPECT_EQ(services.invalidations, (flags & O_ACCMODE) == O_WRONLY) << extra;
            }
            ::remove(x.c_str()), ::remove((real + std::string("n.xml")).c_str());
        }
        const std::string del = folder + std::string("p100.xml");
        EXPECT_EQ(unlink_(del),
                  (Outcome{0, 0, {"unlink " + p}, {}, {line(0, "Delete", nullptr, del.c_str())}}));
        EXPECT_EQ(services.invalidations, 1);
    }
}

struct Kind {
    const char *name, *folder;
    const char *real, *written;  // of new.xml, if not /tmp/sftp + it: real path, file written
    size_t room;                 // for the file name in a name that fits
    uint64_t ceiling;
};
class Guard : public GuardedTest, public testing::WithParamInterface<Kind> {};
INSTANTIATE_TEST_SUITE_P(Kinds, Guard, testing::Values(
    Kind{"firmware", "/upload/firmware/", nullptr, nullptr, 53, TQUPD_MAX_FIRMWARE},
    Kind{"profile", "/nv/cfg/", "/flash/cfg/new.xml", "/ramdisk/lighty.tmp", 71, TQUPD_MAX_PROFILE},
    Kind{"vpn", "/upload/vpn-cert/", nullptr, nullptr, 53, TQUPD_MAX_CERT}),
    [](const auto &info) { return std::string(info.param.name); });

ssize_t write_shaped(int fd, const void *buf, size_t len) { return ::write(fd, buf, len); }

// An unfit name is refused first; one upload of a kind at a time.  With a host whose write
// is shaped like write(2), a write past the ceiling fails, cuts the file back and fails the
// close.  A refused hand-over fails the close with EPERM and removes its file and mark.
TEST_P(Guard, WhatAnUploadMayDo)
{
    const Kind &k = GetParam();
    auto any = reinterpret_cast<void (*)()>(write_shaped);  // as a C host's table holds it
    tqsftp_default_cb.write = reinterpret_cast<decltype(tqsftp_default_cb.write)>(any);
    const std::string folder = k.folder, client = folder + "new.xml", second = folder + "b.xml";
    const std::string real = k.real ? k.real : "/tmp/sftp" + client;
    const std::string written = k.written ? k.written : real;
    std::string longest = k.folder + std::string(k.room + 1, 'n');
    EXPECT_EQ(try_open(longest, W), refused(longest, ENAMETOOLONG));
    longest.pop_back();
    close_(longest, open_(longest, W));
    tqsftp_funcs *t = table(client);
    long fd = open_(client, W);
    for (int flags : {W, O_RDWR})
        EXPECT_EQ(try_open(second, flags), refused(second, EBUSY));
    ASSERT_EQ(::ftruncate64(fd, static_cast<off64_t>(k.ceiling) - 1), 0);
    ::lseek64(fd, 0, SEEK_END);
    EXPECT_EQ(t->write(fd, "x", 1, 0), 1);
    EXPECT_TRUE(t->write(fd, "x", 1, 0) == -1 && errno == EFBIG);
    struct stat64 st {};
    EXPECT_TRUE(::stat64(written.c_str(), &st) == 0 && uint64_t(st.st_size) == k.ceiling);
    Outcome o = close_(client, fd);
    EXPECT_TRUE(o.result == -1 && o.err == EFBIG);
    EXPECT_EQ(o.actions, Args{act(TQSFTP_ACT_CLOSE_FAILED, real)});
    EXPECT_EQ(o.audits, Audits{line(EFBIG, cmd_copy, remote, client.c_str())});
    EXPECT_TRUE(services.calls.empty() && !exists(written));
    for (const auto &mark : std::filesystem::recursive_directory_iterator("/tmp/.sftp-upload"))
        EXPECT_TRUE(mark.is_directory()) << mark.path() << " still marked";

    std::string crafted = std::string(60, '/') + "./secret/s.txt/../.." + client;
    services.delayed = refused_install;
    fd = open_(crafted, W);
    EXPECT_EQ(t->write(fd, "data", 4, 0), 4);
    o = close_(crafted, fd);
    EXPECT_EQ(o.audits, Audits{line(EPERM, cmd_copy, remote, crafted.c_str())});
    EXPECT_TRUE(o.err == EPERM && !exists(written) && services.invalidations == 0);
}

using Store = GuardedTest;

TEST_F(Store, DownloadDeliversTheConvertedProfileOfTheSizeStatShows)
{
    write_file("/flash/cfg/site.xml", profile);
    tqsftp_funcs *t = table(site);
    struct stat64 st {};
    ASSERT_EQ(t->stat(site, &st), 0);
    EXPECT_EQ(services.calls, Args{"xml 24 /flash/cfg/site.xml 2 CompressedData"});
    Outcome o = try_open(site, O_RDONLY | O_TRUNC);  // truncates nothing
    int fd = static_cast<int>(o.result);
    EXPECT_EQ(o, (Outcome{fd, 0, {"open " + tmp, "open " + tmp}, {}, {}}));
    EXPECT_EQ(host.opens.at(0).first, O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_FALSE(exists(tmp)) << "the name goes while the descriptor stays";
    std::string got(200, '\0');
    got.resize(t->read(fd, got.data(), got.size(), 0));
    EXPECT_TRUE(got == "XML:" + profile && st.st_size == static_cast<off64_t>(got.size()));
    EXPECT_EQ(close_(site, fd).audits, Audits{line(0, "Copy", site, remote)});
    services.delayed = refused_install;  // the stored profile stays, shown as before
    close_(site, open_(site, W));
    EXPECT_TRUE(t->stat(site, &st) == 0 && st.st_size == static_cast<off64_t>(got.size()));
    services.delayed = taken;  // one handed over shows the size written (none), a download
    close_(site, open_(site, W)), close_(site, open_(site, O_RDONLY));  // keeps it,
    EXPECT_TRUE(t->stat(site, &st) == 0 && st.st_size == 0);
    services.busy = busy;  // a write open forgets it, refused or not
    open_(site, W);
    services.busy = idle;
    EXPECT_TRUE(t->stat(site, &st) == 0 && st.st_size == static_cast<off64_t>(got.size()));
    strdup_failures = 1;  // the download's record cannot be made
    EXPECT_EQ(try_open(site, O_RDONLY).audits, refused(site, ENOMEM).audits);
    host.fail["open"] = ENOSPC;  // no temporary file: neither transfer is made
    EXPECT_TRUE(try_open(site, W).err == EPERM && try_open(site, O_RDONLY).err == EPERM);
    host.fail.clear();
    services.xml_result = 3;
    EXPECT_EQ(try_open(site, O_RDONLY), refused(site, EIO, {"open " + tmp}));
    EXPECT_EQ(try_open(site, O_WRONLY | O_CREAT | O_EXCL),
              refused(site, EEXIST, {"stat /flash/cfg/site.xml"}));
    EXPECT_FALSE(exists(tmp));
}

// An upload writes only the temporary file, which stat shows and a rename renames until
// it is handed over.  Then stat shows the size written while the stored profile is the one
// found right after the hand-over, and the upload's name names nothing.
TEST_F(Store, UploadHandedToTheServiceAndRenamedWhilePending)
{
    tqsftp_funcs *t = table("/nv/cfg/new.xml");
    Outcome o = run([&] { return t->open("/NV/cfg//new.xml", O_WRONLY, 0600); });
    int fd = static_cast<int>(o.result);
    Args told = {act(TQSFTP_ACT_START), act(TQSFTP_ACT_OPENED, "/nv/cfg/new.xml", tmp)};
    EXPECT_EQ(o, (Outcome{fd, 0, {"open " + tmp}, told, {}}));
    EXPECT_EQ(t->write(fd, "uploaded", 8, 0), 8);
    struct stat64 st {};
    EXPECT_TRUE(t->stat("/nv/cfg/x/../new.xml", &st) == 0 && st.st_size == 8);
    EXPECT_EQ(run([&] { return t->rename("/nv/CFG/x/../new.xml", "/nv/cfg/./b.xml"); }).actions,
              Args{act(TQSFTP_ACT_RENAME, "/nv/cfg/new.xml", "/nv/cfg/b.xml")});
    clear();
    write_file("/flash/cfg/b.xml", profile);  // as the update service stores it
    EXPECT_EQ(close_("/nv/cfg/new.xml", fd),
              (Outcome{0, 0, {"close " + std::to_string(fd), "stat /flash/cfg/b.xml"},
                       {act(TQSFTP_ACT_CLOSED, "/flash/cfg/new.xml")},
                       {line(0, "Copy", remote, "/NV/cfg//new.xml")}}));
    EXPECT_EQ(services.calls, (Args{"configDelayed /nv/cfg/b.xml 2", "invalidate 0 0 0"}));
    EXPECT_EQ(read_file(tmp), "uploaded");
    EXPECT_TRUE(t->stat("/nv/cfg/b.xml", &st) == 0 && st.st_size == 8);
    write_file("/flash/cfg/.x", profile), ::rename("/flash/cfg/.x", "/flash/cfg/b.xml");  // anew
    EXPECT_TRUE(t->stat("/nv/cfg/b.xml", &st) == 0 && st.st_size == off64_t(profile.size() + 4));
    ::unlink("/flash/cfg/b.xml");
    o = run([&] { return t->rename("/nv/cfg/b.xml", "/nv/cfg/c.xml"); });
    EXPECT_EQ(o.audits, Audits{line(ENOENT, "Rename", "/nv/cfg/b.xml", "/nv/cfg/c.xml")});
    EXPECT_TRUE(t->stat("/nv/cfg/b.xml", &st) == -1 && services.calls.empty());
}

// The current profile (the marker's first word, else config) is never deleted, and the
// attempt is logged; others are, with the host's result, refreshing the profiles even
// when the host fails.
TEST_F(Store, DeletionSparesTheCurrentProfile)
{
    auto kept = [](const char *p) { return refused(p, EPERM, {}, {}, cmd_unlink); };
    const char *office = "/nv/cfg/office.xml", *config = "/nv/cfg/config.xml";
    write_file("/flash/cfg/config.xml", "");
    EXPECT_EQ(unlink_(config), kept(config)) << "no marker";
    EXPECT_EQ(unlink_(office), (Outcome{-1, ENOENT, {"unlink /flash/cfg/office.xml"}, {},
                                        {line(ENOENT, cmd_unlink, nullptr, office)}}));
    EXPECT_EQ(services.invalidations, 1);
    write_file("/flash/cfg/profile.cur", "  office other\n");
    for (const char *p : {office, "/nv/cfg/x/../office.xml/"})
        EXPECT_EQ(unlink_(p), kept(p)) << p;
    EXPECT_EQ(unlink_(config), (Outcome{0, 0, {"unlink /flash/cfg/config.xml"}, {},
                                        {line(0, cmd_unlink, nullptr, config)}}));
    EXPECT_EQ(services.invalidations, 1);
    write_file("/flash/cfg/profile.cur", "");  // names ".xml"
    EXPECT_EQ(unlink_(office).err, ENOENT);
    ::unlink("/flash/cfg/profile.cur");
    ::mkdir("/flash/cfg/profile.cur", 0755);
    EXPECT_EQ(unlink_("/nv/cfg/a.xml"), kept("/nv/cfg/a.xml")) << "a marker that cannot be read";
}

const std::string upload = "/ramdisk/upload.bin";
struct UploadKind { tqsftp_action_fn action; tqsftp_ucb *ucb; const char *install; };
const UploadKind kinds[] = {
    {tqsftp_firmware_action, &tqsftp_firmware_ucb, "firmwareDelayed"},
    {tqsftp_sshKey_action, &tqsftp_sshkey_ucb, "sshKeyDelayed"},
    {tqsftp_https_action, &tqsftp_https_ucb, "httpsCertDelayed"},
    {tqsftp_ldap_action, &tqsftp_ldap_ucb, "ldapCacertDelayed"},
    {tqsftp_vpn_action, &tqsftp_vpn_ucb, "vpnCertDelayed"},
    {tqsftp_config_action, &tqsftp_config_ucb, "configDelayed"},
};
const UploadKind &firmware = kinds[0], &config = kinds[5];

// An upload in progress: both files exist; the block names them (the temporary if given).
void opened(tqsftp_action_fn action, const char *temp_name = tmp.c_str())
{
    write_file(upload, "data");
    write_file(tmp, "temp");
    ASSERT_EQ(action(TQSFTP_ACT_START, nullptr, nullptr), 0);
    ASSERT_EQ(action(TQSFTP_ACT_OPENED, upload.c_str(), temp_name), 0);
    clear();
}

// A close reaches the kind's service with the block's name and 2; an answer of 1 refuses
// it and removes what the upload wrote.  The set-up replaces a read-only help file.
TEST(Action, ClosedHandsTheUploadToTheKindsService)
{
    table("/");  // the set-up writes the help files, read-only
    write_file("/tmp/sftp/upload/vpn-cert/help", std::string(300, '#'));
    write_file("/tmp/.sftp-upload/ssh-key:k", "");  // a leftover's mark; the name, the service's
    write_file("/tmp/sftp/upload/ssh-key/k", "key");
    EXPECT_EQ(tqsftp_upload_init(), 0);
    EXPECT_TRUE(read_file("/tmp/sftp/upload/ssh-key/k") == "key" &&
                !exists("/tmp/.sftp-upload/ssh-key:k"));
    for (const auto &[action, ucb, install] : kinds) {
        EXPECT_EQ(read_file(ucb->help_path), ucb->help_text);
        for (int answer : {taken, other_answer, refused_install}) {
            for (const char *temp_name : {tmp.c_str(), (const char *)nullptr}) {
                opened(action, temp_name);
                services.delayed = answer;
                EXPECT_EQ(action(TQSFTP_ACT_CLOSED, nullptr, nullptr),
                          answer == refused_install ? -1 : 0);
                EXPECT_EQ(services.calls, Args{std::string(install) + " " + upload + " 2"});
                EXPECT_EQ(services.name, ucb->file_name);
                EXPECT_TRUE(exists(upload)) << "not created by an upload of this process";
                EXPECT_EQ(exists(tmp), answer != refused_install || !temp_name) << install;
            }
        }
    }
}

// Start clears the names; a failed close or an unknown command removes what the upload
// wrote; a rename follows only the current upload; an unfit name leaves the block empty.
TEST(Action, TheRestOfTheProtocol)
{
    const std::string cut = "/ramdisk/" + std::string(70, 'c'), longer = cut + "a";
    constexpr int unknown = TQSFTP_ACT_RENAME + 1, negative = -1;
    for (const auto &[action, ucb, install] : {firmware, config}) {
        opened(action);
        EXPECT_EQ(action(TQSFTP_ACT_START, nullptr, nullptr), 0);
        EXPECT_STREQ(ucb->file_name, "") << install;
        EXPECT_STREQ(ucb->temp_name, "") << install;
        for (int cmd :
             {int{TQSFTP_ACT_OPEN_FAILED}, int{TQSFTP_ACT_CLOSE_FAILED}, unknown, negative}) {
            opened(action);
            EXPECT_EQ(action(cmd, nullptr, nullptr), 0);
            EXPECT_TRUE(exists(upload) && services.calls.empty());
            EXPECT_EQ(exists(tmp), cmd == TQSFTP_ACT_OPEN_FAILED) << cmd;
        }
        opened(action);
        EXPECT_EQ(action(TQSFTP_ACT_RENAME, "/ramdisk/other.bin", "/ramdisk/new.bin"), -1);
        EXPECT_EQ(action(TQSFTP_ACT_RENAME, upload.c_str(), "/ramdisk/new.bin"), 0);
        EXPECT_STREQ(ucb->file_name, "/ramdisk/new.bin");
        EXPECT_EQ(ucb->temp_name, tmp);
        EXPECT_EQ(services.calls, Args{"changeFilename /ramdisk/new.bin"});
        auto too_long = [&](int cmd, const char *a, const char *b) {
            return errno = 0, action(cmd, a, b) == -1 && errno == ENAMETOOLONG;
        };
        EXPECT_TRUE(too_long(TQSFTP_ACT_RENAME, "/ramdisk/new.bin", longer.c_str()));
        EXPECT_TRUE(too_long(TQSFTP_ACT_OPENED, longer.c_str(), nullptr));
        write_file(cut, "x");
        EXPECT_EQ(action(TQSFTP_ACT_CLOSE_FAILED, nullptr, nullptr), 0);
        EXPECT_STREQ(ucb->file_name, "");
        EXPECT_STREQ(ucb->temp_name, "");
        EXPECT_TRUE(exists(cut) && exists(tmp));
    }
}

}  // namespace
