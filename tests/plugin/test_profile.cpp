// The configuration profile store: downloads in converted form through the
// temporary file, uploads to the update service, the size stat reports, the
// protection of the current profile, moves, and the folder listing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>

#include "alloc_failures.h"
#include "guarded.h"

using namespace tqtest;

namespace {

using Audits = std::vector<Audit>;
using Args = std::vector<std::string>;

constexpr int W = O_WRONLY | O_CREAT | O_TRUNC;
const std::string tmp = "/ramdisk/lighty.tmp";
const std::string profile = "<profile>site settings, long enough for pieces</profile>";

// Everything a descriptor gives through the host's read.
std::string read_all(tqsftp_funcs *t, int fd)
{
    std::string out;
    char buf[64];
    ssize_t n;
    while ((n = t->read(fd, buf, sizeof buf, static_cast<int64_t>(out.size()))) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

Audits open_line(int err, const char *client)
{
    return {line(err, cmd_open, nullptr, client)};
}

std::vector<std::string> stored()
{
    std::vector<std::string> names;
    DIR *d = opendir("/flash/cfg");
    while (struct dirent64 *e = readdir64(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(d);
    return names;
}

using Transfer = GuardedTest;

TEST_F(Transfer, DownloadDeliversTheConvertedProfileOfTheSizeStatReports)
{
    const char *client = "/nv/cfg/site.xml";
    write_file("/flash/cfg/site.xml", profile);
    tqsftp_funcs *t = table(client);

    struct stat64 st {};
    ASSERT_EQ(t->stat(client, &st), 0);
    EXPECT_EQ(services.xml_args,
              (Args{"24", "/flash/cfg/site.xml", "2", "CompressedData"}));

    clear();
    int fd = t->open(client, O_RDONLY, 0640);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(exists(tmp)) << "the name goes while the descriptor stays";
    auto opens = host_calls("open");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].args, Args{tmp});
    EXPECT_EQ(opens[0].flags, O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_EQ(opens[0].mode, 0640);
    EXPECT_EQ(opens[1].args, Args{tmp});
    EXPECT_EQ(opens[1].flags, O_RDONLY);
    EXPECT_TRUE(audits().empty());
    ASSERT_NE(tqsftp_state.files, nullptr);
    EXPECT_EQ(tqsftp_state.files->fd, fd);
    EXPECT_EQ(tqsftp_state.files->kind, 0u);
    EXPECT_STREQ(tqsftp_state.files->real_path, "/flash/cfg/site.xml");

    std::string got = read_all(t, fd);
    EXPECT_EQ(got, "XML:" + profile);
    EXPECT_EQ(st.st_size, static_cast<off64_t>(got.size()));

    EXPECT_EQ(t->close(fd), 0);
    EXPECT_EQ(audits(), Audits{line(0, cmd_copy, client, remote)});
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(services.invalidations, 0);
    EXPECT_EQ(read_file("/flash/cfg/site.xml"), profile);
}

TEST_F(Transfer, StatOfAFolderIsTheHostsOwnWithoutConversion)
{
    mkdir("/flash/cfg/sub", 0755);
    const char *cases[][2] = {{"/nv/cfg", "/flash/cfg"},
                              {"/nv/cfg/sub", "/flash/cfg/sub"}};
    for (auto &c : cases) {
        clear();
        struct stat64 st {}, real {};
        ASSERT_EQ(table(c[0])->stat(c[0], &st), 0);
        ASSERT_EQ(stat64(c[1], &real), 0);
        EXPECT_EQ(st.st_ino, real.st_ino);
        EXPECT_EQ(st.st_size, real.st_size);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_TRUE(service_calls("xml").empty());
    }
}

TEST_F(Transfer, UnconvertibleProfileFailsWithEioWhileStatShowsTheStoredSize)
{
    const char *client = "/nv/cfg/bad.xml";
    write_file("/flash/cfg/bad.xml", "abc");
    services.xml_result = 3;
    tqsftp_funcs *t = table(client);
    errno = 0;
    EXPECT_EQ(t->open(client, O_RDONLY, 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_FALSE(exists(tmp));
    EXPECT_EQ(audits(), open_line(EIO, client));

    struct stat64 st {};
    EXPECT_EQ(t->stat(client, &st), 0);
    EXPECT_EQ(st.st_size, 3);
}

TEST_F(Transfer, FailedReopenRemovesTheTemporaryFile)
{
    const char *client = "/nv/cfg/site.xml";
    write_file("/flash/cfg/site.xml", profile);
    errno = 0;
    // The reopen takes the client's flags; a regular file is no folder.
    EXPECT_EQ(table(client)->open(client, O_RDONLY | O_DIRECTORY, 0), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(host_calls("open").size(), 2u);
    EXPECT_FALSE(exists(tmp));
    EXPECT_EQ(audits(), open_line(ENOTDIR, client));
}

// A temporary file of another transfer refuses both directions and stays.
TEST_F(Transfer, LeftOverTemporaryFileRefusesDownloadsAndUploads)
{
    write_file("/flash/cfg/site.xml", profile);
    write_file(tmp, "another transfer");
    for (int flags : {O_RDONLY, W, O_RDWR}) {
        SCOPED_TRACE(flags);
        clear();
        actions.clear();
        errno = 0;
        EXPECT_LT(table("/nv/cfg/site.xml")->open("/nv/cfg/site.xml", flags, 0600), 0);
        EXPECT_EQ(errno, EPERM);
        EXPECT_EQ(audits(), open_line(EPERM, "/nv/cfg/site.xml"));
        EXPECT_TRUE(service_calls("xml").empty());
        EXPECT_EQ(action_cmds(), flags == O_RDONLY ? std::vector<int>{}
                                                   : std::vector<int>{TQSFTP_ACT_START});
        EXPECT_EQ(read_file(tmp), "another transfer");
    }
    EXPECT_STREQ(tqsftp_config_ucb.file_name, "");
}

TEST_F(Transfer, ExclusiveCreationOfAStoredProfileFailsInBothDirections)
{
    write_file("/flash/cfg/site.xml", profile);
    for (int flags : {O_RDONLY | O_CREAT | O_EXCL, W | O_EXCL}) {
        clear();
        errno = 0;
        EXPECT_EQ(table("/nv/cfg/site.xml")->open("/nv/cfg/site.xml", flags, 0), -1);
        EXPECT_EQ(errno, EEXIST);
        EXPECT_EQ(audits(), open_line(EEXIST, "/nv/cfg/site.xml"));
        EXPECT_TRUE(host_calls("open").empty());
        EXPECT_TRUE(actions.empty());
    }
}

TEST_F(Transfer, UploadWritesOnlyTheTemporaryFileAndHandsItOver)
{
    const char *client = "/nv/cfg/new.xml";
    tqsftp_funcs *t = table(client);
    int fd = t->open(client, O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0].cmd, TQSFTP_ACT_START);
    EXPECT_EQ(actions[0].a, "(null)");
    EXPECT_EQ(actions[0].b, "(null)");
    EXPECT_EQ(actions[1].cmd, TQSFTP_ACT_OPENED);
    EXPECT_EQ(actions[1].a, client);
    EXPECT_EQ(actions[1].b, tmp);
    Call open = host_calls("open").at(0);
    EXPECT_EQ(open.args, Args{tmp});
    EXPECT_EQ(open.flags, O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_EQ(open.mode, 0600);
    EXPECT_TRUE(audits().empty());
    ASSERT_NE(tqsftp_state.files, nullptr);
    EXPECT_EQ(tqsftp_state.files->fd, fd);
    EXPECT_EQ(tqsftp_state.files->kind, 1u);
    EXPECT_EQ(t->write(fd, "uploaded", 8, 0), 8);

    actions.clear();
    EXPECT_EQ(t->close(fd), 0);
    EXPECT_EQ(action_cmds(), std::vector<int>{TQSFTP_ACT_CLOSED});
    EXPECT_EQ(actions[0].a, "/flash/cfg/new.xml");
    ASSERT_EQ(service_calls("configDelayed").size(), 1u);
    EXPECT_EQ(service_calls("configDelayed")[0].args[0], client);
    EXPECT_EQ(services.invalidations, 1);
    EXPECT_EQ(audits(), Audits{line(0, cmd_copy, remote, client)});
    EXPECT_EQ(read_file(tmp), "uploaded") << "left for the update service";
    EXPECT_TRUE(stored().empty());

    // Until it is stored, stat shows the upload as its temporary file.
    clear();
    struct stat64 st {};
    EXPECT_EQ(t->stat(client, &st), 0);
    EXPECT_EQ(st.st_size, 8);
    EXPECT_TRUE(service_calls("xml").empty());
    EXPECT_EQ(host_calls("stat").back().args, Args{tmp});
    for (const char *other : {"/nv/cfg/other.xml", "/nv/cfg/NEW.xml"}) {
        errno = 0;
        EXPECT_EQ(t->stat(other, &st), -1);
        EXPECT_EQ(errno, ENOENT);
    }
}

TEST_F(Transfer, BusyUpdateServiceRefusesAnUploadBeforeAnythingIsCreated)
{
    services.busy = 1;
    errno = 0;
    EXPECT_EQ(table("/nv/cfg/new.xml")->open("/nv/cfg/new.xml", W, 0600), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(action_cmds(), std::vector<int>{TQSFTP_ACT_START});
    EXPECT_TRUE(host_calls("open").empty());
    EXPECT_FALSE(exists(tmp));
    EXPECT_EQ(audits(), open_line(EPERM, "/nv/cfg/new.xml"));
}

TEST_F(Transfer, EveryAllocationFailureFailsCleanlyWithEnomem)
{
    write_file("/flash/cfg/site.xml", profile);
    const char *client = "/nv/cfg/site.xml";
    tqsftp_funcs *t = table(client);
    for (int flags : {O_RDONLY, W}) {
        for (int n = 0;; n++) {
            SCOPED_TRACE("flags " + std::to_string(flags) + " allocation " +
                         std::to_string(n));
            clear();
            actions.clear();
            int fd;
            bool failed;
            {
                FailAllocation f(n);
                fd = t->open(client, flags, 0600);
                failed = f.allocations() > n;
            }
            if (!failed) {
                ASSERT_GE(fd, 0);
                EXPECT_EQ(t->close(fd), 0);
                unlink(tmp.c_str());
                break;
            }
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, ENOMEM);
            EXPECT_FALSE(exists(tmp));
            EXPECT_EQ(tqsftp_state.files, nullptr);
            // Silent when the path cannot be resolved, else one line.
            EXPECT_EQ(audits(), audits().empty() ? Audits{}
                                                 : open_line(ENOMEM, client));
            EXPECT_EQ(host_calls("open").size(), host_calls("close").size() * 2);
            for (const ActionCall &a : actions)
                EXPECT_EQ(a.cmd, TQSFTP_ACT_START);
        }
    }
}

TEST_F(Transfer, UnresolvablePathFailsWithEnomemWithoutCallingTheHost)
{
    tqsftp_funcs *t = &tqsftp_funcs_nvmcfg_file;
    std::string p = unresolvable("/nv/cfg");
    const char *c = p.c_str();
    struct stat64 st;
    struct Case {
        std::function<int()> call;
        std::optional<Audit> audit;
    } cases[] = {
        {[&] { return t->open(c, O_RDONLY, 0); }, {}},
        {[&] { return t->open(c, W, 0); }, {}},
        {[&] { return t->stat(c, &st); }, {}},
        {[&] { return t->unlink(c); }, line(ENOMEM, cmd_unlink, nullptr, c)},
        {[&] { return tqsftp_funcs_envmcfg.unlink(c); },
         line(ENOMEM, cmd_unlink, nullptr, c)},
        {[&] { return t->rename(c, c); }, line(ENOMEM, cmd_rename, c, c)},
        {[&] { return t->link(c, c); }, line(ENOMEM, cmd_link, c, c)},
    };
    for (Case &k : cases) {
        clear();
        errno = 0;
        EXPECT_EQ(k.call(), -1);
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_TRUE(host.calls.empty());
        EXPECT_TRUE(actions.empty());
        EXPECT_EQ(audits(), k.audit ? Audits{*k.audit} : Audits{});
    }
}

TEST(Sinks, RefuseAbsentArgumentsAndPassTheLengthOn)
{
    int fd = ::open("/ramdisk/sink", O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tqsftp_fdwrite_cb(0, nullptr, "abc", 3), -1);
    EXPECT_EQ(tqsftp_fdwrite_cb(0, &fd, nullptr, 3), -1);
    EXPECT_EQ(tqsftp_fdwrite_cb(0, &fd, "abc", 3), 3);
    ::close(fd);
    EXPECT_EQ(read_file("/ramdisk/sink"), "abc");
    EXPECT_EQ(tqsftp_fdwrite_cb(0, &fd, "abc", 3), -1) << "closed descriptor";

    uint32_t count = 0xFFFFFFFEu;
    EXPECT_EQ(tqsftp_count_cb(0, &count, nullptr, 5), -1);
    EXPECT_EQ(tqsftp_count_cb(0, nullptr, "abcde", 5), -1);
    EXPECT_EQ(count, 0xFFFFFFFEu);
    EXPECT_EQ(tqsftp_count_cb(0, &count, "abcde", 5), 5);
    EXPECT_EQ(count, 3u) << "counts modulo 2^32";
}

// Deletion in the profile folder: the current profile is the first word of
// the marker file with ".xml", or config.xml without a marker.
struct MarkerCase {
    const char *what;
    std::optional<std::string> marker;  // "/" makes the marker a folder
    std::vector<std::string> refused, deleted;
};

void PrintTo(const MarkerCase &c, std::ostream *os) { *os << c.what; }

const std::string w49(49, 'w');
const std::string w60 = w49 + std::string(11, 'z');

const MarkerCase marker_cases[] = {
    {"no_marker", {}, {"config.xml"}, {"Config.xml", "office.xml", "a.xml"}},
    {"office", "office\n", {"office.xml"}, {"config.xml", "Office.xml", "office"}},
    {"first_word_only", "  \n office   other words", {"office.xml"},
     {"other.xml", "config.xml"}},
    {"word_of_49", w49, {w49 + ".xml"}, {"config.xml"}},
    {"word_of_60_is_cut", w60, {w49 + ".xml"}, {w60 + ".xml", "config.xml"}},
    {"empty_marker", "", {".xml"}, {"config.xml"}},
    {"unreadable_marker", "/", {"config.xml", "a.xml", ".xml"}, {}},
};

class Marker : public GuardedTest,
               public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(Marker, ProtectsTheCurrentProfileOnly)
{
    const MarkerCase &c = GetParam();
    if (c.marker == "/")
        mkdir("/flash/cfg/profile.cur", 0755);
    else if (c.marker)
        write_file("/flash/cfg/profile.cur", *c.marker);
    for (const std::string &name : c.refused) {
        SCOPED_TRACE(name);
        std::string client = "/nv/cfg/" + name, real = "/flash/cfg/" + name;
        write_file(real, "p");
        clear();
        errno = 0;
        EXPECT_EQ(table(client)->unlink(client.c_str()), -1);
        EXPECT_EQ(errno, EPERM);
        EXPECT_TRUE(exists(real));
        EXPECT_TRUE(host.calls.empty());
        EXPECT_TRUE(audits().empty());
        EXPECT_EQ(services.invalidations, 0);
    }
    for (const std::string &name : c.deleted) {
        SCOPED_TRACE(name);
        std::string client = "/nv/cfg/" + name, real = "/flash/cfg/" + name;
        write_file(real, "p");
        clear();
        EXPECT_EQ(table(client)->unlink(client.c_str()), 0);
        EXPECT_FALSE(exists(real));
        EXPECT_EQ(host_calls("unlink").at(0).args, Args{real});
        EXPECT_EQ(services.invalidations, 1);
        EXPECT_EQ(audits(), Audits{line(0, cmd_unlink, nullptr, client.c_str())});
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, Marker, ::testing::ValuesIn(marker_cases),
                         [](const auto &info) { return info.param.what; });

using Delete = GuardedTest;

TEST_F(Delete, NoSpellingOfTheCurrentProfilesPathDeletesIt)
{
    write_file("/flash/cfg/profile.cur", "site\n");
    write_file("/flash/cfg/site.xml", "p");
    for (const char *p :
         {"/nv/cfg/site.xml", "/nv/cfg/site.xml/", "/nv/cfg/site.xml/.",
          "/nv/cfg/./site.xml", "/nv/cfg/x/../site.xml", "/NV/CFG/site.xml",
          "//nv//cfg//site.xml", "/nv/cfg/site.xml/x/..", "/nv/cfg/../cfg/site.xml",
          "/usb/../nv/cfg/site.xml"}) {
        SCOPED_TRACE(p);
        clear();
        errno = 0;
        EXPECT_EQ(table(p)->unlink(p), -1);
        EXPECT_EQ(errno, EPERM);
        EXPECT_TRUE(host.calls.empty());
    }
    EXPECT_TRUE(exists("/flash/cfg/site.xml"));
}

TEST_F(Delete, ProfileTheHostCannotDeleteIsStillReportedDone)
{
    errno = 0;
    EXPECT_EQ(table("/nv/cfg/gone.xml")->unlink("/nv/cfg/gone.xml"), 0);
    EXPECT_EQ(errno, ENOENT) << "as the host left it";
    EXPECT_EQ(host_calls("unlink").size(), 1u);
    EXPECT_EQ(services.invalidations, 1);
    EXPECT_EQ(audits(), Audits{line(0, cmd_unlink, nullptr, "/nv/cfg/gone.xml")});
}

TEST_F(Delete, OnRemovableMediaReportsTheHostsResult)
{
    mkdir("/usb0/cfg", 0755);
    mkdir("/sd/cfg", 0755);
    write_file("/usb0/cfg/config.xml", "p");  // no current profile here
    write_file("/sd/cfg/a.xml", "p");
    for (const char *p : {"/usb/cfg/config.xml", "/sd/cfg/a.xml"}) {
        clear();
        EXPECT_EQ(table(p)->unlink(p), 0);
        EXPECT_EQ(services.invalidations, 1);
        EXPECT_EQ(audits(), Audits{line(0, cmd_unlink, nullptr, p)});
    }
    EXPECT_FALSE(exists("/usb0/cfg/config.xml"));
    EXPECT_FALSE(exists("/sd/cfg/a.xml"));

    clear();
    errno = 0;
    EXPECT_EQ(table("/usb/cfg/a.xml")->unlink("/usb/cfg/a.xml"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(services.invalidations, 0);
    EXPECT_EQ(audits(), Audits{line(ENOENT, cmd_unlink, nullptr, "/usb/cfg/a.xml")});
}

// Rename and link in the profile folder, each case for both.
using ProfileMoves = MoveTest;

TEST_P(ProfileMoves, OfAStoredProfileIsTheHostsAlone)
{
    write_file("/flash/cfg/a.xml", "p");
    EXPECT_EQ(move("/nv/cfg/a.xml", "/nv/cfg/b.xml"), 0);
    EXPECT_EQ(host_calls(GetParam().host_slot).at(0).args,
              (Args{"/flash/cfg/a.xml", "/flash/cfg/b.xml"}));
    EXPECT_TRUE(exists("/flash/cfg/b.xml"));
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(audits(), Audits{line(0, label(), "/nv/cfg/a.xml", "/nv/cfg/b.xml")});
}

TEST_P(ProfileMoves, OfAPendingUploadGoThroughTheAction)
{
    tqsftp_funcs *t = table("/nv/cfg/new.xml");
    int fd = t->open("/nv/cfg/new.xml", W, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(t->write(fd, "uploaded", 8, 0), 8);
    ASSERT_EQ(t->close(fd), 0);
    clear();
    actions.clear();

    EXPECT_EQ(move("/nv/cfg/new.xml", "/nv/cfg/renamed.xml"), 0);
    EXPECT_EQ(host_calls(GetParam().host_slot).size(), 1u);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].cmd, TQSFTP_ACT_RENAME);
    EXPECT_EQ(actions[0].a, "/nv/cfg/new.xml");
    EXPECT_EQ(actions[0].b, "/nv/cfg/renamed.xml");
    EXPECT_EQ(service_calls("changeFilename").at(0).args, Args{"/nv/cfg/renamed.xml"});
    EXPECT_EQ(audits(), Audits{line(0, label(), "/nv/cfg/new.xml",
                                    "/nv/cfg/renamed.xml")});
    struct stat64 st {};
    EXPECT_EQ(t->stat("/nv/cfg/renamed.xml", &st), 0);
    EXPECT_EQ(st.st_size, 8);

    // Any other missing name keeps the host's error.
    clear();
    errno = 0;
    EXPECT_EQ(move("/nv/cfg/other.xml", "/nv/cfg/x.xml"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(audits(), Audits{line(ENOENT, label(), "/nv/cfg/other.xml",
                                    "/nv/cfg/x.xml")});
}

TEST_P(ProfileMoves, OutOfTheProfileFolderEntryAreRefused)
{
    write_file("/flash/cfg/a.xml", "p");
    mkdir("/usb0/cfg", 0755);
    for (const char *to : {"/usb/cfg/a.xml", "/nv/cfg/help", "/nv/cfg/profile.cur",
                           "/nv/cfg/status", "/nv/cfg", "/upload/firmware/a.xml"}) {
        SCOPED_TRACE(to);
        clear();
        actions.clear();
        errno = 0;
        EXPECT_EQ(move("/nv/cfg/a.xml", to), -1);
        EXPECT_EQ(errno, EPERM);
        EXPECT_TRUE(host.calls.empty());
        EXPECT_TRUE(actions.empty());
        EXPECT_EQ(audits(), Audits{line(EPERM, label(), "/nv/cfg/a.xml", to)});
    }
    EXPECT_EQ(stored(), std::vector<std::string>{"a.xml"});
}

INSTANTIATE_TEST_SUITE_P(Both, ProfileMoves, ::testing::ValuesIn(rename_and_link),
                         move_name);

// The listing of "/nv/cfg": the stored files, then four names of its own.
struct Entry {
    std::string name;
    uint64_t ino;
    unsigned type, reclen;
    int64_t off;
    bool operator==(const Entry &) const = default;
};

void PrintTo(const Entry &e, std::ostream *os)
{
    *os << e.name << " ino " << e.ino << " type " << e.type << " reclen "
        << e.reclen << " off " << e.off;
}

const std::vector<Entry> own = {
    {"help", 1, 0, 0, 0}, {"status", 2, 0, 0, 0}, {"ok", 3, 0, 0, 0}, {"error", 4, 0, 0, 0}};

class Listing : public GuardedTest {
protected:
    // The names the plug-in lists; `skip_host` first drains the host's own
    // entries, as a folder that gives none would.
    std::vector<Entry> list(bool skip_host = false)
    {
        tqsftp_funcs *t = table("/nv/cfg");
        void *d = t->opendir("/nv/cfg");
        EXPECT_NE(d, nullptr);
        if (skip_host)
            while (readdir64(static_cast<DIR *>(d)) != nullptr) {
            }
        std::vector<Entry> out;
        while (struct dirent64 *e = t->readdir(d))
            out.push_back(Entry{e->d_name, e->d_ino, e->d_type, e->d_reclen, e->d_off});
        EXPECT_EQ(t->readdir(d), nullptr) << "the end stays the end";
        closedir(static_cast<DIR *>(d));
        return out;
    }

    static std::vector<std::string> names(const std::vector<Entry> &v)
    {
        std::vector<std::string> out;
        for (const Entry &e : v)
            out.push_back(e.name);
        return out;
    }
};

TEST_F(Listing, StoredFilesThenTheFourNamesThenTheEnd)
{
    write_file("/flash/cfg/a.xml", "p");
    write_file("/flash/cfg/b.xml", "p");
    unlink("/tmp/sftp/nv/cfg/help");  // listed whether it exists or not
    std::vector<std::string> host_order;
    DIR *d = opendir("/flash/cfg");
    while (struct dirent64 *e = readdir64(d))
        host_order.push_back(e->d_name);
    closedir(d);

    std::vector<Entry> got = list();
    ASSERT_EQ(got.size(), host_order.size() + 4);
    std::vector<Entry> tail(got.end() - 4, got.end());
    got.resize(host_order.size());
    EXPECT_EQ(names(got), host_order);
    EXPECT_EQ(tail, own);
    EXPECT_TRUE(audits().empty());

    EXPECT_EQ(list(), [&] {
        std::vector<Entry> again = got;
        again.insert(again.end(), own.begin(), own.end());
        return again;
    }()) << "a second complete listing";
}

TEST_F(Listing, FolderGivingNoEntryShowsOnlyTheFourNames)
{
    EXPECT_EQ(list(true), own);
}

TEST_F(Listing, PositionIsKeptAfterACompleteListing)
{
    list();
    EXPECT_TRUE(list(true).empty());
    EXPECT_EQ(names(list()).back(), "error") << "a real entry starts over";
}

}  // namespace
