// The host's own operations on the real file system: no symbolic link is
// followed anywhere in a path, by either way of checking paths; absent paths
// fail without a crash; a close after the client has gone reports failure.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "fsops.h"
#include "sftp_pipe.h"

using tqhost::Resolver;
using tqtest::exists;
using tqtest::read_file;

namespace {

const tqsftp_funcs &fs = *tqhost::host_funcs();

// One operation of the table on one or two paths; the result as a number.
struct Call {
    const char *op, *a, *b = nullptr;
};

long perform(const Call &c)
{
    std::string_view op = c.op;
    struct stat64 st;
    if (op == "read" || op == "write") {
        int fd = fs.open(c.a, op == "read" ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0)
            close(fd);
        return fd;
    }
    if (op == "opendir") {
        void *d = fs.opendir(c.a);
        tqhost::close_dir(d);
        return d != nullptr ? 0 : -1;
    }
    if (op == "stat" || op == "stat without buffer")
        return fs.stat(c.a, op == "stat" ? &st : nullptr);
    if (op == "readdir")
        return fs.readdir(nullptr) != nullptr ? 0 : -1;
    if (op == "mkdir")
        return fs.mkdir(c.a, 0755);
    if (op == "rmdir")
        return fs.rmdir(c.a);
    if (op == "unlink")
        return fs.unlink(c.a);
    if (op == "rename")
        return fs.rename(c.a, c.b);
    if (op == "link")
        return fs.link(c.a, c.b);
    ADD_FAILURE() << "no operation " << op;
    return 0;
}

// /tmp/t/in is the tree; /tmp/t/out lies outside it.  In the tree, "leak"
// is a link to a file outside, "dir" a link to the folder outside, and
// "sub/up" a link deeper down.
class HostOps : public testing::TestWithParam<Resolver> {
protected:
    void SetUp() override
    {
#ifdef SYS_openat2
        // An emulator (qemu-arm) may not have openat2: nothing to test there.
        if (GetParam() == Resolver::openat2 && syscall(SYS_openat2, -1, "", nullptr, 0) == -1 &&
            errno == ENOSYS)
            GTEST_SKIP() << "openat2 is not available here";
#endif
        tqhost::set_resolver(GetParam());
        umask(022);
        ASSERT_EQ(system("mkdir -p /tmp/t/in/sub /tmp/t/out/folder && "
                         "echo secret > /tmp/t/out/secret && echo mine > /tmp/t/in/f && "
                         "ln -s /tmp/t/out/secret /tmp/t/in/leak && "
                         "ln -s /tmp/t/out /tmp/t/in/dir && "
                         "ln -s ../../out /tmp/t/in/sub/up"),
                  0);
    }
    void TearDown() override
    {
        if (IsSkipped())
            return;
        std::set<std::string> outside;
        for (const auto &e : std::filesystem::recursive_directory_iterator("/tmp/t/out"))
            outside.insert(e.path());
        EXPECT_EQ(outside, (std::set<std::string>{"/tmp/t/out/folder", "/tmp/t/out/secret"}));
        EXPECT_EQ(read_file("/tmp/t/out/secret"), "secret\n");
        tqhost::set_resolver(Resolver::probe);
    }
};

// A path through a link is refused with EACCES; a path given as NULL (the
// plug-in may pass one when it runs out of memory) fails with EFAULT.  Paths
// without links work (0), and a link itself is an entry of the tree, which
// can be renamed and removed without touching what it points at.
TEST_P(HostOps, NoPathGoesThroughALink)
{
    const std::pair<Call, int> rows[] = {
        {{"read", "/tmp/t/in/leak"}, EACCES},
        {{"write", "/tmp/t/in/leak"}, EACCES},
        {{"read", "/tmp/t/in/dir/secret"}, EACCES},
        {{"write", "/tmp/t/in/dir/new"}, EACCES},
        {{"read", "/tmp/t/in/sub/up/secret"}, EACCES},
        {{"stat", "/tmp/t/in/dir/secret"}, EACCES},
        {{"opendir", "/tmp/t/in/dir"}, EACCES},
        {{"opendir", "/tmp/t/in/dir/folder"}, EACCES},
        {{"mkdir", "/tmp/t/in/dir/x"}, EACCES},
        {{"rmdir", "/tmp/t/in/dir/folder"}, EACCES},
        {{"unlink", "/tmp/t/in/dir/secret"}, EACCES},
        {{"rename", "/tmp/t/in/dir/secret", "/tmp/t/in/g"}, EACCES},
        {{"rename", "/tmp/t/in/f", "/tmp/t/in/dir/f"}, EACCES},
        {{"link", "/tmp/t/in/dir/secret", "/tmp/t/in/h"}, EACCES},
        {{"link", "/tmp/t/in/f", "/tmp/t/in/dir/h"}, EACCES},
        {{"read", nullptr}, EFAULT},
        {{"stat", nullptr}, EFAULT},
        {{"stat without buffer", "/tmp"}, EFAULT},
        {{"opendir", nullptr}, EFAULT},
        {{"readdir", nullptr}, EFAULT},
        {{"mkdir", nullptr}, EFAULT},
        {{"rmdir", nullptr}, EFAULT},
        {{"unlink", nullptr}, EFAULT},
        {{"rename", nullptr, "/tmp/t/in/x"}, EFAULT},
        {{"rename", "/tmp/t/in/f", nullptr}, EFAULT},
        {{"link", nullptr, "/tmp/t/in/x"}, EFAULT},
        {{"link", "/tmp/t/in/f", nullptr}, EFAULT},
        {{"stat", ""}, ENOENT},
        {{"read", "/tmp/t/in/f"}, 0},
        {{"write", "/tmp/t/in/sub/new"}, 0},
        {{"stat", "/"}, 0},
        {{"stat", "/tmp/t/in/sub/"}, 0},
        {{"opendir", "/tmp/t/in"}, 0},
        {{"mkdir", "/tmp/t/in/d"}, 0},
        {{"link", "/tmp/t/in/sub/new", "/tmp/t/in/d/hard"}, 0},
        {{"rename", "/tmp/t/in/d/hard", "/tmp/t/in/moved"}, 0},
        {{"rmdir", "/tmp/t/in/d"}, 0},
        {{"unlink", "/tmp/t/in/moved"}, 0},
        {{"unlink", "/tmp/t/in/sub/new"}, 0},
        {{"rename", "/tmp/t/in/leak", "/tmp/t/in/leak2"}, 0},
        {{"rmdir", "/tmp/t/in/dir"}, ENOTDIR},
        {{"unlink", "/tmp/t/in/dir"}, 0},
    };
    for (const auto &[call, err] : rows) {
        errno = 0;
        long got = perform(call);
        EXPECT_EQ(got < 0 ? errno : 0, err) << call.op << " " << (call.a ? call.a : "NULL");
    }
    struct stat64 st;
    ASSERT_EQ(fs.stat("/tmp/t/in/leak2", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(system("test \"$(ls /tmp/t/in | tr '\\n' ' ')\" = 'f leak2 sub '"), 0);
    EXPECT_EQ(read_file("/tmp/t/in/f"), "mine\n");
}

// Transfers are positional; open honours O_EXCL and the mode.
TEST_P(HostOps, PositionalTransfers)
{
    int fd = fs.open("/tmp/t/in/sub/new", O_RDWR | O_CREAT | O_EXCL, 0640);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fs.write(fd, "abcdef", 6, 0), 6);
    EXPECT_EQ(fs.write(fd, "XY", 2, 10), 2);
    char buf[16] = {};
    EXPECT_EQ(fs.read(fd, buf, sizeof buf, 2), 10);
    EXPECT_EQ(std::string(buf, 10), std::string("cdef\0\0\0\0XY", 10));
    EXPECT_EQ(fs.read(fd, buf, sizeof buf, 12), 0);
    EXPECT_EQ(fs.close(fd), 0);
    EXPECT_EQ(fs.open("/tmp/t/in/sub/new", O_RDWR | O_CREAT | O_EXCL, 0640), -1);
    EXPECT_EQ(errno, EEXIST);
    struct stat64 st;
    ASSERT_EQ(fs.stat("/tmp/t/in/sub/new", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Within one request stat keeps the folder it opened; a folder swapped for a
// link meanwhile still exposes nothing, and after the request the link is
// refused.
TEST_P(HostOps, FolderKeptWithinARequestFollowsNoLaterLink)
{
    struct stat64 st;
    tqtest::write_file("/tmp/t/in/sub/own", "own");
    ASSERT_EQ(fs.stat("/tmp/t/in/sub/own", &st), 0);
    ASSERT_EQ(rename("/tmp/t/in/sub", "/tmp/t/in/moved"), 0);
    ASSERT_EQ(symlink("/tmp/t/out", "/tmp/t/in/sub"), 0);
    EXPECT_EQ(fs.stat("/tmp/t/in/sub/secret", &st), -1);
    tqhost::end_of_request();
    EXPECT_EQ(fs.stat("/tmp/t/in/sub/secret", &st), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(fs.stat("/tmp/t/in/moved/own", &st), 0);
}

INSTANTIATE_TEST_SUITE_P(Host, HostOps, testing::Values(Resolver::openat2, Resolver::walk),
                         [](const testing::TestParamInfo<Resolver> &i) {
                             return i.param == Resolver::openat2 ? "openat2" : "walk";
                         });

// After the client has gone, close still closes but reports ECONNABORTED.
TEST(HostClose, ReportsFailureOnceTheClientHasGone)
{
    int a = open("/dev/null", O_RDONLY);
    int b = open("/dev/null", O_RDONLY);
    EXPECT_EQ(fs.close(a), 0);
    tqhost::set_connection_aborted(true);
    errno = 0;
    EXPECT_EQ(fs.close(b), -1);
    EXPECT_EQ(errno, ECONNABORTED);
    tqhost::set_connection_aborted(false);
    EXPECT_EQ(fcntl(b, F_GETFD), -1) << "the descriptor was not closed";
}

// Where the kernel has openat2 (it refuses a zero-sized argument with
// EINVAL), probing chooses it.
TEST(HostResolver, ProbeChoosesOpenat2WhereTheKernelHasIt)
{
    tqhost::set_resolver(Resolver::probe);
    Resolver r = tqhost::resolver();
    EXPECT_NE(r, Resolver::probe);
#ifdef SYS_openat2
    if (syscall(SYS_openat2, -1, "", nullptr, 0) == -1 && errno == EINVAL) {
        EXPECT_EQ(r, Resolver::openat2);
    }
#endif
}

}  // namespace
