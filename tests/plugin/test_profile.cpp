// The configuration profile store: downloads in converted form through the
// temporary file, uploads to the update service, the size stat reports, the
// protection of the current profile, moves, and the folder listing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "doubles.h"

using namespace tqtest;

namespace {

constexpr int W = O_WRONLY | O_CREAT | O_TRUNC;
const std::string tmp = "/ramdisk/lighty.tmp";
const std::string profile = "<profile>site settings, long enough for pieces</profile>";
const char *const site = "/nv/cfg/site.xml";

Audits open_line(int err, const char *client) { return {line(err, cmd_open, nullptr, client)}; }

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
    write_file("/flash/cfg/site.xml", profile);
    tqsftp_funcs *t = table(site);

    struct stat64 st {};
    ASSERT_EQ(t->stat(site, &st), 0);
    EXPECT_EQ(services.xml_args, (Args{"24", "/flash/cfg/site.xml", "2", "CompressedData"}));

    // The C library, not the host, closes the temporary file after writing.
    Outcome o = run([&] { return t->open(site, O_RDONLY, 0640); });
    int fd = static_cast<int>(o.result);
    EXPECT_EQ(o, (Outcome{fd, 0, {"open " + tmp, "open " + tmp}, {}, {}}));
    EXPECT_FALSE(exists(tmp)) << "the name goes while the descriptor stays";
    EXPECT_EQ(host.calls[0].flags, O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_EQ(host.calls[0].mode, 0640);
    EXPECT_EQ(host.calls[1].flags, O_RDONLY);

    std::string got(200, '\0');
    got.resize(t->read(fd, got.data(), got.size(), 0));
    EXPECT_EQ(got, "XML:" + profile);
    EXPECT_EQ(st.st_size, static_cast<off64_t>(got.size()));

    EXPECT_EQ(run([&] { return t->close(fd); }),
              (Outcome{0, 0, {"close " + std::to_string(fd)}, {},
                       {line(0, cmd_copy, site, remote)}}));
    EXPECT_EQ(services.invalidations, 0);
    EXPECT_EQ(read_file("/flash/cfg/site.xml"), profile);
}

TEST_F(Transfer, StatOfAFolderIsTheHostsOwnWithoutConversion)
{
    mkdir("/flash/cfg/sub", 0755);
    for (auto [client, real] :
         {std::pair{"/nv/cfg", "/flash/cfg"}, {"/nv/cfg/sub", "/flash/cfg/sub"}}) {
        struct stat64 st {}, want {};
        ASSERT_EQ(table(client)->stat(client, &st), 0);
        ASSERT_EQ(stat64(real, &want), 0);
        EXPECT_EQ(st.st_ino, want.st_ino);
        EXPECT_EQ(st.st_size, want.st_size);
    }
    EXPECT_TRUE(service_calls("xml").empty());
}

// A profile that cannot be converted fails to download with EIO and leaves no
// temporary file, while stat shows its stored size.
TEST_F(Transfer, FailedDownloadsLeaveNoTemporaryFile)
{
    write_file("/flash/cfg/site.xml", "abc");
    services.xml_result = 3;
    EXPECT_EQ(run([] { return table(site)->open(site, O_RDONLY, 0); }),
              (Outcome{-1, EIO, {"open " + tmp}, {}, open_line(EIO, site)}));
    EXPECT_FALSE(exists(tmp));

    struct stat64 st {};
    EXPECT_EQ(table(site)->stat(site, &st), 0);
    EXPECT_EQ(st.st_size, 3);

    // A failed reopen, which takes the client's flags, removes it as well.
    services.xml_result = 0;
    EXPECT_EQ(run([] { return table(site)->open(site, O_RDONLY | O_DIRECTORY, 0); }),
              (Outcome{-1, ENOTDIR, {"open " + tmp, "open " + tmp}, {}, open_line(ENOTDIR, site)}));
    EXPECT_FALSE(exists(tmp));
}

// A busy update service refuses an upload before anything is created; an
// exclusive creation of a stored profile is refused before anything else.
TEST_F(Transfer, RefusedOpens)
{
    write_file("/flash/cfg/site.xml", profile);
    services.busy = 1;
    EXPECT_EQ(run([] { return table(site)->open(site, W, 0600); }),
              (Outcome{-1, EPERM, {}, {"0 (null) (null)"}, open_line(EPERM, site)}));
    EXPECT_FALSE(exists(tmp));
    services.busy = 0;
    write_file(tmp, "another transfer");
    const Args stat = {"stat /flash/cfg/site.xml"};
    const std::pair<int, Outcome> cases[] = {
        {O_RDONLY | O_CREAT | O_EXCL, {-1, EEXIST, stat, {}, open_line(EEXIST, site)}},
        {W | O_EXCL, {-1, EEXIST, stat, {}, open_line(EEXIST, site)}},
    };
    for (const auto &[flags, want] : cases) {
        EXPECT_EQ(run([&] { return table(site)->open(site, flags, 0600); }), want);
        EXPECT_TRUE(service_calls("xml").empty());
        EXPECT_EQ(read_file(tmp), "another transfer");
    }
    EXPECT_STREQ(tqsftp_config_ucb.file_name, "");
}

TEST_F(Transfer, UploadWritesOnlyTheTemporaryFileAndHandsItOver)
{
    const char *client = "/nv/cfg/new.xml";
    tqsftp_funcs *t = table(client);
    Outcome o = run([&] { return t->open(client, O_WRONLY, 0600); });
    int fd = static_cast<int>(o.result);
    EXPECT_EQ(o, (Outcome{fd, 0, {"open " + tmp},
                          {"0 (null) (null)", "1 " + std::string(client) + " " + tmp}, {}}));
    EXPECT_EQ(host.calls[0].flags, O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_EQ(host.calls[0].mode, 0600);
    EXPECT_EQ(t->write(fd, "uploaded", 8, 0), 8);

    EXPECT_EQ(run([&] { return t->close(fd); }),
              (Outcome{0, 0, {"close " + std::to_string(fd)}, {"3 /flash/cfg/new.xml (null)"},
                       {line(0, cmd_copy, remote, client)}}));
    EXPECT_EQ(service_calls("configDelayed").at(0).args.at(0), client);
    EXPECT_EQ(services.invalidations, 1);
    EXPECT_EQ(read_file(tmp), "uploaded") << "left for the update service";
    EXPECT_TRUE(stored().empty());

    // Until it is stored, stat shows the upload as its temporary file.
    clear();
    struct stat64 st {};
    EXPECT_EQ(t->stat(client, &st), 0);
    EXPECT_EQ(st.st_size, 8);
    EXPECT_TRUE(service_calls("xml").empty());
    for (const char *other : {"/nv/cfg/other.xml", "/nv/cfg/NEW.xml"}) {
        errno = 0;
        EXPECT_EQ(t->stat(other, &st), -1);
        EXPECT_EQ(errno, ENOENT);
    }
}

TEST_F(Transfer, EveryAllocationFailureFailsCleanlyWithEnomem)
{
    write_file("/flash/cfg/site.xml", profile);
    tqsftp_funcs *t = table(site);
    for (int flags : {O_RDONLY, W}) {
        for (int n = 0;; n++) {
            SCOPED_TRACE("flags " + std::to_string(flags) + " allocation " + std::to_string(n));
            bool failed;
            Outcome o = run([&] {
                FailAllocation f(n);
                long fd = t->open(site, flags, 0600);
                failed = f.allocations() > n;
                return fd;
            });
            if (!failed) {
                EXPECT_EQ(t->close(static_cast<int>(o.result)), 0);
                unlink(tmp.c_str());
                break;
            }
            EXPECT_EQ(o.result, -1);
            EXPECT_EQ(o.err, ENOMEM);
            EXPECT_FALSE(exists(tmp));
            EXPECT_EQ(tqsftp_state.files, nullptr);
            // Silent when the path cannot be resolved, else one line; the
            // host closes what it opened for the client.
            EXPECT_EQ(o.audits, o.audits.empty() ? Audits{} : open_line(ENOMEM, site));
            auto calls = [&](const char *slot) {
                return std::count_if(o.host.begin(), o.host.end(),
                                     [&](const std::string &h) { return h.rfind(slot, 0) == 0; });
            };
            EXPECT_EQ(calls("open"), 2 * calls("close"));
            EXPECT_EQ(o.actions, o.actions.empty() ? Args{} : Args{"0 (null) (null)"});
        }
    }
}

TEST_F(Transfer, UnresolvablePathFailsWithEnomemWithoutCallingTheHost)
{
    tqsftp_funcs *t = &tqsftp_funcs_nvmcfg_file;
    std::string p = unresolvable("/nv/cfg");
    const char *c = p.c_str();
    struct stat64 st;
    const std::pair<std::function<long()>, Audits> cases[] = {
        {[&] { return t->open(c, O_RDONLY, 0); }, {}},
        {[&] { return t->open(c, W, 0); }, {}},
        {[&] { return t->stat(c, &st); }, {}},
        {[&] { return t->unlink(c); }, {line(ENOMEM, cmd_unlink, nullptr, c)}},
        {[&] { return tqsftp_funcs_envmcfg.unlink(c); }, {line(ENOMEM, cmd_unlink, nullptr, c)}},
        {[&] { return t->rename(c, c); }, {line(ENOMEM, cmd_rename, c, c)}},
        {[&] { return t->link(c, c); }, {line(ENOMEM, cmd_link, c, c)}},
    };
    for (auto &[op, lines] : cases)
        EXPECT_EQ(run(op), (Outcome{-1, ENOMEM, {}, {}, lines}));
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
    std::optional<std::string> marker;  // "/": a folder, "@": a link to itself
    std::vector<std::string> refused, deleted;
};

const std::string w49(49, 'w'), w60 = w49 + std::string(11, 'z');

const MarkerCase marker_cases[] = {
    {"no_marker", {}, {"config.xml"}, {"Config.xml", "office.xml"}},
    {"office", "office\n", {"office.xml"}, {"config.xml", "Office.xml", "office"}},
    {"first_word_only", "  \n office   other words", {"office.xml"}, {"other.xml"}},
    {"word_of_49", w49, {w49 + ".xml"}, {"config.xml"}},
    {"word_of_60_is_cut", w60, {w49 + ".xml"}, {w60 + ".xml"}},
    {"empty_marker", "", {".xml"}, {"config.xml"}},
    {"unreadable_marker", "/", {"config.xml", "a.xml", ".xml"}, {}},
    {"looping_marker", "@", {"config.xml", "a.xml"}, {}},
};

void PrintTo(const MarkerCase &c, std::ostream *os) { *os << c.what; }

class Marker : public GuardedTest, public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(Marker, ProtectsTheCurrentProfileOnly)
{
    const MarkerCase &c = GetParam();
    if (c.marker == "/")
        mkdir("/flash/cfg/profile.cur", 0755);
    else if (c.marker == "@")
        symlink("profile.cur", "/flash/cfg/profile.cur");
    else if (c.marker)
        write_file("/flash/cfg/profile.cur", *c.marker);
    for (bool refused : {true, false}) {
        for (const std::string &name : refused ? c.refused : c.deleted) {
            std::string client = "/nv/cfg/" + name, real = "/flash/cfg/" + name;
            write_file(real, "p");
            Outcome done{0, 0, {"unlink " + real}, {},
                         {line(0, cmd_unlink, nullptr, client.c_str())}};
            EXPECT_EQ(run([&] { return table(client)->unlink(client.c_str()); }),
                      (refused ? Outcome{-1, EPERM, {}, {}, {}} : done));
            EXPECT_EQ(exists(real), refused) << name;
            EXPECT_EQ(services.invalidations, refused ? 0 : 1) << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, Marker, ::testing::ValuesIn(marker_cases),
                         [](const auto &info) { return info.param.what; });

using Delete = GuardedTest;

TEST_F(Delete, NoSpellingOfTheCurrentProfilesPathDeletesIt)
{
    write_file("/flash/cfg/profile.cur", "site\n");
    write_file("/flash/cfg/site.xml", "p");
    for (const char *p : {"/nv/cfg/site.xml/", "/nv/cfg/site.xml/.", "/nv/cfg/x/../site.xml",
                          "/NV/CFG/site.xml", "/nv/cfg/site.xml/x/..", "/usb/../nv/cfg/site.xml"})
        EXPECT_EQ(run([&] { return table(p)->unlink(p); }), (Outcome{-1, EPERM, {}, {}, {}})) << p;
    EXPECT_TRUE(exists("/flash/cfg/site.xml"));
}

// The host's result stands, in the profile store (whose cache is dropped
// anyway) and on removable media.
TEST_F(Delete, OfAMissingProfileAndOnRemovableMedia)
{
    EXPECT_EQ(run([] { return table("/nv/cfg/gone.xml")->unlink("/nv/cfg/gone.xml"); }),
              (Outcome{-1, ENOENT, {"unlink /flash/cfg/gone.xml"}, {},
                       {line(ENOENT, cmd_unlink, nullptr, "/nv/cfg/gone.xml")}}));
    EXPECT_EQ(services.invalidations, 1);

    mkdir("/usb0/cfg", 0755);
    mkdir("/sd/cfg", 0755);
    write_file("/usb0/cfg/config.xml", "p");  // no current profile here
    write_file("/sd/cfg/a.xml", "p");
    for (auto [p, real] : {std::pair{"/usb/cfg/config.xml", "/usb0/cfg/config.xml"},
                           {"/sd/cfg/a.xml", "/sd/cfg/a.xml"}}) {
        EXPECT_EQ(run([&] { return table(p)->unlink(p); }),
                  (Outcome{0, 0, {"unlink " + std::string(real)}, {},
                           {line(0, cmd_unlink, nullptr, p)}}));
        EXPECT_EQ(services.invalidations, 1);
        EXPECT_FALSE(exists(real));
    }
    EXPECT_EQ(run([] { return table("/usb/cfg/a.xml")->unlink("/usb/cfg/a.xml"); }),
              (Outcome{-1, ENOENT, {"unlink /usb0/cfg/a.xml"}, {},
                       {line(ENOENT, cmd_unlink, nullptr, "/usb/cfg/a.xml")}}));
    EXPECT_EQ(services.invalidations, 0);
}

// Rename and link in the profile folder, each case for both.
using ProfileMoves = MoveTest;

// A stored profile is moved by the host alone; a move the host refuses is
// offered to the action, which moves a pending upload only.
TEST_P(ProfileMoves, OfAStoredProfileOrAPendingUpload)
{
    write_file("/flash/cfg/a.xml", "p");
    EXPECT_EQ(run([&] { return move("/nv/cfg/a.xml", "/nv/cfg/b.xml"); }),
              (Outcome{0, 0, {slot() + " /flash/cfg/a.xml /flash/cfg/b.xml"}, {},
                       {line(0, label(), "/nv/cfg/a.xml", "/nv/cfg/b.xml")}}));
    EXPECT_TRUE(exists("/flash/cfg/b.xml"));

    tqsftp_funcs *t = table("/nv/cfg/new.xml");
    int fd = t->open("/nv/cfg/new.xml", W, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(t->write(fd, "uploaded", 8, 0), 8);
    ASSERT_EQ(t->close(fd), 0);
    EXPECT_EQ(run([&] { return move("/nv/cfg/new.xml", "/nv/cfg/renamed.xml"); }),
              (Outcome{0, 0, {slot() + " /flash/cfg/new.xml /flash/cfg/renamed.xml"},
                       {"5 /nv/cfg/new.xml /nv/cfg/renamed.xml"},
                       {line(0, label(), "/nv/cfg/new.xml", "/nv/cfg/renamed.xml")}}));
    EXPECT_EQ(service_calls("changeFilename").at(0).args, Args{"/nv/cfg/renamed.xml"});
    struct stat64 st {};
    EXPECT_EQ(t->stat("/nv/cfg/renamed.xml", &st), 0);
    EXPECT_EQ(st.st_size, 8);

    EXPECT_EQ(run([&] { return move("/nv/cfg/other.xml", "/nv/cfg/x.xml"); }),
              (Outcome{-1, ENOENT, {slot() + " /flash/cfg/other.xml /flash/cfg/x.xml"},
                       {"5 /nv/cfg/other.xml /nv/cfg/x.xml"},
                       {line(ENOENT, label(), "/nv/cfg/other.xml", "/nv/cfg/x.xml")}}));
}

TEST_P(ProfileMoves, OutOfTheProfileFolderEntryAreRefused)
{
    write_file("/flash/cfg/a.xml", "p");
    mkdir("/usb0/cfg", 0755);
    for (const char *to : {"/usb/cfg/a.xml", "/nv/cfg/help", "/nv/cfg/profile.cur",
                           "/nv/cfg/status", "/nv/cfg", "/upload/firmware/a.xml"})
        EXPECT_EQ(run([&] { return move("/nv/cfg/a.xml", to); }),
                  (Outcome{-1, EPERM, {}, {}, {line(EPERM, label(), "/nv/cfg/a.xml", to)}}));
    EXPECT_EQ(stored(), std::vector<std::string>{"a.xml"});
}

INSTANTIATE_TEST_SUITE_P(Both, ProfileMoves, ::testing::ValuesIn(rename_and_link), move_name);

// The listing of "/nv/cfg": the stored files, then four names of its own with
// d_ino 1 to 4 and nothing else set, then the end.
std::vector<std::string> list(bool drain_host_first = false)
{
    tqsftp_funcs *t = table("/nv/cfg");
    void *d = t->opendir("/nv/cfg");
    EXPECT_NE(d, nullptr);
    if (drain_host_first)  // as a folder that gives no entry
        while (readdir64(static_cast<DIR *>(d)) != nullptr) {
        }
    std::vector<std::string> out;
    while (struct dirent64 *e = t->readdir(d)) {
        out.push_back(e->d_name);
        if (e == &tqsftp_state.dirent)
            out.back() += " " + std::to_string(e->d_ino) + " " + std::to_string(e->d_type) + " " +
                          std::to_string(e->d_reclen) + " " + std::to_string(e->d_off);
    }
    EXPECT_EQ(t->readdir(d), nullptr) << "the end stays the end";
    closedir(static_cast<DIR *>(d));
    return out;
}

const Args own = {"help 1 0 0 0", "status 2 0 0 0", "ok 3 0 0 0", "error 4 0 0 0"};

using Listing = GuardedTest;

TEST_F(Listing, StoredFilesThenTheFourNamesThenTheEnd)
{
    write_file("/flash/cfg/a.xml", "p");
    write_file("/flash/cfg/b.xml", "p");
    unlink("/tmp/sftp/nv/cfg/help");  // listed whether it exists or not
    std::vector<std::string> want;
    DIR *d = opendir("/flash/cfg");
    while (struct dirent64 *e = readdir64(d))
        want.push_back(e->d_name);
    closedir(d);
    want.insert(want.end(), own.begin(), own.end());
    EXPECT_EQ(list(), want);
    EXPECT_TRUE(audits().empty());
    EXPECT_EQ(list(), want) << "a second complete listing";
    EXPECT_TRUE(list(true).empty()) << "the position is kept";
    EXPECT_EQ(list(), want) << "a real entry starts over";
}

TEST_F(Listing, FolderGivingNoEntryShowsOnlyTheFourNames) { EXPECT_EQ(list(true), own); }

}  // namespace
