// What the profile store refuses to keep it trustworthy: moves that would
// lose or replace the current profile or bring a non-profile name into the
// folder, pending uploads known under every spelling, and a temporary file
// that a dead transfer left behind or a live one holds.
#include <fcntl.h>
#include <regex.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "doubles.h"

using namespace tqtest;

namespace {

const std::string tmp = "/ramdisk/lighty.tmp";

TEST(ProfileName, SameVerdictAsTheRegularExpression)
{
    regex_t re;
    ASSERT_EQ(regcomp(&re, "^[-a-zA-Z0-9_]+\\.xml$", REG_EXTENDED), 0);
    std::vector<std::string> names = {
        std::string(27, 'a') + ".xml", std::string(28, 'a') + ".xml",
        std::string(29, 'a') + ".xml", ".xml", "a.XML", "a.xml.xml", "a b.xml",
        "-_9Z.xml", "a.xml\n", "a.xm", "", "a.xmll", "/a.xml"};
    for (int c = 1; c < 256; c++)
        for (std::string name : {"?a.xml", "a?.xml", "a.?ml", "a.xml?"})
            names.push_back(name.replace(name.find('?'), 1, 1, static_cast<char>(c)));
    for (const std::string &name : names) {
        bool want = name.size() <= 32 && regexec(&re, name.c_str(), 0, nullptr, 0) == 0;
        EXPECT_EQ(tqsftp::is_profile_name(name.c_str()), want) << '"' << name << '"';
    }
    regfree(&re);
}

struct StoreMoves : GuardedTest, ::testing::WithParamInterface<const char *> {
    std::string slot() const { return GetParam(); }
    const char *label() const { return slot() == "link" ? cmd_link : cmd_rename; }
    long move(const char *a, const char *b)
    {
        return slot() == "link" ? table(a)->link(a, b) : table(a)->rename(a, b);
    }
};

TEST_P(StoreMoves, KeepTheCurrentProfileAndProfileNamesOnly)
{
    write_file("/flash/cfg/profile.cur", "office\n");
    for (const char *name : {"office.xml", "lab.xml"})
        write_file("/flash/cfg/" + std::string(name), name);
    mkdir("/flash/cfg/sub", 0755);
    const std::pair<const char *, const char *> refused[] = {
        {"/nv/cfg/lab.xml", "/nv/cfg/office.xml"},
        {"/nv/cfg/lab.xml", "/nv/cfg/sub/../office.xml"},
        {"/nv/cfg/office.xml", "/nv/cfg/office-old.xml"},
        {"/NV/cfg/./office.xml", "/nv/cfg/office-old.xml"},
        {"/nv/cfg/lab.xml", "/nv/cfg/.evil.xml.part"},
        {"/nv/cfg/lab.xml", "/nv/cfg/lab xml"},
        {"/nv/cfg/lab.xml", "/nv/cfg/sub/lab.xml"},
    };
    for (auto [from, to] : refused)
        EXPECT_EQ(run([&] { return move(from, to); }),
                  (Outcome{-1, EPERM, {}, {}, {line(EPERM, label(), from, to)}}))
            << from << " -> " << to;
    EXPECT_EQ(read_file("/flash/cfg/office.xml"), "office.xml");
    EXPECT_EQ(run([&] { return move("/nv/cfg/lab.xml", "/nv/cfg/lab-2.xml"); }),
              (Outcome{0, 0, {slot() + " /flash/cfg/lab.xml /flash/cfg/lab-2.xml"}, {},
                       {line(0, label(), "/nv/cfg/lab.xml", "/nv/cfg/lab-2.xml")}}));
}

// The pending upload is known by its normalised name, whatever the spelling.
TEST_P(StoreMoves, FindThePendingUploadUnderAnySpelling)
{
    tqsftp_funcs *t = table("/nv/cfg/new.xml");
    Outcome o = run([&] { return t->open("/NV/cfg//new.xml", O_WRONLY | O_CREAT, 0600); });
    ASSERT_GE(o.result, 0);
    EXPECT_EQ(o.actions, (Args{"0 (null) (null)", "1 /nv/cfg/new.xml " + tmp}));
    ASSERT_EQ(t->write(static_cast<int>(o.result), "upload", 6, 0), 6);
    ASSERT_EQ(t->close(static_cast<int>(o.result)), 0);
    EXPECT_EQ(run([&] { return move("/nv/CFG/x/../new.xml", "/nv/cfg/./renamed.xml"); }).actions,
              Args{"5 /nv/cfg/new.xml /nv/cfg/renamed.xml"});
    EXPECT_STREQ(tqsftp_config_ucb.file_name, "/nv/cfg/renamed.xml");
    struct stat64 st {};
    EXPECT_EQ(t->stat("/nv/cfg/sub/../renamed.xml", &st), 0);
    EXPECT_EQ(st.st_size, 6);
}

INSTANTIATE_TEST_SUITE_P(Both, StoreMoves, ::testing::Values("rename", "link"));

using TempFile = GuardedTest;

// An upload whose name cannot be handed over whole, or one that would make
// the update service forget another still open, is refused before anything
// is asked or created.
TEST_F(TempFile, UploadsRefusedBeforeTheStart)
{
    std::string p = "/nv/cfg/sub/" + std::string(64, 'a') + ".xml";
    EXPECT_EQ(run([&] { return table(p)->open(p.c_str(), O_WRONLY, 0600); }),
              (Outcome{-1, ENAMETOOLONG, {}, {}, {line(ENAMETOOLONG, cmd_open, nullptr, p.c_str())}}));
    int first = table("/nv/cfg/a.xml")->open("/nv/cfg/a.xml", O_WRONLY, 0600);
    ASSERT_GE(first, 0);
    EXPECT_EQ(run([&] { return table("/nv/cfg/b.xml")->open("/nv/cfg/b.xml", O_RDWR, 0600); }),
              (Outcome{-1, EBUSY, {}, {}, {line(EBUSY, cmd_open, nullptr, "/nv/cfg/b.xml")}}));
    EXPECT_STREQ(tqsftp_config_ucb.file_name, "/nv/cfg/a.xml");
    EXPECT_EQ(table("/nv/cfg/a.xml")->close(first), 0);
}

// A temporary file nobody holds is removed by the next transfer, in either
// direction; one that a live transfer holds is waited for.
TEST_F(TempFile, LeftOverIsRemovedHeldIsWaitedFor)
{
    write_file("/flash/cfg/site.xml", "<site/>");
    const char *site = "/nv/cfg/site.xml";
    for (int flags : {O_RDONLY, O_WRONLY}) {
        write_file(tmp, "left over");
        int holder = ::open(tmp.c_str(), O_RDONLY);
        ASSERT_EQ(flock(holder, LOCK_EX), 0);
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ::close(holder);  // the holder dies without removing it
        });
        int fd = table(site)->open(site, flags, 0600);
        release.join();
        ASSERT_GE(fd, 0) << flags;
        char got[64];
        ssize_t n = flags == O_RDONLY ? pread(fd, got, sizeof got, 0) : 0;
        EXPECT_EQ(std::string(got, std::max<ssize_t>(n, 0)), flags == O_RDONLY ? "XML:<site/>" : "");
        EXPECT_EQ(exists(tmp) ? read_file(tmp) : "gone", flags == O_RDONLY ? "gone" : "");
        EXPECT_EQ(table(site)->close(fd), 0);
    }
}

TEST_F(TempFile, HeldTooLongIsRefused)
{
    write_file(tmp, "live");
    int holder = ::open(tmp.c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    const char *site = "/nv/cfg/site.xml";
    Outcome o = run([&] { return table(site)->open(site, O_WRONLY, 0600); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, EPERM);
    EXPECT_EQ(o.audits, Audits{line(EPERM, cmd_open, nullptr, site)});
    EXPECT_EQ(read_file(tmp), "live");
    ::close(holder);
}

}  // namespace
