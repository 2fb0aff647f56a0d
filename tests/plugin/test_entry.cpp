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
    tqsftp_funcs first = host.table;
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/", &first), &tqsftp_funcs_readonly);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(services.preinit, 1);
    for (const char *f : {"", "/nv", "/nv/cfg", "/usb", "/sd", "/upload", "/upload/vpn-cert"})
        EXPECT_EQ(mode_of(std::string("/tmp/sftp") + f), S_IFDIR | 0770) << f;
    EXPECT_EQ(mode_of("/tmp/sftp/upload/ssh-key/help"), S_IFREG | 0440);
    EXPECT_EQ(read_file("/tmp/sftp/nv/cfg/help"),
              "Configuration profiles may be copied to/from this directory.");
    EXPECT_TRUE(services.log.empty());

    first = tqsftp_funcs{};
    tqsftp_funcs other{};
    ASSERT_EQ(::rmdir("/tmp/sftp/usb"), 0);
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/usb/d", &other), &tqsftp_funcs_full);
    EXPECT_EQ(services.preinit, 1);
    EXPECT_FALSE(exists("/tmp/sftp/usb")) << "nothing made again";
    EXPECT_EQ(run([] { return table("/usb/d")->mkdir("/usb/d", 0700); }).host, Args{"mkdir /usb0/d"});
}

// Before a forced password change is done, every table is empty and nothing
// is set up; a failing user manager counts as no change pending.
TEST(Entry, ForcedPasswordChangeHoldsBackTheSetUp)
{
    services.force_password_status = 1;
    tqsftp_funcs *t = table("/usb/x");
    EXPECT_TRUE(t->open == nullptr && t->stat == nullptr && t->opendir == nullptr);
    EXPECT_FALSE(exists("/tmp/sftp"));
    services.force_password_result = -1;
    EXPECT_EQ(table("/usb/x")->open, tqsftp_open);
    EXPECT_EQ(services.preinit, 1);
}

TEST(Audit, TwoMessagesOfEachShape)
{
    const struct {
        int errnum;
        const char *source;
        uint32_t id;
        int line[2], priority[2];
    } cases[] = {
        {0, nullptr, 0x18000A, {92, 95}, {109, 13}},
        {EACCES, nullptr, 0x18000B, {102, 106}, {107, 11}},
        {0, "/usb/a", 0x18000C, {116, 120}, {109, 13}},
        {ENOENT, "/usb/a", 0x18000D, {128, 133}, {107, 11}},
    };
    for (const auto &c : cases) {
        clear();
        errno = EIO;
        EXPECT_EQ(tqsftp_log(c.errnum, "Rename", c.source, "/usb/b"), 2);
        EXPECT_EQ(errno, EIO);
        ASSERT_EQ(services.log.size(), 2u);
        for (int i = 0; i < 2; i++) {
            const LogMessage &m = services.log[i];
            EXPECT_EQ(m.file, "lib/tqsftp_main");
            EXPECT_EQ(m.line, c.line[i]);
            EXPECT_EQ(m.priority, c.priority[i]);
            EXPECT_EQ(m.module, 24);
            EXPECT_TRUE(m.well_formed);
            EXPECT_EQ((Audit{m.id, m.args}), line(c.errnum, "Rename", c.source, "/usb/b"));
        }
    }
}

// Per area: open for writing, mkdir, rmdir, unlink, rename, link and stat
// reach the host (H), are denied with EACCES (D) or refused with EPERM (P).
TEST(Areas, WhatEachTableLetsThrough)
{
    const struct {
        const char *path;
        const char *want;
    } rows[] = {
        {"/usb/f", "HHHHHHH"},           {"/usb/cfg/a.xml", "HHHHHHH"},
        {"/upload/firmware/f", "HDDHHHH"}, {"/upload", "PDDDDDH"},
        {"/nv/cfg", "PDDDDDH"},          {"/etc/passwd", "DDDDDDD"},
        {"/nv/cfg/a.xml", "HDDHHHH"},
    };
    set_up();
    ASSERT_EQ(::mkdir("/usb0/cfg", 0755), 0);
    for (const auto &r : rows) {
        const char *p = r.path;
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
        for (int i = 0; i < 7; i++) {
            Outcome o = run(ops[i]);
            got += !o.host.empty() ? 'H' : o.err == EACCES ? 'D' : o.err == EPERM ? 'P' : '?';
            if (i == 0 && o.result >= 0)
                t->close(static_cast<int>(o.result));
        }
        EXPECT_EQ(got, r.want) << p;
    }
}

TEST(Areas, ChangesAreLoggedDenialsAreLoggedButStatAndWrite)
{
    set_up();
    ASSERT_EQ(::mkdir("/usb0/d", 0755), 0);
    const char *pw = "/etc/passwd";
    struct stat64 st;
    const std::pair<std::function<long()>, Outcome> cases[] = {
        {[] { return table("/usb/n")->mkdir("/usb/n", 0700); },
         {0, 0, {"mkdir /usb0/n"}, {}, {line(0, "Create", nullptr, "/usb/n")}}},
        {[] { return table("/usb/d")->mkdir("/usb/d", 0700); },
         {-1, EEXIST, {"mkdir /usb0/d"}, {}, {line(EEXIST, "Create", nullptr, "/usb/d")}}},
        {[] { return table("/usb/d")->rmdir("/usb/d"); },
         {0, 0, {"rmdir /usb0/d"}, {}, {line(0, "Remove", nullptr, "/usb/d")}}},
        {[] { return table("/usb/no")->unlink("/usb/no"); },
         {-1, ENOENT, {"unlink /usb0/no"}, {}, {line(ENOENT, "Delete", nullptr, "/usb/no")}}},
        {[&] { return table(pw)->open(pw, O_RDONLY, 0); },
         {-1, EACCES, {}, {}, {line(EACCES, "Open", nullptr, pw)}}},
        {[&] { return table(pw)->opendir(pw) ? 0L : -1L; },
         {-1, EACCES, {}, {}, {line(EACCES, "Open", nullptr, pw)}}},
        {[&] { return table(pw)->rename(pw, "/etc/x"); },
         {-1, EACCES, {}, {}, {line(EACCES, "Rename", pw, "/etc/x")}}},
        {[&] { return table(pw)->stat(pw, &st); }, {-1, EACCES, {}, {}, {}}},
        {[&] { return table(pw)->write(0, "x", 1, 0); }, {-1, EACCES, {}, {}, {}}},
    };
    for (const auto &[op, want] : cases)
        EXPECT_EQ(run(op), want);
}

// Rename and link: one area only; an area's action is told of a move the
// host made; a host without the slot fails with ENOSYS.
TEST(Areas, MovesStayInTheirArea)
{
    set_up();
    const std::string fw = "/tmp/sftp/upload/firmware/";
    for (const char *slot : {"rename", "link"}) {
        auto move = [&](const char *from, const char *to) {
            tqsftp_funcs *t = table(from);
            return run([&] { return std::string(slot) == "rename" ? t->rename(from, to) : t->link(from, to); });
        };
        const char *label = std::string(slot) == "rename" ? "Rename" : "Link";
        write_file(fw + "a", "image");
        EXPECT_EQ(move("/upload/firmware/a", "/upload/firmware/b"),
                  (Outcome{0, 0, {std::string(slot) + " " + fw + "a " + fw + "b"}, {"5 " + fw + "a " + fw + "b"},
                           {line(0, label, "/upload/firmware/a", "/upload/firmware/b")}}));
        EXPECT_TRUE(exists(fw + "b"));
        ::unlink((fw + "a").c_str());
        ::unlink((fw + "b").c_str());
        EXPECT_EQ(move("/usb/a", "/usb/b"), (Outcome{-1, ENOENT, {std::string(slot) + " /usb0/a /usb0/b"}, {},
                                                     {line(ENOENT, label, "/usb/a", "/usb/b")}}));
        for (auto [from, to] : {std::pair{"/usb/a", "/usb/cfg/a"}, {"/usb/cfg/a", "/usb/a"},
                                {"/usb/a", "/sd/a"}, {"/upload/firmware/a", "/upload/ssh-key/a"}})
            EXPECT_EQ(move(from, to), (Outcome{-1, EPERM, {}, {}, {line(EPERM, label, from, to)}}));
    }
}

TEST(Areas, AbsentHostSlotsFailWithEnosys)
{
    host.table = tqsftp_funcs{};
    set_up();
    EXPECT_EQ(run([] { return table("/usb/f")->open("/usb/f", O_RDONLY, 0); }),
              (Outcome{-1, ENOSYS, {}, {}, {line(ENOSYS, "Open", nullptr, "/usb/f")}}));
    EXPECT_EQ(run([] { return table("/usb/f")->rename("/usb/f", "/usb/g"); }),
              (Outcome{-1, ENOSYS, {}, {}, {line(ENOSYS, "Rename", "/usb/f", "/usb/g")}}));
}
