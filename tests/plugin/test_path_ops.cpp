// The guarded path operations and the denials: what reaches the host, the
// audit lines, and the areas a rename or link may not leave.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "doubles.h"

using namespace tqtest;

namespace {

struct stat64 st;
const char *const pw = "/etc/passwd";

long opendir_of(const char *p)
{
    void *d = table(p)->opendir(p);
    return d ? closedir(static_cast<DIR *>(d)) : -1;
}

long write_through(const char *path)
{
    int fd = ::open("/usb0/w", O_RDWR | O_CREAT, 0644);
    long r = table(path)->write(fd, "x", 1, 0);
    int e = errno;
    ::close(fd);
    errno = e;
    return r;
}

struct OpCase {
    const char *what;
    std::function<long()> op;
    Outcome want;
};

void PrintTo(const OpCase &c, std::ostream *os) { *os << c.what; }

class PathOp : public GuardedTest, public ::testing::WithParamInterface<OpCase> {};

// Pass-through operations call the host with the real path and log changes
// (a success must not log what errno held before); the nine denials refuse
// with EACCES, call no host operation and log all but stat and write.
TEST_P(PathOp, ReachesTheHostOrIsDenied)
{
    mkdir("/usb0/d", 0755);
    write_file("/usb0/f", "12345");
    EXPECT_EQ(run(GetParam().op), GetParam().want);
    EXPECT_EQ(read_file("/usb0/w"), "");
}

const OpCase ops[] = {
    // The caller's buffer is filled.
    {"stat", [] { return table("/usb/f")->stat("/usb/f", &st) || st.st_size != 5; },
     {0, 0, {"stat /usb0/f"}, {}, {}}},
    {"stat_missing", [] { return table("/usb/no")->stat("/usb/no", &st); },
     {-1, ENOENT, {"stat /usb0/no"}, {}, {}}},
    {"stat_unresolvable_passes_no_path",
     [] { return tqsftp_funcs_full.stat(unresolvable("/usb").c_str(), &st); },
     {-1, EFAULT, {"stat (null)"}, {}, {}}},
    {"opendir", [] { return opendir_of("/usb/d"); }, {0, 0, {"opendir /usb0/d"}, {}, {}}},
    {"opendir_missing", [] { return opendir_of("/usb/no"); },
     {-1, ENOENT, {"opendir /usb0/no"}, {}, {}}},
    {"mkdir", [] { return table("/usb/n")->mkdir("/usb/n", 0700); },
     {0, 0, {"mkdir /usb0/n"}, {}, {line(0, "Create", nullptr, "/usb/n")}}},
    {"mkdir_existing", [] { return table("/usb/d")->mkdir("/usb/d", 0700); },
     {-1, EEXIST, {"mkdir /usb0/d"}, {}, {line(EEXIST, "Create", nullptr, "/usb/d")}}},
    {"rmdir", [] { return table("/usb/d")->rmdir("/usb/d"); },
     {0, 0, {"rmdir /usb0/d"}, {}, {line(0, "Remove", nullptr, "/usb/d")}}},
    {"rmdir_missing", [] { return table("/usb/no")->rmdir("/usb/no"); },
     {-1, ENOENT, {"rmdir /usb0/no"}, {}, {line(ENOENT, "Remove", nullptr, "/usb/no")}}},
    {"unlink", [] { return table("/usb/f")->unlink("/usb/f"); },
     {0, 0, {"unlink /usb0/f"}, {}, {line(0, "Delete", nullptr, "/usb/f")}}},
    {"unlink_missing", [] { return table("/usb/no")->unlink("/usb/no"); },
     {-1, ENOENT, {"unlink /usb0/no"}, {}, {line(ENOENT, "Delete", nullptr, "/usb/no")}}},
    {"deny_open", [] { return table(pw)->open(pw, O_RDONLY, 0); },
     {-1, EACCES, {}, {}, {line(EACCES, "Open", nullptr, pw)}}},
    {"deny_stat", [] { return table(pw)->stat(pw, &st); }, {-1, EACCES, {}, {}, {}}},
    {"deny_write", [] { return write_through(pw); }, {-1, EACCES, {}, {}, {}}},
    {"deny_opendir", [] { return table(pw)->opendir(pw) ? 0L : -1L; },
     {-1, EACCES, {}, {}, {line(EACCES, "Open", nullptr, pw)}}},
    {"deny_mkdir", [] { return table("/upload/firmware/d")->mkdir("/upload/firmware/d", 0755); },
     {-1, EACCES, {}, {}, {line(EACCES, "Create", nullptr, "/upload/firmware/d")}}},
    {"deny_rmdir", [] { return table(pw)->rmdir(pw); },
     {-1, EACCES, {}, {}, {line(EACCES, "Remove", nullptr, pw)}}},
    {"deny_unlink", [] { return table(pw)->unlink(pw); },
     {-1, EACCES, {}, {}, {line(EACCES, "Delete", nullptr, pw)}}},
    {"deny_rename", [] { return table(pw)->rename(pw, "/etc/x"); },
     {-1, EACCES, {}, {}, {line(EACCES, "Rename", pw, "/etc/x")}}},
    {"deny_link", [] { return table(pw)->link(pw, "/etc/x"); },
     {-1, EACCES, {}, {}, {line(EACCES, "Link", pw, "/etc/x")}}},
};

INSTANTIATE_TEST_SUITE_P(Ops, PathOp, ::testing::ValuesIn(ops),
                         [](const auto &info) { return info.param.what; });

// Rename and link, each case for both.
using Moves = MoveTest;

const std::string fw = "/tmp/sftp/upload/firmware/";

// Inside one area: the host gets both real paths; the area's action is told
// of a move the host made, with both real paths, and its answer ignored.
TEST_P(Moves, InsideAnArea)
{
    write_file(fw + "a.bin", "image");
    Outcome o = run([&] { return move("/upload/firmware/a.bin", "/upload/firmware/b.bin"); });
    if (slot() == "link") {  // no second name for an upload
        EXPECT_EQ(o, (Outcome{-1, EPERM, {}, {},
                              {line(EPERM, label(), "/upload/firmware/a.bin",
                                    "/upload/firmware/b.bin")}}));
    } else {
        EXPECT_EQ(o, (Outcome{0, 0, {slot() + " " + fw + "a.bin " + fw + "b.bin"},
                              {"5 " + fw + "a.bin " + fw + "b.bin"},
                              {line(0, label(), "/upload/firmware/a.bin",
                                    "/upload/firmware/b.bin")}}));
        EXPECT_EQ(actions.at(0).answer, -1) << "not the pending upload; ignored";
        EXPECT_TRUE(exists(fw + "b.bin"));
    }

    // An area without action: only logged.
    write_file("/usb0/a", "data");
    EXPECT_EQ(run([&] { return move("/usb/a", "/USB/b"); }),
              (Outcome{0, 0, {slot() + " /usb0/a /usb0/b"}, {},
                       {line(0, label(), "/usb/a", "/USB/b")}}));

    // Refused by the host: its error stands and no action is told.
    std::string area = slot() == "link" ? "/usb/" : "/upload/firmware/";
    std::string real = slot() == "link" ? "/usb0/" : fw, no = area + "no", b = area + "b";
    EXPECT_EQ(run([&] { return move(no.c_str(), b.c_str()); }),
              (Outcome{-1, ENOENT, {slot() + " " + real + "no " + real + "b"}, {},
                       {line(ENOENT, label(), no.c_str(), b.c_str())}}));
}

TEST_P(Moves, OfThePendingUploadRenamesIt)
{
    if (slot() == "link")
        GTEST_SKIP() << "links are refused in upload areas";
    const char *a = "/upload/vpn-cert/a.p12";
    int fd = table(a)->open(a, O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(table(a)->close(fd), 0);
    EXPECT_EQ(run([&] { return move(a, "/upload/vpn-cert/b.p12"); }).actions,
              Args{"5 /tmp/sftp/upload/vpn-cert/a.p12 /tmp/sftp/upload/vpn-cert/b.p12"});
    EXPECT_EQ(actions.at(0).answer, 0);
    EXPECT_STREQ(tqsftp_vpn_ucb.file_name, "/tmp/sftp/upload/vpn-cert/b.p12");
    EXPECT_EQ(service_calls("changeFilename").at(0).args, Args{"/tmp/sftp/upload/vpn-cert/b.p12"});
}

TEST_P(Moves, AcrossAreasIsRefusedWithoutCallingTheHost)
{
    mkdir("/usb0/cfg", 0755);
    for (auto [from, to] : {std::pair{"/usb/a", "/usb/cfg/a"}, {"/usb/cfg/a", "/usb/a"},
                            {"/usb/a", "/sd/a"}, {"/usb/a", "/usb"}, {"/sd/a", "/sd/cfgx"},
                            {"/upload/firmware/a", "/upload/ssh-key/a"},
                            {"/upload/firmware/a", "/upload/firmware/help"}})
        EXPECT_EQ(run([&] { return move(from, to); }),
                  (Outcome{-1, EPERM, {}, {}, {line(EPERM, label(), from, to)}}));
}

INSTANTIATE_TEST_SUITE_P(Both, Moves, ::testing::ValuesIn(rename_and_link), move_name);

// A host may leave slots absent: the plug-in's operations then fail as a
// failing host call would, with ENOSYS, and log as usual.
TEST(AbsentHostSlots, FailWithEnosys)
{
    host.table = tqsftp_funcs{};
    set_up();
    write_file("/usb0/f", "data");
    const struct {
        std::function<long()> op;
        Audits lines;
        Args actions = {};
    } cases[] = {
        {[] { return table("/usb/f")->open("/usb/f", O_RDONLY, 0); },
         {line(ENOSYS, "Open", nullptr, "/usb/f")}},
        {[] { return table("/usb/f")->close(3); }, {}},
        {[] { return table("/usb/f")->stat("/usb/f", &st); }, {}},
        {[] { return opendir_of("/usb/d"); }, {}},
        {[] { return table("/usb/f")->unlink("/usb/f"); },
         {line(ENOSYS, "Delete", nullptr, "/usb/f")}},
        {[] { return table("/usb/f")->rename("/usb/f", "/usb/g"); },
         {line(ENOSYS, "Rename", "/usb/f", "/usb/g")}},
        {[] { return table("/nv/cfg/a.xml")->link("/nv/cfg/a.xml", "/nv/cfg/b.xml"); },
         {line(ENOSYS, "Link", "/nv/cfg/a.xml", "/nv/cfg/b.xml")},
         {"5 /nv/cfg/a.xml /nv/cfg/b.xml"}},  // offered to the action, which refuses
    };
    for (auto &c : cases)
        EXPECT_EQ(run(c.op), (Outcome{-1, ENOSYS, {}, c.actions, c.lines}));
    EXPECT_TRUE(exists("/usb0/f"));
    EXPECT_EQ(tqsftp_state.files, nullptr);
}

}  // namespace
