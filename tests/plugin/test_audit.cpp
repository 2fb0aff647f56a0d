// The audit log: one outcome, two messages of the device log.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "doubles.h"

using namespace tqtest;

namespace {

struct AuditCase {
    const char *what;
    int errnum;
    const char *label;
    const char *source;
    const char *target;
    uint32_t id;
    int line[2];
    int priority[2];
    std::vector<std::string> args;  // the error text follows when errnum != 0
};

void PrintTo(const AuditCase &c, std::ostream *os) { *os << c.what; }

const AuditCase cases[] = {
    {"folder_created", 0, "Create", nullptr, "/usb/new", 0x18000A, {92, 95}, {109, 13},
     {"Create", "/usb/new"}},
    {"deletion_refused", EACCES, "Delete", nullptr, "/nv/x", 0x18000B, {102, 106},
     {107, 11}, {"Delete", "/nv/x"}},
    {"upload_finished", 0, "Copy", "remote", "/upload/firmware/fw.bin", 0x18000C,
     {116, 120}, {109, 13}, {"Copy", "remote", "/upload/firmware/fw.bin"}},
    {"download_finished", 0, "Copy", "/nv/cfg/a.xml", "remote", 0x18000C, {116, 120},
     {109, 13}, {"Copy", "/nv/cfg/a.xml", "remote"}},
    {"rename_failed", ENOENT, "Rename", "/usb/a", "/usb/b", 0x18000D, {128, 133},
     {107, 11}, {"Rename", "/usb/a", "/usb/b"}},
    {"unknown_error", 1234, "Link", "/sd/a", "/sd/b", 0x18000D, {128, 133}, {107, 11},
     {"Link", "/sd/a", "/sd/b"}},
};

}  // namespace

class AuditPair : public testing::TestWithParam<AuditCase> {};

TEST_P(AuditPair, TwoMessagesWithTheirIdsLinesAndPriorities)
{
    const AuditCase &c = GetParam();
    std::vector<std::string> args = c.args;
    if (c.errnum != 0)
        args.push_back(strerror(c.errnum));

    int answer = tqsftp_log(c.errnum, c.label, c.source, c.target);

    ASSERT_EQ(services.log.size(), 2u);
    for (int i = 0; i < 2; i++) {
        const LogMessage &m = services.log[i];
        SCOPED_TRACE("message " + std::to_string(i + 1));
        EXPECT_EQ(m.file, "lib/tqsftp_main");
        EXPECT_EQ(m.line, c.line[i]);
        EXPECT_EQ(m.id, c.id);
        EXPECT_EQ(m.priority, c.priority[i]);
        EXPECT_EQ(m.module, 24);
        EXPECT_EQ(m.id >> 16, static_cast<uint32_t>(m.module));
        EXPECT_EQ(m.args, args);
        EXPECT_TRUE(m.well_formed) << "every text as (3, 0x7FFFFFFF, text)";
    }
    EXPECT_EQ(answer, 2) << "the log service's answer to the second message";
}

INSTANTIATE_TEST_SUITE_P(Outcomes, AuditPair, testing::ValuesIn(cases));

TEST(Audit, LeavesErrnoAsItFoundIt)
{
    errno = EIO;
    tqsftp_log(EACCES, "Delete", nullptr, "/nv/x");
    EXPECT_EQ(errno, EIO);
    errno = 0;
    tqsftp_log(ENOENT, "Rename", "/a", "/b");
    EXPECT_EQ(errno, 0);
}

// The message follows errnum, never errno.
TEST(Audit, SuccessIsErrnumZeroWhateverErrnoHolds)
{
    errno = EPERM;
    tqsftp_log(0, "Create", nullptr, "/usb/d");
    EXPECT_EQ(errno, EPERM);
    ASSERT_EQ(audits().size(), 1u);
    EXPECT_EQ(audits()[0].id, 0x18000Au);
    EXPECT_EQ(audits()[0].args, (std::vector<std::string>{"Create", "/usb/d"}));
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
