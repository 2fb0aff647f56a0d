// tqsftp-server with the real plug-in and the device's services, on a pipe:
// what the OpenSSH client cannot show.  Status codes as errno maps them,
// SETSTAT accepted without a change, RENAME that will not replace, and a
// forced password change that leaves every slot absent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sftp_pipe.h"

using namespace tqtest;

namespace {

struct Mapping {
    const char *what;
    Packet request;
    uint32_t status;
    const char *message;
};

void PrintTo(const Mapping &m, std::ostream *os)
{
    *os << m.what;
}

class HostSessionStatus : public testing::TestWithParam<Mapping> {};

TEST_P(HostSessionStatus, ErrnoBecomesTheStatus)
{
    write_file("/usb0/f", "data");
    ASSERT_EQ(symlink("/etc/passwd", "/usb0/leak"), 0);
    Session s(TQ_PLUGIN);
    std::string r = s.call(GetParam().request);
    Fields f{r};
    ASSERT_EQ(f.u8(), STATUS);
    f.u32();
    EXPECT_EQ(f.u32(), GetParam().status);
    EXPECT_EQ(f.str(), GetParam().message);
    EXPECT_EQ(f.str(), "");
}

const Mapping mappings[] = {
    {"missing", request(STAT, 1).str("/usb/missing"), NO_SUCH_FILE, "No such file or directory"},
    {"denied_table", request(STAT, 1).str("/etc/passwd"), PERMISSION_DENIED, "Permission denied"},
    {"refused_by_rule", request(OPEN, 1).str("/nv/cfg/help").u32(F_WRITE).u32(0),
     PERMISSION_DENIED, "Operation not permitted"},
    {"link_on_the_stick", request(OPEN, 1).str("/usb/leak").u32(F_READ).u32(0),
     PERMISSION_DENIED, "Permission denied"},
    {"exists", request(MKDIR, 1).str("/usb/f").u32(0), FAILURE, "File exists"},
    {"exclusive", request(OPEN, 1).str("/usb/f").u32(F_WRITE | F_CREAT | F_EXCL).u32(0),
     FAILURE, "File exists"},
    {"not_a_folder", request(OPENDIR, 1).str("/usb/f"), FAILURE, "Not a directory"},
    {"rename_onto_existing", request(RENAME, 1).str("/usb/f").str("/usb/f"), FAILURE,
     "File exists"},
    {"rename_across_areas", request(RENAME, 1).str("/usb/f").str("/sd/f"), PERMISSION_DENIED,
     "Operation not permitted"},
    {"setstat_changes_nothing", request(SETSTAT, 1).str("/usb/f").u32(4).u32(0), OK, "Success"},
    {"setstat_outside", request(SETSTAT, 1).str("/etc/passwd").u32(4).u32(0), OK, "Success"},
};

INSTANTIATE_TEST_SUITE_P(Host, HostSessionStatus, testing::ValuesIn(mappings),
                         [](const testing::TestParamInfo<Mapping> &i) { return i.param.what; });

TEST(HostSession, SetstatAndRenameLeaveFilesAlone)
{
    write_file("/usb0/a", "a");
    write_file("/usb0/b", "b");
    chmod("/usb0/a", 0640);
    Session s(TQ_PLUGIN);
    std::string h = s.open("/usb/a", F_READ);
    EXPECT_EQ(s.status_of(request(FSETSTAT, 1).str(h).u32(4 | 8).u32(0777).u32(1).u32(1)), OK);
    EXPECT_EQ(s.status_of(request(SETSTAT, 2).str("/usb/a").u32(4).u32(0777)), OK);
    EXPECT_EQ(s.close(h), OK);
    struct stat st;
    ASSERT_EQ(stat("/usb0/a", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_NE(st.st_mtime, 1);

    EXPECT_EQ(s.status_of(request(RENAME, 3).str("/usb/a").str("/usb/b")), FAILURE);
    EXPECT_EQ(read_file("/usb0/b"), "b");
    EXPECT_EQ(s.status_of(request(EXTENDED, 4).str("posix-rename@openssh.com").str("/usb/a").str("/usb/b")),
              OK);
    EXPECT_EQ(read_file("/usb0/b"), "a");
    EXPECT_FALSE(exists("/usb0/a"));
}

// While a password change is forced before the plug-in is set up, every
// table it gives has no slot: every request is refused, the session goes
// on, and nothing is created.  Once the change is done, the tree appears.
TEST(HostSession, ForcedPasswordChangeRefusesEverything)
{
    ASSERT_EQ(system("mkdir -p /var/lib/tqusr && touch /var/lib/tqusr/force-password"), 0);
    Session s(TQ_PLUGIN);
    const Packet requests[] = {
        request(STAT, 1).str("/"),
        request(OPENDIR, 2).str("/usb"),
        request(OPEN, 3).str("/usb/new").u32(F_WRITE | F_CREAT).u32(0),
        request(MKDIR, 4).str("/usb/dir").u32(0),
        request(REMOVE, 5).str("/usb/x"),
        request(EXTENDED, 6).str("posix-rename@openssh.com").str("/usb/x").str("/usb/y"),
    };
    for (const Packet &p : requests)
        EXPECT_EQ(s.status_of(p), PERMISSION_DENIED);
    EXPECT_FALSE(exists("/tmp/sftp"));
    EXPECT_FALSE(exists("/usb0/new"));
    EXPECT_FALSE(exists("/usb0/dir"));

    ASSERT_EQ(unlink("/var/lib/tqusr/force-password"), 0);
    std::string names = s.list("/");
    EXPECT_NE(names.find("upload\t"), std::string::npos) << names;
}

}  // namespace
