// The profile store: downloads in converted form through the temporary
// file, uploads handed to the update service, sizes, the current profile,
// moves and the listing.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "doubles.h"

using namespace tqtest;

namespace {

constexpr int W = O_WRONLY | O_CREAT | O_TRUNC;
const std::string tmp = "/ramdisk/lighty.tmp";
const std::string profile = "<profile>site settings, long enough for pieces</profile>";
const char *const site = "/nv/cfg/site.xml";
const Args start = {"0 (null) (null)"};

Audits open_line(int err) { return {line(err, cmd_open, nullptr, site)}; }

using Store = GuardedTest;

TEST_F(Store, DownloadDeliversTheConvertedProfileOfTheSizeStatShows)
{
    write_file("/flash/cfg/site.xml", profile);
    tqsftp_funcs *t = table(site);
    struct stat64 st {};
    ASSERT_EQ(t->stat(site, &st), 0);
    EXPECT_EQ(services.xml_args, (Args{"24", "/flash/cfg/site.xml", "2", "CompressedData"}));
    Outcome o = run([&] { return t->open(site, O_RDONLY, 0640); });
    int fd = static_cast<int>(o.result);
    EXPECT_EQ(o, (Outcome{fd, 0, {"open " + tmp, "open " + tmp}, {}, {}}));
    EXPECT_EQ(host.calls[0].flags, O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_FALSE(exists(tmp)) << "the name goes while the descriptor stays";
    std::string got(200, '\0');
    got.resize(t->read(fd, got.data(), got.size(), 0));
    EXPECT_EQ(got, "XML:" + profile);
    EXPECT_EQ(st.st_size, static_cast<off64_t>(got.size()));
    EXPECT_EQ(run([&] { return t->close(fd); }).audits, Audits{line(0, "Copy", site, remote)});
    EXPECT_EQ(services.invalidations, 0);

    services.xml_result = 3;
    EXPECT_EQ(run([] { return table(site)->open(site, O_RDONLY, 0); }),
              (Outcome{-1, EIO, {"open " + tmp}, {}, open_line(EIO)}));
    EXPECT_FALSE(exists(tmp));
}

// Another transfer's temporary file refuses both directions; an existing
// profile refuses an exclusive creation; a busy service refuses an upload.
TEST_F(Store, RefusedOpens)
{
    write_file("/flash/cfg/site.xml", profile);
    const std::pair<int, Outcome> cases[] = {
        {W | O_EXCL, {-1, EEXIST, {"stat /flash/cfg/site.xml"}, {}, open_line(EEXIST)}},
    };
    for (const auto &[flags, want] : cases)
        EXPECT_EQ(run([&] { return table(site)->open(site, flags, 0600); }), want);
    services.busy = 1;
    EXPECT_EQ(run([] { return table(site)->open(site, W, 0600); }),
              (Outcome{-1, EPERM, {}, start, open_line(EPERM)}));
}

// An upload writes only the temporary file; until the update service stores
// it, stat shows that file, and a rename renames the pending upload.
TEST_F(Store, UploadHandedToTheServiceAndRenamedWhilePending)
{
    const char *client = "/nv/cfg/new.xml";
    tqsftp_funcs *t = table(client);
    Outcome o = run([&] { return t->open(client, O_WRONLY, 0600); });
    int fd = static_cast<int>(o.result);
    EXPECT_EQ(o, (Outcome{fd, 0, {"open " + tmp}, {start[0], "1 /nv/cfg/new.xml " + tmp}, {}}));
    EXPECT_EQ(host.calls[0].flags, O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_EQ(t->write(fd, "uploaded", 8, 0), 8);
    EXPECT_EQ(run([&] { return t->close(fd); }),
              (Outcome{0, 0, {"close " + std::to_string(fd)}, {"3 /flash/cfg/new.xml (null)"},
                       {line(0, "Copy", remote, client)}}));
    EXPECT_EQ(service_calls("configDelayed").at(0).args.at(0), client);
    EXPECT_EQ(services.invalidations, 1);
    EXPECT_TRUE(read_file(tmp) == "uploaded" && !exists("/flash/cfg/new.xml"));
    struct stat64 st {};
    EXPECT_EQ(t->stat("/nv/cfg/other.xml", &st), -1);
    EXPECT_TRUE(t->stat(client, &st) == 0 && st.st_size == 8);
    EXPECT_EQ(run([&] { return t->rename(client, "/nv/cfg/b.xml"); }),
              (Outcome{0, 0, {"rename /flash/cfg/new.xml /flash/cfg/b.xml"},
                       {"5 /nv/cfg/new.xml /nv/cfg/b.xml"},
                       {line(0, cmd_rename, client, "/nv/cfg/b.xml")}}));
    EXPECT_EQ(t->stat("/nv/cfg/b.xml", &st), 0);
    EXPECT_EQ(run([&] { return t->link("/nv/cfg/b.xml", "/nv/cfg/help"); }).err, EPERM);
    ::unlink(tmp.c_str());
}

// The current profile (the marker's first word and ".xml", else config.xml)
// cannot be deleted under any spelling; others can, refreshing the profiles
// even when the host fails.
TEST_F(Store, DeletionSparesTheCurrentProfile)
{
    const std::tuple<const char *, std::vector<std::string>, std::vector<std::string>> cases[] = {
        {nullptr, {"/nv/cfg/config.xml"}, {"/nv/cfg/office.xml"}},
        {"  office other\n", {"/nv/cfg/office.xml", "/nv/cfg/x/../office.xml/",
                              "/usb/../NV/cfg/office.xml"}, {"/nv/cfg/config.xml", "/nv/cfg/Office.xml"}},
        {"/", {"/nv/cfg/a.xml"}, {}},  // a marker that cannot be read
    };
    for (const auto &[marker, refused, deleted] : cases) {
        if (marker && std::string(marker) == "/")
            ::unlink("/flash/cfg/profile.cur"), ::mkdir("/flash/cfg/profile.cur", 0755);
        else if (marker)
            write_file("/flash/cfg/profile.cur", marker);
        for (const std::string &p : refused)
            EXPECT_EQ(run([&] { return table(p)->unlink(p.c_str()); }),
                      (Outcome{-1, EPERM, {}, {}, {}}));
        for (const std::string &p : deleted) {
            write_file("/flash/cfg/" + p.substr(8), "");
            Outcome o = run([&] { return table(p)->unlink(p.c_str()); });
            EXPECT_EQ(o.audits, Audits{line(0, cmd_unlink, nullptr, p.c_str())});
            EXPECT_TRUE(o.result == 0 && services.invalidations == 1) << p;
        }
    }
    ::mkdir("/usb0/cfg", 0755);
    EXPECT_EQ(run([] { return table("/usb/cfg/a.xml")->unlink("/usb/cfg/a.xml"); }),
              (Outcome{-1, ENOENT, {"unlink /usb0/cfg/a.xml"}, {},
                       {line(ENOENT, cmd_unlink, nullptr, "/usb/cfg/a.xml")}}));
}

TEST_F(Store, UnresolvablePathsFailWithEnomemWithoutTheHost)
{
    std::string p = unresolvable("/nv/cfg");
    const char *c = p.c_str();
    tqsftp_funcs *t = &tqsftp_funcs_nvmcfg_file;
    EXPECT_EQ(run([&] { return t->open(c, O_RDONLY, 0); }), (Outcome{-1, ENOMEM, {}, {}, {}}));
    EXPECT_EQ(run([&] { return t->unlink(c); }),
              (Outcome{-1, ENOMEM, {}, {}, {line(ENOMEM, cmd_unlink, nullptr, c)}}));
    EXPECT_EQ(run([&] { return t->link(c, c); }),
              (Outcome{-1, ENOMEM, {}, {}, {line(ENOMEM, cmd_link, c, c)}}));
}

// The listing: the stored files, then help, status, ok and error, then the
// end, at every new listing.
TEST_F(Store, ListingEndsInTheFourNamesOfItsOwn)
{
    write_file("/flash/cfg/a.xml", "p");
    tqsftp_funcs *t = table("/nv/cfg");
    for (int round = 0; round < 2; round++) {
        void *d = t->opendir("/nv/cfg");
        std::string names;
        while (struct dirent64 *e = t->readdir(d))
            names += std::string(e->d_name) + " ";
        EXPECT_EQ(t->readdir(d), nullptr);
        closedir(static_cast<DIR *>(d));
        EXPECT_NE(names.find("a.xml "), std::string::npos) << names;
        EXPECT_EQ(names.substr(names.size() - 21), "help status ok error ") << names;
    }
}

}  // namespace
