// The audit log: one outcome, two messages of the device log.
#include <cstring>

#include "doubles.h"

using namespace tqtest;

TEST(Audit, TwoMessagesWithTheirIdsLinesAndPriorities)
{
    const struct {
        int errnum;
        const char *label, *source, *target;
        uint32_t id;
        int line[2], priority[2];
        Args args;  // the error text follows when errnum != 0
    } cases[] = {
        {0, "Create", nullptr, "/usb/new", 0x18000A, {92, 95}, {109, 13}, {"Create", "/usb/new"}},
        {EACCES, "Delete", nullptr, "/nv/x", 0x18000B, {102, 106}, {107, 11}, {"Delete", "/nv/x"}},
        {0, "Copy", "remote", "/upload/firmware/fw.bin", 0x18000C, {116, 120}, {109, 13},
         {"Copy", "remote", "/upload/firmware/fw.bin"}},
        {0, "Copy", "/nv/cfg/a.xml", "remote", 0x18000C, {116, 120}, {109, 13},
         {"Copy", "/nv/cfg/a.xml", "remote"}},
        {ENOENT, "Rename", "/usb/a", "/usb/b", 0x18000D, {128, 133}, {107, 11},
         {"Rename", "/usb/a", "/usb/b"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        Args args = c.args;
        if (c.errnum != 0)
            args.push_back(strerror(c.errnum));
        clear();
        errno = c.errnum == 0 ? EPERM : EIO;  // the choice follows errnum, never errno
        int saved = errno;
        EXPECT_EQ(tqsftp_log(c.errnum, c.label, c.source, c.target), 2)
            << "the log service's answer to the second message";
        EXPECT_EQ(errno, saved) << "errno as it was found";
        ASSERT_EQ(services.log.size(), 2u);
        for (int i = 0; i < 2; i++) {
            const LogMessage &m = services.log[i];
            EXPECT_EQ(m.file, "lib/tqsftp_main");
            EXPECT_EQ(m.line, c.line[i]);
            EXPECT_EQ(m.id, c.id);
            EXPECT_EQ(m.priority, c.priority[i]);
            EXPECT_EQ(m.module, 24);
            EXPECT_EQ(m.args, args);
            EXPECT_TRUE(m.well_formed) << "every text as (3, 0x7FFFFFFF, text)";
        }
    }
}

TEST(Audit, LabelTexts)
{
    const struct {
        const char *const &label;
        const char *text;
    } labels[] = {
        {cmd_open, "Open"},     {cmd_opendir, "Open"},  {cmd_copy, "Copy"},
        {cmd_link, "Link"},     {cmd_rename, "Rename"}, {cmd_unlink, "Delete"},
        {cmd_rmdir, "Remove"},  {cmd_mkdir, "Create"},  {remote, "remote"},
    };
    for (const auto &l : labels)
        EXPECT_STREQ(l.label, l.text);
    EXPECT_STREQ(tqsftp_start_dir, "/");
}
