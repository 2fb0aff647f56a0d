// tqsftp-server with the real plug-in and the device's services, on a pipe:
// what the OpenSSH client cannot show.  Loading, the version and limits,
// status codes as errno maps them, SETSTAT applied, RENAME
// that will not replace, and a forced password change that leaves every
// slot absent.
#include <gtest/gtest.h>

#include "sftp_pipe.h"

using namespace tqtest;

namespace {

// The plug-in cannot be loaded or is not a tqsftp plug-in: one line, exit 1.
// Run from the build tree, the server defaults to the build tree's plug-in.
TEST(HostSession, Loading)
{
    const struct {
        std::string args, message;
        int lines, status;
    } rows[] = {
        {"-P /nonexistent/libtqsftp.so", "cannot load the plug-in", 1, 1},
        {"-P " TQ_DEVICE_LIB, "has no tqsftp_get_sftp_func_cb", 1, 1},
        {"-h", "(default: " TQ_PLUGIN ")", 2, 0},
    };
    for (const auto &row : rows) {
        FILE *f = popen((TQ_SERVER " " + row.args + " </dev/null 2>&1").c_str(), "r");
        ASSERT_NE(f, nullptr);
        char buf[512];
        std::string out(buf, fread(buf, 1, sizeof buf, f));
        int st = pclose(f);
        EXPECT_NE(out.find(row.message), std::string::npos) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), row.lines) << out;
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == row.status) << out;
    }
}

TEST(HostSession, VersionAndLimits)
{
    write_file("/usb0/f", std::string(300 * 1024, 'b'));
    Session s(TQ_PLUGIN);
    Fields v{s.version_reply};
    EXPECT_EQ(v.u8(), VERSION);
    EXPECT_EQ(v.u32(), 3u);
    std::string ext;
    while (!v.done()) {
        std::string name = v.str();
        ext += name + "=" + v.str() + " ";
    }
    EXPECT_EQ(ext, "posix-rename@openssh.com=1 hardlink@openssh.com=1 fsync@openssh.com=1 "
                   "limits@openssh.com=1 statvfs@openssh.com=2 fstatvfs@openssh.com=2 ");

    Fields f{s.call(request(EXTENDED, 5).str("limits@openssh.com"))};
    ASSERT_EQ(f.u8(), EXTENDED_REPLY);
    EXPECT_EQ(f.u32(), 5u);
    EXPECT_EQ(f.u64(), 256u * 1024);
    EXPECT_EQ(f.u64(), 255u * 1024);
    EXPECT_EQ(f.u64(), 255u * 1024);
    EXPECT_EQ(f.u64(), 512u);

    // The longest packet accepted: its length field is exactly 256 KiB.
    std::string h = s.open("/usb/f", F_READ | F_WRITE);
    Packet p = request(WRITE, 6).str(h).u64(0);
    p.str(std::string(256 * 1024 - p.b.size() - 4, 'z'));
    EXPECT_EQ(s.status_of(p), OK);
    EXPECT_EQ(read_file("/usb0/f")->find('b'), 256 * 1024 - 29);

    // A read asks for more than the limit: it gets the limit.
    Fields d{s.call(request(READ, 7).str(h).u64(0).u32(300 * 1024))};
    ASSERT_EQ(d.u8(), DATA);
    d.u32();
    EXPECT_EQ(d.str(), std::string(255 * 1024, 'z'));
    EXPECT_EQ(s.status_of(request(READ, 8).str(h).u64(300 * 1024).u32(10)), END);
    EXPECT_EQ(s.status_of(request(EXTENDED, 9).str("fsync@openssh.com").str(h)), OK);
    EXPECT_EQ(s.close(h), OK);
}

// ENOENT, EACCES, EPERM and any other errno, with the C library's text.
TEST(HostSession, ErrnoBecomesTheStatus)
{
    write_file("/usb0/f", "data");
    ASSERT_EQ(symlink("/etc/passwd", "/usb0/leak"), 0);
    Session s(TQ_PLUGIN);
    const struct {
        Packet request;
        uint32_t status;
        const char *message;
    } rows[] = {
        {request(STAT, 1).str("/usb/missing"), NO_SUCH_FILE, "No such file or directory"},
        {request(STAT, 1).str("/etc/passwd"), PERMISSION_DENIED, "Permission denied"},
        {request(OPEN, 1).str("/nv/cfg/help").u32(F_WRITE).u32(0), PERMISSION_DENIED,
         "Operation not permitted"},
        {request(OPEN, 1).str("/usb/leak").u32(F_READ).u32(0), PERMISSION_DENIED,
         "Permission denied"},
        {request(MKDIR, 1).str("/usb/f").u32(0), FAILURE, "File exists"},
    };
    for (const auto &row : rows) {
        Fields f{s.call(row.request)};
        ASSERT_EQ(f.u8(), STATUS) << row.request.b;
        f.u32();
        EXPECT_EQ(f.u32(), row.status) << row.request.b;
        EXPECT_EQ(f.str(), row.message);
        EXPECT_EQ(f.str(), "");
    }
}

TEST(HostSession, SetstatAppliedAndRenameLeavesFilesAlone)
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
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_EQ(st.st_mtime, 1);

    EXPECT_EQ(s.status_of(request(RENAME, 3).str("/usb/a").str("/usb/b")), FAILURE);
    EXPECT_EQ(read_file("/usb0/b"), "b");
    EXPECT_TRUE(exists("/usb0/a"));
}

// While a password change is forced before the plug-in is set up, every
// table it gives has no slot: every request is refused, the session goes
// on, and nothing is created.  REALPATH needs no slot.  Once the
// change is done, the tree appears.
TEST(HostSession, ForcedPasswordChangeRefusesEverything)
{
    ASSERT_EQ(system("mkdir -p /var/lib/tqusr && touch /var/lib/tqusr/force-password"), 0);
    write_file("/usb0/x", "x");
    Session s(TQ_PLUGIN);
    const std::pair<Packet, int64_t> rows[] = {
        {request(STAT, 1).str("/"), PERMISSION_DENIED},
        {request(LSTAT, 1).str("/usb/x"), PERMISSION_DENIED},
        {request(OPENDIR, 1).str("/usb"), PERMISSION_DENIED},
        {request(OPEN, 1).str("/usb/new").u32(F_WRITE | F_CREAT).u32(0), PERMISSION_DENIED},
        {request(MKDIR, 1).str("/usb/dir").u32(0), PERMISSION_DENIED},
        {request(RMDIR, 1).str("/usb"), PERMISSION_DENIED},
        {request(REMOVE, 1).str("/usb/x"), PERMISSION_DENIED},
        {request(RENAME, 1).str("/usb/x").str("/usb/y"), PERMISSION_DENIED},
        {request(EXTENDED, 1).str(posix_rename).str("/usb/x").str("/usb/y"), PERMISSION_DENIED},
        {request(EXTENDED, 1).str(hardlink).str("/usb/x").str("/usb/y"), PERMISSION_DENIED},
        {request(SETSTAT, 1).str("/usb/x").u32(4).u32(0777), PERMISSION_DENIED},
        {request(REALPATH, 1).str("usb"), -1},  // a NAME
    };
    for (const auto &[p, status] : rows)
        EXPECT_EQ(s.status_of(p), status) << p.b;
    EXPECT_FALSE(exists("/tmp/sftp"));
    EXPECT_EQ(system("test \"$(ls /usb0)\" = x"), 0) << "the stick changed";

    ASSERT_EQ(unlink("/var/lib/tqusr/force-password"), 0);
    usleep(150 * 1000);  // the user manager looks at its flag again within 100 ms
    std::string names = s.list("/");
    EXPECT_NE(names.find("upload\t"), std::string::npos) << names;
}

}  // namespace
