// What an upload may touch: only the file it wrote is handed over or removed,
// one upload of a kind at a time, nothing left in an upload folder, and no
// write past the kind's ceiling.
#include <dirent.h>
#include <fcntl.h>

#include "doubles.h"

using namespace tqtest;

namespace {

constexpr int W = O_WRONLY | O_CREAT | O_TRUNC;
const std::string tmp = "/ramdisk/lighty.tmp";

struct Kind {
    const char *name;
    std::string folder;   // client folder
    std::string written;  // the real file the upload writes
    std::string kept;     // the folder of the name its block keeps
    uint64_t ceiling;
};
void PrintTo(const Kind &k, std::ostream *os) { *os << k.name; }

const Kind firmware{"firmware", "/upload/firmware/", "/tmp/sftp/upload/firmware/new.xml",
                    "/tmp/sftp/upload/firmware/", 64u << 20};
const Kind profile{"profile", "/nv/cfg/", tmp, "/nv/cfg/", 16u << 20};
const Kind sshkey{"sshkey", "/upload/ssh-key/", "/tmp/sftp/upload/ssh-key/new.xml",
                  "/tmp/sftp/upload/ssh-key/", 1u << 20};

// The files left in a folder of the device root, besides the help file.
std::vector<std::string> left(const std::string &folder)
{
    std::vector<std::string> out;
    DIR *d = ::opendir(folder.c_str());
    while (struct dirent *e = d ? ::readdir(d) : nullptr)
        if (e->d_name[0] != '.' && std::string(e->d_name) != "help")
            out.push_back(e->d_name);
    if (d)
        ::closedir(d);
    return out;
}

class Guard : public GuardedTest, public testing::WithParamInterface<Kind> {
protected:
    const Kind &k = GetParam();
    tqsftp_funcs *t = table(k.folder + "new.xml");

    int open(const std::string &client, int flags = W)
    {
        return t->open(client.c_str(), flags, 0600);
    }
    void expect_nothing_left()
    {
        EXPECT_FALSE(exists(k.written));
        EXPECT_EQ(left(k.written.substr(0, k.written.rfind('/'))), std::vector<std::string>{});
    }
};

INSTANTIATE_TEST_SUITE_P(Kinds, Guard, testing::Values(firmware, profile, sshkey),
                         [](const auto &info) { return std::string(info.param.name); });

// A crafted client path names its normalised file only.  A refused hand-over
// fails the close with EPERM, in the "Copy" line too, and removes what the
// upload wrote, never the file the raw path or the profile's name would name.
TEST_P(Guard, RefusedHandOverFailsAndRemovesOnlyTheUpload)
{
    std::string crafted = std::string(60, '/') + "./secret/s.txt/../.." + k.folder + "new.xml";
    for (const char *d : {"/secret", "/nv", "/nv/cfg"})
        ::mkdir(d, 0755);
    for (const char *victim : {"/secret/s.txt", "/nv/cfg/new.xml", "/flash/cfg/new.xml"})
        write_file(victim, "keep");
    services.delayed = 1;
    int fd = open(crafted);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(t->write(fd, "data", 4, 0), 4);
    Outcome o = run([&] { return t->close(fd); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, EPERM);
    EXPECT_EQ(o.audits, Audits{line(EPERM, cmd_copy, remote, crafted.c_str())});
    EXPECT_EQ(services.calls.at(0).args.at(0), k.folder == "/nv/cfg/" ? "/nv/cfg/new.xml" : k.written);
    EXPECT_FALSE(exists(k.written));
    for (const char *victim : {"/secret/s.txt", "/nv/cfg/new.xml", "/flash/cfg/new.xml"})
        EXPECT_EQ(read_file(victim), "keep") << victim;
    EXPECT_EQ(services.invalidations, 0);
}

// A name that does not fit whole is refused before anything is asked or made.
TEST_P(Guard, NameThatDoesNotFitIsRefusedAtOpen)
{
    std::string client = k.folder + std::string(80 - k.kept.size(), 'n');
    EXPECT_EQ(run([&] { return open(client); }),
              (Outcome{-1, ENAMETOOLONG, {}, {}, {line(ENAMETOOLONG, cmd_open, nullptr, client.c_str())}}));
    expect_nothing_left();
    client.pop_back();  // 79 characters fit
    int fd = open(client);
    EXPECT_EQ(t->close(fd), 0);
}

// The second write open of a kind is refused while the first is open; the
// first is then handed over whole, in its own name.
TEST_P(Guard, OneUploadOfAKindAtATime)
{
    int first = open(k.folder + "new.xml");
    ASSERT_GE(first, 0);
    std::string second = k.folder + "second.xml";
    for (int flags : {W, O_RDWR})
        EXPECT_EQ(run([&] { return open(second, flags); }),
                  (Outcome{-1, EBUSY, {}, {}, {line(EBUSY, cmd_open, nullptr, second.c_str())}}));
    EXPECT_EQ(t->write(first, "whole", 5, 0), 5);
    ASSERT_EQ(t->close(first), 0);
    EXPECT_EQ(read_file(k.written), "whole");
    int next = open(second);
    EXPECT_GE(next, 0);
    EXPECT_EQ(t->close(next), 0);
}

// A write past the ceiling fails at once, however sparse; the upload then
// fails at close and is removed without reaching the update service.
TEST_P(Guard, WritePastTheCeilingFailsTheUpload)
{
    int fd = open(k.folder + "new.xml");
    EXPECT_EQ(t->write(fd, "x", 1, static_cast<int64_t>(k.ceiling - 1)), 1) << "up to it";
    for (int64_t off : {int64_t(k.ceiling), int64_t(1) << 62, INT64_MIN}) {
        errno = 0;
        EXPECT_EQ(t->write(fd, "x", 1, off), -1) << off;
        EXPECT_EQ(errno, EFBIG);
    }
    std::string client = k.folder + "new.xml";
    Outcome o = run([&] { return t->close(fd); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, EFBIG);
    EXPECT_EQ(o.audits, Audits{line(EFBIG, cmd_copy, remote, client.c_str())});
    EXPECT_TRUE(services.calls.empty());
    expect_nothing_left();
}

// Whatever the client did, nothing stays behind in the upload folder: a
// link, a rename to a name that does not fit, a read-only open that would
// create, a broken-off transfer.
TEST_F(GuardedTest, NothingIsLeftInAnUploadFolder)
{
    const char *a = "/upload/firmware/a.bin", *b = "/upload/firmware/b.bin";
    tqsftp_funcs *t = table(a);
    int fd = t->open(a, W, 0600);
    EXPECT_EQ(t->write(fd, "part", 4, 0), 4);
    EXPECT_EQ(run([&] { return t->link(a, b); }),
              (Outcome{-1, EPERM, {}, {}, {line(EPERM, cmd_link, a, b)}}));
    std::string longer = "/upload/firmware/" + std::string(54, 'n');  // 80 when real
    EXPECT_EQ(run([&] { return t->rename(a, longer.c_str()); }),
              (Outcome{-1, ENAMETOOLONG, {}, {}, {line(ENAMETOOLONG, cmd_rename, a, longer.c_str())}}));
    for (int flags : {O_RDONLY | O_CREAT, O_RDONLY | O_TRUNC})
        EXPECT_EQ(run([&] { return t->open(b, flags, 0600); }),
                  (Outcome{-1, EPERM, {}, {}, {line(EPERM, cmd_open, nullptr, b)}}));
    host.fail["close"] = ECONNABORTED;  // the client went away
    EXPECT_EQ(t->close(fd), -1);
    host.fail.clear();
    EXPECT_EQ(left("/tmp/sftp/upload/firmware"), std::vector<std::string>{});
    EXPECT_TRUE(service_calls("firmwareDelayed").empty());
}

}  // namespace
