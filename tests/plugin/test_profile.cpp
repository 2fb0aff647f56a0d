// The profile store: downloads in converted form through the temporary
// file, uploads handed to the update service, the current profile and the
// listing.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "doubles.h"

using namespace tqtest;

namespace {

const std::string tmp = "/ramdisk/lighty.tmp", profile = "<profile>site settings</profile>";
const char *const site = "/nv/cfg/site.xml";

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
    EXPECT_EQ(host.opens.at(0).first, O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_FALSE(exists(tmp)) << "the name goes while the descriptor stays";
    std::string got(200, '\0');
    got.resize(t->read(fd, got.data(), got.size(), 0));
    EXPECT_TRUE(got == "XML:" + profile && st.st_size == static_cast<off64_t>(got.size()));
    EXPECT_EQ(run([&] { return t->close(fd); }).audits, Audits{line(0, "Copy", site, remote)});
    EXPECT_EQ(services.invalidations, 0);
    services.xml_result = 3;
    EXPECT_EQ(run([&] { return t->open(site, O_RDONLY, 0); }),
              (Outcome{-1, EIO, {"open " + tmp}, {}, open_line(EIO)}));
    EXPECT_EQ(run([&] { return t->open(site, O_WRONLY | O_CREAT | O_EXCL, 0); }),
              (Outcome{-1, EEXIST, {"stat /flash/cfg/site.xml"}, {}, open_line(EEXIST)}));
    EXPECT_FALSE(exists(tmp));
}

// An upload writes only the temporary file; until the update service stores
// it, stat shows that file under any spelling of its name, and a rename
// renames the pending upload.  The listing ends in four names of its own.
TEST_F(Store, UploadHandedToTheServiceAndRenamedWhilePending)
{
    tqsftp_funcs *t = table("/nv/cfg/new.xml");
    Outcome o = run([&] { return t->open("/NV/cfg//new.xml", O_WRONLY, 0600); });
    int fd = static_cast<int>(o.result);
    EXPECT_EQ(o, (Outcome{fd, 0, {"open " + tmp},
                          {"0 (null) (null)", "1 /nv/cfg/new.xml " + tmp}, {}}));
    EXPECT_EQ(t->write(fd, "uploaded", 8, 0), 8);
    EXPECT_EQ(run([&] { return t->close(fd); }),
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

// The current profile (the marker's first word and ".xml", else config.xml)
// cannot be deleted under any spelling; others are deleted with the host's
// result, refreshing the profiles even when the host fails.
TEST_F(Store, DeletionSparesTheCurrentProfile)
{
    write_file("/flash/cfg/config.xml", "");
    const std::tuple<const char *, std::vector<std::string>, std::string, int> cases[] = {
        {nullptr, {"/nv/cfg/config.xml"}, "/nv/cfg/office.xml", ENOENT},
        {"  office other\n", {"/nv/cfg/office.xml", "/nv/cfg/x/../office.xml/"},
         "/nv/cfg/config.xml", 0},
        {"/", {"/nv/cfg/a.xml"}, "", 0},  // a marker that cannot be read
    };
    for (const auto &[marker, refused, deleted, err] : cases) {
        if (marker && std::string(marker) == "/")
            ::unlink("/flash/cfg/profile.cur"), ::mkdir("/flash/cfg/profile.cur", 0755);
        else if (marker)
            write_file("/flash/cfg/profile.cur", marker);
        for (const std::string &p : refused)
            EXPECT_EQ(run([&] { return table(p)->unlink(p.c_str()); }),
                      (Outcome{-1, EPERM, {}, {}, {}}));
        if (deleted.empty())
            continue;
        Outcome o = run([&] { return table(deleted)->unlink(deleted.c_str()); });
        EXPECT_EQ(o.audits, Audits{line(err, cmd_unlink, nullptr, deleted.c_str())});
        EXPECT_TRUE(o.result == (err ? -1 : 0) && o.err == err) << deleted;
        EXPECT_EQ(services.invalidations, 1);
    }
    EXPECT_FALSE(exists("/flash/cfg/config.xml"));
}

}  // namespace
