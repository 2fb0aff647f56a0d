// The guarded path operations and the denials: what reaches the host, the
// audit lines, and the areas a rename or link may not leave.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>

#include "guarded.h"

using namespace tqtest;

namespace {

using Audits = std::vector<Audit>;
using Args = std::vector<std::string>;

struct PassCase {
    const char *what;
    std::function<int()> call;  // opendir: 0 for a handle, -1 for none
    int result;
    int err;
    const char *slot;
    Args host_args;
    std::optional<Audit> audit;
};

int opendir_of(const char *p)
{
    void *d = table(p)->opendir(p);
    if (d == nullptr)
        return -1;
    closedir(static_cast<DIR *>(d));
    return 0;
}

class PassThrough : public GuardedTest,
                    public ::testing::WithParamInterface<PassCase> {};

void PrintTo(const PassCase &c, std::ostream *os) { *os << c.what; }

TEST_P(PassThrough, CallsTheHostWithTheRealPathAndLogsChanges)
{
    const PassCase &c = GetParam();
    mkdir("/usb0/d", 0755);
    mkdir("/usb0/cfg", 0755);
    write_file("/usb0/f", "data");
    write_file("/tmp/sftp/upload/firmware/x", "data");
    clear();
    errno = EINTR;  // a success must not log what errno held before
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(c.result < 0 ? errno : 0, c.err);
    auto calls = host_calls(c.slot);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, c.host_args);
    EXPECT_EQ(audits(), c.audit ? Audits{*c.audit} : Audits{});
}

struct stat64 st;

const PassCase pass_cases[] = {
    {"stat", [] { return table("/usb/f")->stat("/usb/f", &st); }, 0, 0,
     "stat", {"/usb0/f"}, {}},
    {"stat_missing", [] { return table("/usb/no")->stat("/usb/no", &st); }, -1,
     ENOENT, "stat", {"/usb0/no"}, {}},
    {"stat_root", [] { return table("/")->stat("/", &st); }, 0, 0, "stat",
     {"/tmp/sftp"}, {}},
    {"stat_unresolvable_passes_no_path",
     [] { return tqsftp_funcs_full.stat(unresolvable("/usb").c_str(), &st); },
     -1, EFAULT, "stat", {"(null)"}, {}},
    {"opendir", [] { return opendir_of("/usb/d"); }, 0, 0, "opendir",
     {"/usb0/d"}, {}},
    {"opendir_missing", [] { return opendir_of("/usb/no"); }, -1, ENOENT,
     "opendir", {"/usb0/no"}, {}},
    {"opendir_profile_folder", [] { return opendir_of("/nv/cfg"); }, 0, 0,
     "opendir", {"/flash/cfg"}, {}},
    {"mkdir", [] { return table("/usb/n")->mkdir("/usb/n", 0700); }, 0, 0,
     "mkdir", {"/usb0/n"}, line(0, "Create", nullptr, "/usb/n")},
    {"mkdir_existing", [] { return table("/usb/d")->mkdir("/usb/d", 0700); },
     -1, EEXIST, "mkdir", {"/usb0/d"}, line(EEXIST, "Create", nullptr, "/usb/d")},
    {"mkdir_media_profiles",
     [] { return table("/usb/cfg/s")->mkdir("/usb/cfg/s", 0700); }, 0, 0,
     "mkdir", {"/usb0/cfg/s"}, line(0, "Create", nullptr, "/usb/cfg/s")},
    {"rmdir", [] { return table("/usb/d")->rmdir("/usb/d"); }, 0, 0, "rmdir",
     {"/usb0/d"}, line(0, "Remove", nullptr, "/usb/d")},
    {"rmdir_missing", [] { return table("/usb/no")->rmdir("/usb/no"); }, -1,
     ENOENT, "rmdir", {"/usb0/no"}, line(ENOENT, "Remove", nullptr, "/usb/no")},
    {"unlink", [] { return table("/usb/f")->unlink("/usb/f"); }, 0, 0,
     "unlink", {"/usb0/f"}, line(0, "Delete", nullptr, "/usb/f")},
    {"unlink_missing", [] { return table("/usb/no")->unlink("/usb/no"); }, -1,
     ENOENT, "unlink", {"/usb0/no"}, line(ENOENT, "Delete", nullptr, "/usb/no")},
    {"unlink_upload",
     [] { return table("/upload/firmware/x")->unlink("/upload/firmware/x"); },
     0, 0, "unlink", {"/tmp/sftp/upload/firmware/x"},
     line(0, "Delete", nullptr, "/upload/firmware/x")},
};

INSTANTIATE_TEST_SUITE_P(Ops, PassThrough, ::testing::ValuesIn(pass_cases),
                         [](const auto &info) { return info.param.what; });

using PathOps = GuardedTest;

TEST_F(PathOps, StatFillsTheCallersBuffer)
{
    write_file("/usb0/f", "12345");
    struct stat64 buf {};
    ASSERT_EQ(table("/usb/f")->stat("/usb/f", &buf), 0);
    EXPECT_EQ(buf.st_size, 5);
    EXPECT_TRUE(S_ISREG(buf.st_mode));
}

// Rename and link, each case for both.
using Moves = MoveTest;

const char *const fw = "/tmp/sftp/upload/firmware/";

TEST_P(Moves, InsideAnAreaTellsTheActionBothRealPaths)
{
    write_file(std::string(fw) + "a.bin", "image");
    EXPECT_EQ(move("/upload/firmware/a.bin", "/upload/firmware/b.bin"), 0);
    EXPECT_EQ(host_calls(GetParam().host_slot).at(0).args,
              (Args{std::string(fw) + "a.bin", std::string(fw) + "b.bin"}));
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].kind, "firmware");
    EXPECT_EQ(actions[0].cmd, TQSFTP_ACT_RENAME);
    EXPECT_EQ(actions[0].a, std::string(fw) + "a.bin");
    EXPECT_EQ(actions[0].b, std::string(fw) + "b.bin");
    EXPECT_EQ(actions[0].answer, -1) << "not the pending upload; ignored";
    EXPECT_TRUE(exists(std::string(fw) + "b.bin"));
    EXPECT_EQ(audits(), Audits{line(0, label(), "/upload/firmware/a.bin",
                                    "/upload/firmware/b.bin")});
}

TEST_P(Moves, OfThePendingUploadRenamesIt)
{
    tqsftp_funcs *t = table("/upload/vpn-cert/a.p12");
    int fd = t->open("/upload/vpn-cert/a.p12", O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(t->close(fd), 0);
    clear();
    actions.clear();
    EXPECT_EQ(move("/upload/vpn-cert/a.p12", "/upload/vpn-cert/b.p12"), 0);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].answer, 0);
    EXPECT_STREQ(tqsftp_vpn_ucb.file_name, "/tmp/sftp/upload/vpn-cert/b.p12");
    ASSERT_EQ(service_calls("changeFilename").size(), 1u);
    EXPECT_EQ(service_calls("changeFilename")[0].args,
              Args{"/tmp/sftp/upload/vpn-cert/b.p12"});
}

TEST_P(Moves, RefusedByTheHostKeepsItsErrorAndCallsNoAction)
{
    errno = 0;
    EXPECT_EQ(move("/upload/firmware/no", "/upload/firmware/b"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(audits(), Audits{line(ENOENT, label(), "/upload/firmware/no",
                                    "/upload/firmware/b")});
}

TEST_P(Moves, InAnAreaWithoutActionIsOnlyLogged)
{
    write_file("/usb0/a", "data");
    EXPECT_EQ(move("/usb/a", "/USB/b"), 0);
    EXPECT_EQ(host_calls(GetParam().host_slot).at(0).args,
              (Args{"/usb0/a", "/usb0/b"}));
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(audits(), Audits{line(0, label(), "/usb/a", "/USB/b")});
}

TEST_P(Moves, AcrossAreasIsRefusedWithoutCallingTheHost)
{
    const char *pairs[][2] = {
        {"/usb/a", "/usb/cfg/a"},
        {"/usb/cfg/a", "/usb/a"},
        {"/usb/a", "/sd/a"},
        {"/usb/a", "/usb"},
        {"/sd/a", "/sd/cfgx"},
        {"/upload/firmware/a", "/upload/ssh-key/a"},
        {"/upload/firmware/a", "/upload/firmware/help"},
    };
    mkdir("/usb0/cfg", 0755);
    for (auto &p : pairs) {
        SCOPED_TRACE(std::string(p[0]) + " -> " + p[1]);
        clear();
        actions.clear();
        errno = 0;
        EXPECT_EQ(move(p[0], p[1]), -1);
        EXPECT_EQ(errno, EPERM);
        EXPECT_TRUE(host.calls.empty());
        EXPECT_TRUE(actions.empty());
        EXPECT_EQ(audits(), Audits{line(EPERM, label(), p[0], p[1])});
    }
}

INSTANTIATE_TEST_SUITE_P(Both, Moves, ::testing::ValuesIn(rename_and_link),
                         move_name);

// The nine denials refuse with EACCES, touch nothing and call no host
// operation; all but stat and write are logged.
struct Denial {
    const char *what;
    std::function<int()> call;  // opendir: -1 for no handle
    std::optional<Audit> audit;
};

void PrintTo(const Denial &d, std::ostream *os) { *os << d.what; }

class Denials : public GuardedTest,
                public ::testing::WithParamInterface<Denial> {};

const char *const pw = "/etc/passwd";

int write_denied(const char *path)
{
    int fd = ::open("/usb0/w", O_RDWR | O_CREAT, 0644);
    int r = table(path)->write(fd, "x", 1, 0);
    int e = errno;
    ::close(fd);
    errno = e;
    return r;
}

TEST_P(Denials, RefuseWithEaccesAndNoHostCall)
{
    const Denial &d = GetParam();
    mkdir("/usb0/d", 0755);
    write_file("/tmp/sftp/upload/firmware/x", "data");
    clear();
    errno = 0;
    EXPECT_EQ(d.call(), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(audits(), d.audit ? Audits{*d.audit} : Audits{});
    EXPECT_EQ(read_file("/usb0/w"), "");
    EXPECT_TRUE(exists("/etc/passwd"));
    EXPECT_TRUE(exists("/tmp/sftp/upload/firmware/x"));
}

const Denial denials[] = {
    {"open", [] { return table(pw)->open(pw, O_RDONLY, 0); },
     line(EACCES, "Open", nullptr, pw)},
    {"stat", [] { return table(pw)->stat(pw, &st); }, {}},
    {"write", [] { return static_cast<int>(write_denied(pw)); }, {}},
    {"write_readonly", [] { return static_cast<int>(write_denied("/")); }, {}},
    {"write_profile_folder",
     [] { return static_cast<int>(write_denied("/nv/cfg")); }, {}},
    {"opendir", [] { return table(pw)->opendir(pw) ? 0 : -1; },
     line(EACCES, "Open", nullptr, pw)},
    {"mkdir", [] { return table(pw)->mkdir(pw, 0755); },
     line(EACCES, "Create", nullptr, pw)},
    {"mkdir_upload",
     [] { return table("/upload/firmware/d")->mkdir("/upload/firmware/d", 0755); },
     line(EACCES, "Create", nullptr, "/upload/firmware/d")},
    {"rmdir", [] { return table(pw)->rmdir(pw); },
     line(EACCES, "Remove", nullptr, pw)},
    {"rmdir_profile", [] { return table("/nv/cfg/d")->rmdir("/nv/cfg/d"); },
     line(EACCES, "Remove", nullptr, "/nv/cfg/d")},
    {"unlink", [] { return table(pw)->unlink(pw); },
     line(EACCES, "Delete", nullptr, pw)},
    {"unlink_root", [] { return table("/upload")->unlink("/upload"); },
     line(EACCES, "Delete", nullptr, "/upload")},
    {"unlink_help",
     [] { return table("/upload/firmware/help")->unlink("/upload/firmware/help"); },
     line(EACCES, "Delete", nullptr, "/upload/firmware/help")},
    {"rename", [] { return table(pw)->rename(pw, "/etc/x"); },
     line(EACCES, "Rename", pw, "/etc/x")},
    {"rename_readonly",
     [] { return table("/upload/firmware/help")->rename("/upload/firmware/help", "/upload/firmware/x"); },
     line(EACCES, "Rename", "/upload/firmware/help", "/upload/firmware/x")},
    {"link", [] { return table(pw)->link(pw, "/etc/x"); },
     line(EACCES, "Link", pw, "/etc/x")},
    {"link_profile_folder", [] { return table("/nv/cfg")->link("/nv/cfg", "/nv/x"); },
     line(EACCES, "Link", "/nv/cfg", "/nv/x")},
};

INSTANTIATE_TEST_SUITE_P(All, Denials, ::testing::ValuesIn(denials),
                         [](const auto &info) { return info.param.what; });

}  // namespace

namespace {

// A host may leave slots absent: the plug-in's operations then fail as a
// failing host call would, with ENOSYS, and log as usual.
TEST(AbsentHostSlots, FailWithEnosys)
{
    host.table = tqsftp_funcs{};
    set_up();
    write_file("/usb0/f", "data");
    struct stat64 buf;
    const std::pair<std::function<int()>, Audits> cases[] = {
        {[] { return table("/usb/f")->open("/usb/f", O_RDONLY, 0); },
         {line(ENOSYS, "Open", nullptr, "/usb/f")}},
        {[] { return table("/usb/f")->close(3); }, {}},
        {[&] { return table("/usb/f")->stat("/usb/f", &buf); }, {}},
        {[] { return table("/usb/d")->opendir("/usb/d") ? 0 : -1; }, {}},
        {[] { return table("/usb/f")->unlink("/usb/f"); },
         {line(ENOSYS, "Delete", nullptr, "/usb/f")}},
        {[] { return table("/usb/f")->rename("/usb/f", "/usb/g"); },
         {line(ENOSYS, "Rename", "/usb/f", "/usb/g")}},
        {[] { return table("/nv/cfg/a.xml")->link("/nv/cfg/a.xml", "/nv/cfg/b.xml"); },
         {line(ENOSYS, "Link", "/nv/cfg/a.xml", "/nv/cfg/b.xml")}},
    };
    for (auto &[call, lines] : cases) {
        clear();
        errno = 0;
        EXPECT_EQ(call(), -1);
        EXPECT_EQ(errno, ENOSYS);
        EXPECT_EQ(audits(), lines);
    }
    EXPECT_TRUE(exists("/usb0/f"));
    EXPECT_EQ(tqsftp_state.files, nullptr);
}

}  // namespace
