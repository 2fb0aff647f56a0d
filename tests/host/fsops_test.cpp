// The host's own operations on the real file system: no symbolic link is
// followed anywhere in a path, by either way of checking paths; absent paths
// fail without a crash; a close after the client has gone reports failure.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "fsops.h"
#include "sftp_pipe.h"

using tqhost::Resolver;

namespace tqhost {
void PrintTo(Resolver r, std::ostream *os)
{
    *os << (r == Resolver::openat2 ? "openat2" : r == Resolver::walk ? "walk" : "probe");
}
}  // namespace tqhost
using tqtest::exists;
using tqtest::read_file;
using tqtest::write_file;

namespace {

const tqsftp_funcs &fs = *tqhost::host_funcs();

// /tmp/t/in is the tree; /tmp/t/out lies outside it.  In the tree, "leak"
// is a link to a file outside, "dir" a link to the folder outside, and
// "sub/up" a link deeper down.
class HostOps : public testing::TestWithParam<Resolver> {
protected:
    void SetUp() override
    {
        tqhost::set_resolver(GetParam());
        umask(022);
        ASSERT_EQ(system("mkdir -p /tmp/t/in/sub /tmp/t/out/folder && "
                         "echo secret > /tmp/t/out/secret && "
                         "echo mine > /tmp/t/in/f && "
                         "ln -s /tmp/t/out/secret /tmp/t/in/leak && "
                         "ln -s /tmp/t/out /tmp/t/in/dir && "
                         "ln -s ../../out /tmp/t/in/sub/up"),
                  0);
        outside_ = listing("/tmp/t/out");
    }
    void TearDown() override
    {
        EXPECT_EQ(listing("/tmp/t/out"), outside_) << "the folder outside changed";
        EXPECT_EQ(read_file("/tmp/t/out/secret"), "secret\n");
        tqhost::set_resolver(Resolver::probe);
    }
    static std::string listing(const char *dir)
    {
        std::string names;
        DIR *d = opendir(dir);
        while (d != nullptr && readdir(d) != nullptr)
            names += "+";
        if (d != nullptr) {
            rewinddir(d);
            while (struct dirent *e = readdir(d))
                names += std::string(e->d_name) + "/";
            closedir(d);
        }
        return names;
    }
    std::string outside_;
};

struct Refusal {
    const char *what;
    std::function<long()> call;
};

TEST_P(HostOps, PathsThroughLinksAreRefused)
{
    struct stat64 st;
    const Refusal refusals[] = {
        {"read a link to a file", [] { return long(fs.open("/tmp/t/in/leak", O_RDONLY, 0)); }},
        {"write a link to a file",
         [] { return long(fs.open("/tmp/t/in/leak", O_WRONLY | O_TRUNC, 0)); }},
        {"read through a linked folder",
         [] { return long(fs.open("/tmp/t/in/dir/secret", O_RDONLY, 0)); }},
        {"create through a linked folder",
         [] { return long(fs.open("/tmp/t/in/dir/new", O_WRONLY | O_CREAT, 0644)); }},
        {"read through a link deeper down",
         [] { return long(fs.open("/tmp/t/in/sub/up/secret", O_RDONLY, 0)); }},
        {"stat through a linked folder",
         [&st] { return long(fs.stat("/tmp/t/in/dir/secret", &st)); }},
        {"list a linked folder", [] { return fs.opendir("/tmp/t/in/dir") ? 0L : -1L; }},
        {"list through a linked folder",
         [] { return fs.opendir("/tmp/t/in/dir/folder") ? 0L : -1L; }},
        {"mkdir through a linked folder", [] { return long(fs.mkdir("/tmp/t/in/dir/x", 0755)); }},
        {"rmdir through a linked folder", [] { return long(fs.rmdir("/tmp/t/in/dir/folder")); }},
        {"unlink through a linked folder", [] { return long(fs.unlink("/tmp/t/in/dir/secret")); }},
        {"rename out of a linked folder",
         [] { return long(fs.rename("/tmp/t/in/dir/secret", "/tmp/t/in/g")); }},
        {"rename into a linked folder",
         [] { return long(fs.rename("/tmp/t/in/f", "/tmp/t/in/dir/f")); }},
        {"link out of a linked folder",
         [] { return long(fs.link("/tmp/t/in/dir/secret", "/tmp/t/in/h")); }},
        {"link into a linked folder",
         [] { return long(fs.link("/tmp/t/in/f", "/tmp/t/in/dir/h")); }},
    };
    for (const Refusal &r : refusals) {
        errno = 0;
        long got = r.call();
        EXPECT_EQ(got, -1) << r.what;
        EXPECT_EQ(errno, EACCES) << r.what;
        if (got >= 0 && strstr(r.what, "list") == nullptr)
            close(int(got));
    }
    EXPECT_EQ(read_file("/tmp/t/in/f"), "mine\n");
    EXPECT_FALSE(exists("/tmp/t/in/g"));
    EXPECT_FALSE(exists("/tmp/t/in/h"));
}

// The link itself is an entry of the tree: stat shows a link, and it can be
// renamed and removed without touching what it points at.
TEST_P(HostOps, LinkItselfIsAnEntry)
{
    struct stat64 st;
    ASSERT_EQ(fs.stat("/tmp/t/in/leak", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(fs.rename("/tmp/t/in/leak", "/tmp/t/in/leak2"), 0);
    EXPECT_EQ(fs.unlink("/tmp/t/in/leak2"), 0);
    EXPECT_EQ(fs.rmdir("/tmp/t/in/dir"), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(fs.unlink("/tmp/t/in/dir"), 0);
}

// Without links every operation does its ordinary job.
TEST_P(HostOps, OrdinaryPathsWork)
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
    EXPECT_EQ(st.st_size, 12);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(fs.stat("/", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(fs.stat("/tmp/t/in/sub/", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    EXPECT_EQ(fs.mkdir("/tmp/t/in/d", 0750), 0);
    EXPECT_EQ(fs.link("/tmp/t/in/sub/new", "/tmp/t/in/d/hard"), 0);
    EXPECT_EQ(fs.rename("/tmp/t/in/d/hard", "/tmp/t/in/moved"), 0);
    EXPECT_EQ(fs.rmdir("/tmp/t/in/d"), 0);
    EXPECT_EQ(fs.unlink("/tmp/t/in/moved"), 0);
    EXPECT_EQ(fs.stat("/tmp/t/in/moved", &st), -1);
    EXPECT_EQ(errno, ENOENT);

    void *d = fs.opendir("/tmp/t/in");
    ASSERT_NE(d, nullptr);
    std::string names;
    while (struct dirent64 *e = fs.readdir(d))
        names += std::string(e->d_name) + " ";
    tqhost::close_dir(d);
    for (const char *n : {"f ", "leak ", "dir ", "sub "})
        EXPECT_NE(names.find(n), std::string::npos) << n;
}

// Within one request stat keeps the folder it opened; a folder swapped for a
// link meanwhile still exposes nothing, and after the request the link is
// refused.
TEST_P(HostOps, FolderKeptWithinARequestFollowsNoLaterLink)
{
    struct stat64 st;
    write_file("/tmp/t/in/sub/own", "own");
    ASSERT_EQ(fs.stat("/tmp/t/in/sub/own", &st), 0);
    ASSERT_EQ(rename("/tmp/t/in/sub", "/tmp/t/in/moved"), 0);
    ASSERT_EQ(symlink("/tmp/t/out", "/tmp/t/in/sub"), 0);
    EXPECT_EQ(fs.stat("/tmp/t/in/sub/secret", &st), -1);
    tqhost::end_of_request();
    EXPECT_EQ(fs.stat("/tmp/t/in/sub/secret", &st), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(fs.stat("/tmp/t/in/moved/own", &st), 0);
}

TEST_P(HostOps, AbsentArgumentsFail)
{
    struct stat64 st;
    const Refusal calls[] = {
        {"open", [] { return long(fs.open(nullptr, O_RDONLY, 0)); }},
        {"stat", [&st] { return long(fs.stat(nullptr, &st)); }},
        {"stat buffer", [] { return long(fs.stat("/tmp", nullptr)); }},
        {"opendir", [] { return fs.opendir(nullptr) ? 0L : -1L; }},
        {"readdir", [] { return fs.readdir(nullptr) ? 0L : -1L; }},
        {"mkdir", [] { return long(fs.mkdir(nullptr, 0755)); }},
        {"rmdir", [] { return long(fs.rmdir(nullptr)); }},
        {"unlink", [] { return long(fs.unlink(nullptr)); }},
        {"rename from", [] { return long(fs.rename(nullptr, "/tmp/t/in/x")); }},
        {"rename to", [] { return long(fs.rename("/tmp/t/in/f", nullptr)); }},
        {"link from", [] { return long(fs.link(nullptr, "/tmp/t/in/x")); }},
        {"link to", [] { return long(fs.link("/tmp/t/in/f", nullptr)); }},
    };
    for (const Refusal &c : calls) {
        errno = 0;
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_EQ(errno, EFAULT) << c.what;
    }
    EXPECT_EQ(fs.stat("", &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(exists("/tmp/t/in/f"));
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
    EXPECT_EQ(errno, EBADF);
}

TEST(HostResolver, ProbeChoosesOpenat2WhereTheKernelHasIt)
{
    tqhost::set_resolver(Resolver::probe);
    Resolver r = tqhost::resolver();
    EXPECT_NE(r, Resolver::probe);
#ifdef SYS_openat2
    // A kernel with openat2 refuses a zero-sized argument with EINVAL.
    if (syscall(SYS_openat2, -1, "", nullptr, 0) == -1 && errno == EINVAL) {
        EXPECT_EQ(r, Resolver::openat2);
    }
#endif
}

}  // namespace
