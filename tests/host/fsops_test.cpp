// The host's own file operations: no symbolic link is followed anywhere in a
// path, by either way of checking paths; absent paths fail cleanly.  Long
// names show owners as the name service names them.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pwd.h>
#include <sys/syscall.h>

#include <sstream>

#include "fsops.h"
#include "long_name.h"

using tqhost::Resolver;

namespace {

const tqsftp_funcs &fs = *tqhost::host_funcs();

// /tmp/t/in is the tree, /tmp/t/out lies outside: "leak" links to a file
// outside, "dir" to the folder outside, "sub/up" deeper down.
class HostOps : public testing::TestWithParam<Resolver> {
protected:
    void SetUp() override
    {
        // An emulator (qemu-arm) may not have openat2: nothing to test there.
        if (GetParam() == Resolver::openat2 && syscall(SYS_openat2, -1, "", nullptr, 0) == -1 &&
            errno == ENOSYS)
            GTEST_SKIP() << "openat2 is not available here";
        tqhost::set_resolver(GetParam());
        ASSERT_EQ(system("mkdir -p /tmp/t/in/sub /tmp/t/out && echo secret > /tmp/t/out/secret && "
                         "echo mine > /tmp/t/in/f && ln -s /tmp/t/out/secret /tmp/t/in/leak && "
                         "ln -s /tmp/t/out /tmp/t/in/dir && ln -s ../../out /tmp/t/in/sub/up"), 0);
    }
};

TEST_P(HostOps, NoPathGoesThroughALink)
{
    struct stat64 st;
    const std::string long_name = "/tmp/t/in/" + std::string(NAME_MAX + 1, 'n');
    const std::string longest_name = "/tmp/t/in/" + std::string(NAME_MAX, 'n');
    const std::string long_path = "/tmp/t/in" + std::string(PATH_MAX - 9, '/');  // no room for NUL
    const std::string longest_path = long_path.substr(0, PATH_MAX - 1);
    ASSERT_EQ(system(("mkdir " + longest_name + " && touch " + longest_name + "/f").c_str()), 0);
    // Each operation's result: 0, or the errno of its failure.
    const struct { const char *what; std::function<long()> op; int err; } rows[] = {
        {"open a link", [] { return fs.open("/tmp/t/in/leak", O_RDONLY, 0); }, EACCES},
        {"create through a link",
         [] { return fs.open("/tmp/t/in/dir/new", O_WRONLY | O_CREAT, 0644); }, EACCES},
        {"open through a deeper link",
         [] { return fs.open("/tmp/t/in/sub/up/secret", O_RDONLY, 0); }, EACCES},
        {"stat through a link", [&] { return fs.stat("/tmp/t/in/dir/secret", &st); }, EACCES},
        {"opendir a link", [] { return fs.opendir("/tmp/t/in/dir") ? 0 : -1; }, EACCES},
        {"unlink through a link", [] { return fs.unlink("/tmp/t/in/dir/secret"); }, EACCES},
        {"rename into a link", [] { return fs.rename("/tmp/t/in/f", "/tmp/t/in/dir/f"); }, EACCES},
        {"link from a link", [] { return fs.link("/tmp/t/in/dir/secret", "/tmp/t/in/h"); }, EACCES},
        {"stat no path", [&] { return fs.stat(nullptr, &st); }, EFAULT},
        {"mkdir no path", [] { return fs.mkdir(nullptr, 0755); }, EFAULT},
        {"stat an empty path", [&] { return fs.stat("", &st); }, ENOENT},
        {"stat a long name", [&] { return fs.stat(long_name.c_str(), &st); }, ENAMETOOLONG},
        {"stat a long path", [&] { return fs.stat(long_path.c_str(), &st); }, ENAMETOOLONG},
        {"stat the longest path", [&] { return fs.stat(longest_path.c_str(), &st); }, 0},
        {"stat below a long name",
         [&] { return fs.stat((long_name + "/f").c_str(), &st); }, ENAMETOOLONG},
        {"stat below the longest name",
         [&] { return fs.stat((longest_name + "/f").c_str(), &st); }, 0},
        {"stat a folder with a slash", [&] { return fs.stat("/tmp/t/in/sub/", &st); }, 0},
        {"stat a link as a link",
         [&] { return fs.stat("/tmp/t/in/leak", &st) || !S_ISLNK(st.st_mode) ? -1 : 0; }, 0},
        {"link a link", [] { return fs.link("/tmp/t/in/leak", "/tmp/t/in/leak2"); }, 0},
        {"the new link is a link",
         [&] { return fs.stat("/tmp/t/in/leak2", &st) || !S_ISLNK(st.st_mode) ? -1 : 0; }, 0},
        {"rmdir a link to a folder", [] { return fs.rmdir("/tmp/t/in/dir"); }, ENOTDIR},
        {"a byte beyond 4 GiB, written and read back where it was put", [] {
             int fd = fs.open("/tmp/t/in/big", O_RDWR | O_CREAT, 0644);
             char c = 0;
             bool back = fs.write(fd, "x", 1, 5LL << 30) == 1 && fs.read(fd, &c, 1, 5LL << 30) == 1;
             fs.close(fd);
             return back && c == 'x' ? 0 : -1;
         }, 0},
        {"unlink a link to a folder", [] { return fs.unlink("/tmp/t/in/dir"); }, 0},
    };
    for (const auto &row : rows) {
        errno = 0;
        long got = row.op();
        EXPECT_EQ(got < 0 ? (errno ? errno : -1) : 0, row.err) << row.what;
    }
    EXPECT_EQ(system("grep -qx secret /tmp/t/out/secret && test ! -e /tmp/t/out/new"), 0);
}

// Every user and group of the device, and an id that none has, read back from
// a long name's owner and group columns.
TEST(LongName, OwnersAsTheNameServiceNamesThem)
{
    std::vector<std::pair<unsigned, std::string>> users{{4242424, "4242424"}}, groups = users;
    while (struct passwd *p = getpwent())
        users.emplace_back(p->pw_uid, getpwuid(p->pw_uid)->pw_name);
    while (struct group *g = getgrent())
        groups.emplace_back(g->gr_gid, getgrgid(g->gr_gid)->gr_name);
    ASSERT_GT(users.size(), 2u);
    for (size_t i = 0; i < std::max(users.size(), groups.size()); i++) {
        const auto &[uid, user] = users[i % users.size()];
        const auto &[gid, group] = groups[i % groups.size()];
        struct stat64 st = {};
        st.st_uid = uid;
        st.st_gid = gid;
        char line[256];
        tqhost::long_name(line, sizeof line, "f", &st, 0);
        std::string mode, links, owner, owning_group;
        std::istringstream(line) >> mode >> links >> owner >> owning_group;
        EXPECT_EQ(owner + " " + owning_group, user + " " + group) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Host, HostOps, testing::Values(Resolver::openat2, Resolver::walk),
    [](const auto &i) { return i.param == Resolver::openat2 ? "openat2" : "walk"; });

}  // namespace
