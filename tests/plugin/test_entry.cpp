// The entry and its one-time set-up, the audit messages, and what each
// area's table lets a client do.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "doubles.h"

using namespace tqtest;

TEST(Entry, SetsUpOnceKeepingErrnoAndTheFirstHostTable)
{
    umask(0);
    errno = EINTR;
    tqsftp_funcs first = host.table, other{};
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/", &first), &tqsftp_funcs_readonly);
    EXPECT_EQ(errno, EINTR);
    for (const char *f : {"", "/nv/cfg", "/usb", "/sd", "/upload/vpn-cert"})
        EXPECT_EQ(mode_of(std::string("/tmp/sftp") + f), S_IFDIR | 0770) << f;
    EXPECT_TRUE(services.log.empty());
    first = tqsftp_funcs{};
    ASSERT_EQ(::rmdir("/tmp/sftp/usb"), 0);
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/usb/d", &other), &tqsftp_funcs_full);
    EXPECT_FALSE(exists("/tmp/sftp/usb")) << "nothing made again";
    EXPECT_EQ(services.preinit, 1);
    EXPECT_EQ(run([] { return table("/usb/d")->mkdir("/usb/d", 0700); }).host,
              Args{"mkdir /usb0/d"});
}

TEST(Audit, TwoMessagesOfEachShape)
{
    const struct {
        int errnum;
        const char *source;
        int line[2], priority[2];
    } cases[] = {
        {0, nullptr, {92, 95}, {109, 13}}, {EACCES, nullptr, {102, 106}, {107, 11}},
        {0, "/a", {116, 120}, {109, 13}}, {ENOENT, "/a", {128, 133}, {107, 11}},
    };
    for (const auto &c : cases) {
        clear();
        errno = EIO;
        EXPECT_EQ(tqsftp_log(c.errnum, "Rename", c.source, "/b"), 2);
        EXPECT_EQ(errno, EIO);
        ASSERT_EQ(services.log.size(), 2u);
        for (const LogMessage &m : services.log) {
            int i = &m - &services.log[0];
            EXPECT_TRUE(m.file == "lib/tqsftp_main" && m.module == 24 && m.well_formed);
            EXPECT_TRUE(m.line == c.line[i] && m.priority == c.priority[i]) << m.line;
            EXPECT_EQ((Audit{m.id, m.args}), line(c.errnum, "Rename", c.source, "/b"));
        }
    }
}

// Per area: open for writing, mkdir, rmdir, unlink, rename, link and stat
// reach the host (H), are denied with EACCES (D) or refused with EPERM (P).
// Upload areas take no second name; the store takes only profile names.
TEST(Areas, WhatEachTableLetsThrough)
{
    const std::pair<const char *, const char *> rows[] = {
        {"/usb/f", "HHHHHHH"}, {"/usb/cfg/a.xml", "HHHHHHH"}, {"/upload/firmware/f", "HDDHHPH"},
        {"/upload", "PDDDDDH"}, {"/nv/cfg", "PDDDDDH"}, {"/etc/passwd", "DDDDDDD"},
        {"/nv/cfg/a.xml", "HDDHPPH"},
    };
    set_up();
    ASSERT_EQ(::mkdir("/usb0/cfg", 0755), 0);
    for (const auto &[p, want] : rows) {
        std::string to = std::string(p) + "2";
        struct stat64 st;
        tqsftp_funcs *t = table(p);
        const std::function<long()> ops[] = {
            [&] { return t->open(p, O_WRONLY | O_CREAT | O_TRUNC, 0600); },
            [&] { return t->mkdir(p, 0700); }, [&] { return t->rmdir(p); },
            [&] { return t->unlink(p); }, [&] { return t->rename(p, to.c_str()); },
            [&] { return t->link(p, to.c_str()); }, [&] { return t->stat(p, &st); },
        };
        std::string got;
        for (const auto &op : ops) {
            Outcome o = run(op);
            got += !o.host.empty() ? 'H' : o.err == EACCES ? 'D' : o.err == EPERM ? 'P' : '?';
            if (got.size() == 1 && o.result >= 0)
                t->close(static_cast<int>(o.result));
        }
        EXPECT_EQ(got, want) << p;
    }
}

// Changes are logged with the host's result; denials are logged, but for
// stat and write; a host without the slot fails with ENOSYS.
TEST(Areas, WhatIsLogged)
{
    host.table.rename = nullptr;
    set_up();
    const char *pw = "/etc/passwd";
    struct stat64 st;
    const std::pair<std::function<long()>, Outcome> cases[] = {
        {[] { return table("/usb/d")->rmdir("/usb/d"); },
         {-1, ENOENT, {"rmdir /usb0/d"}, {}, {line(ENOENT, "Remove", nullptr, "/usb/d")}}},
        {[&] { return table(pw)->opendir(pw) ? 0L : -1L; },
         {-1, EACCES, {}, {}, {line(EACCES, "Open", nullptr, pw)}}},
        {[&] { return table(pw)->rename(pw, "/x"); },
         {-1, EACCES, {}, {}, {line(EACCES, "Rename", pw, "/x")}}},
        {[&] { return table(pw)->stat(pw, &st); }, {-1, EACCES, {}, {}, {}}},
        {[&] { return table(pw)->write(0, "x", 1, 0); }, {-1, EACCES, {}, {}, {}}},
        {[] { return table("/usb/f")->rename("/usb/f", "/usb/g"); },
         {-1, ENOSYS, {}, {}, {line(ENOSYS, "Rename", "/usb/f", "/usb/g")}}},
    };
    for (const auto &[op, want] : cases)
        EXPECT_EQ(run(op), want);
}

// Rename and link stay in one area; an area's action is told of a move the
// host made.  Upload areas take no link and no name that does not fit whole;
// the store keeps the current profile and takes profile names only.
TEST(Areas, Moves)
{
    set_up();
    write_file("/flash/cfg/profile.cur", "office\n");
    for (const char *name : {"office.xml", "lab.xml"})
        write_file("/flash/cfg/" + std::string(name), name);
    const std::string fw = "/tmp/sftp/upload/firmware/", longer = "/upload/firmware/" + std::string(54, 'n');
    write_file(fw + "a", "image");
    EXPECT_EQ(run([&] { return table("/upload/firmware/a")->rename("/upload/firmware/a", "/upload/firmware/b"); }),
              (Outcome{0, 0, {"rename " + fw + "a " + fw + "b"}, {"5 " + fw + "a " + fw + "b"},
                       {line(0, "Rename", "/upload/firmware/a", "/upload/firmware/b")}}));
    EXPECT_EQ(run([&] { return table("/nv/cfg/lab.xml")->rename("/nv/cfg/lab.xml", "/nv/cfg/lab-2.xml"); }),
              (Outcome{0, 0, {"rename /flash/cfg/lab.xml /flash/cfg/lab-2.xml"}, {},
                       {line(0, "Rename", "/nv/cfg/lab.xml", "/nv/cfg/lab-2.xml")}}));
    const std::tuple<const char *, const char *, bool, int> refused[] = {
        {"/usb/a", "/usb/cfg/a", 0, EPERM}, {"/usb/cfg/a", "/usb/a", 0, EPERM},
        {"/usb/a", "/sd/a", 0, EPERM}, {"/upload/firmware/a", "/upload/ssh-key/a", 0, EPERM},
        {"/upload/firmware/b", "/upload/firmware/c", 1, EPERM},
        {"/upload/firmware/b", longer.c_str(), 0, ENAMETOOLONG},
        {"/nv/cfg/lab-2.xml", "/nv/cfg/office.xml", 0, EPERM},
        {"/nv/cfg/lab-2.xml", "/nv/cfg/x/../office.xml", 1, EPERM},
        {"/NV/cfg/./office.xml", "/nv/cfg/office-old.xml", 0, EPERM},
        {"/nv/cfg/office.xml", "/nv/cfg/office-old.xml", 1, EPERM},
        {"/nv/cfg/lab-2.xml", "/nv/cfg/.lab.xml.part", 0, EPERM},
        {"/nv/cfg/lab-2.xml", "/nv/cfg/sub/lab.xml", 1, EPERM},
    };
    for (auto [from, to, is_link, err] : refused) {
        const char *label = is_link ? "Link" : "Rename";
        tqsftp_funcs *t = table(from);
        EXPECT_EQ(run([&] { return is_link ? t->link(from, to) : t->rename(from, to); }),
                  (Outcome{-1, err, {}, {}, {line(err, label, from, to)}}));
    }
    EXPECT_EQ(read_file("/flash/cfg/office.xml"), "office.xml");
    EXPECT_TRUE(exists(fw + "b"));
}
