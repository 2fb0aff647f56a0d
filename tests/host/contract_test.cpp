// The host's side of the plug-in interface, seen through a recording
// plug-in (fake_plugin.cpp): which tables the host asks for, which slots it
// calls with which paths, what it does with absent slots, and how it closes
// what the client left open.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <sstream>
#include <vector>

#include "sftp_pipe.h"

using namespace tqtest;

namespace {

class HostContract : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(system("mkdir -p /tmp/w/d /tmp/w/Bd && echo hello > /tmp/w/f && "
                         "touch /tmp/w/d/a1 /tmp/w/d/B2 /tmp/w/Bd/x"),
                  0);
    }
    // The lines the plug-in recorded since the last call.
    std::vector<std::string> calls()
    {
        std::vector<std::string> lines;
        std::istringstream in(read_file("/tmp/fake-plugin.log").value_or(""));
        std::string line;
        for (size_t n = 0; std::getline(in, line); n++) {
            if (n >= seen_)
                lines.push_back(line);
        }
        seen_ += lines.size();
        return lines;
    }
    static uint32_t status(const std::string &reply)
    {
        Fields f{reply};
        if (f.u8() != STATUS)
            return ~0u;
        f.u32();
        return f.u32();
    }
    size_t seen_ = 0;
    using Lines = std::vector<std::string>;
};

TEST_F(HostContract, EveryRequestAsksForItsPathsTable)
{
    Session s(TQ_FAKE_PLUGIN);
    calls();
    for (int i = 0; i < 2; i++) {
        std::string r = s.call(request(STAT, s.next_id()).str("/tmp/w/f"));
        ASSERT_FALSE(r.empty());
        EXPECT_EQ(uint8_t(r[0]), ATTRS);
    }
    EXPECT_EQ(calls(), (Lines{"entry /tmp/w/f", "A stat /tmp/w/f 0", "entry /tmp/w/f",
                              "A stat /tmp/w/f 0"}));

    // RENAME asks the new name's table whether it exists, then renames
    // through the old name's table; posix-rename only renames.
    EXPECT_EQ(s.status_of(request(RENAME, s.next_id()).str("/tmp/w/f").str("/tmp/w/Bg")), OK);
    EXPECT_EQ(calls(), (Lines{"entry /tmp/w/Bg", "B stat /tmp/w/Bg 2", "entry /tmp/w/f",
                              "A rename /tmp/w/f /tmp/w/Bg 0"}));
    EXPECT_EQ(s.status_of(request(EXTENDED, s.next_id())
                              .str("posix-rename@openssh.com")
                              .str("/tmp/w/Bg")
                              .str("/tmp/w/d/a1")),
              OK);
    EXPECT_EQ(calls(), (Lines{"entry /tmp/w/Bg", "B rename /tmp/w/Bg /tmp/w/d/a1 0"}));
    EXPECT_EQ(s.status_of(request(EXTENDED, s.next_id())
                              .str("hardlink@openssh.com")
                              .str("/tmp/w/d/a1")
                              .str("/tmp/w/h")),
              OK);
    EXPECT_EQ(calls(), (Lines{"entry /tmp/w/d/a1", "A link /tmp/w/d/a1 /tmp/w/h 0"}));
    EXPECT_EQ(read_file("/tmp/w/h"), "hello\n");
}

TEST_F(HostContract, OpenHandleKeepsTheTableOfItsOpen)
{
    Session s(TQ_FAKE_PLUGIN);
    std::string h = s.open("/tmp/w/f", F_READ | F_WRITE);
    ASSERT_FALSE(h.empty());
    write_file("/tmp/fake-b", "");  // from now on every path gets table B
    calls();
    EXPECT_EQ(s.write(h, 0, "HE"), OK);
    std::string r = s.call(request(READ, s.next_id()).str(h).u64(0).u32(100));
    Fields f{r};
    ASSERT_EQ(f.u8(), DATA);
    f.u32();
    EXPECT_EQ(f.str(), "HEllo\n");
    EXPECT_EQ(s.close(h), OK);
    EXPECT_EQ(calls(), (Lines{"A write", "A read", "A close 0 0"}));
    EXPECT_EQ(s.status_of(request(REMOVE, s.next_id()).str("/tmp/w/f")), OK);
    EXPECT_EQ(calls(), (Lines{"entry /tmp/w/f", "B unlink /tmp/w/f 0"}));
}

// A listing goes through the folder table's readdir (B adds "extra"), and
// each name's attributes through the stat of that name's own table.
TEST_F(HostContract, ListingUsesTheTablesReaddirAndEachNamesStat)
{
    Session s(TQ_FAKE_PLUGIN);
    calls();
    std::string a = s.list("/tmp/w/d");
    EXPECT_NE(a.find("a1\t-rw-r--r--"), std::string::npos) << a;
    EXPECT_NE(a.find("B2\t-rw-r--r--"), std::string::npos) << a;
    EXPECT_EQ(a.find("extra"), std::string::npos) << a;
    Lines got = calls();
    auto has = [&got](const std::string &line) {
        return std::find(got.begin(), got.end(), line) != got.end();
    };
    EXPECT_TRUE(has("A opendir /tmp/w/d 0"));
    EXPECT_TRUE(has("A stat /tmp/w/d/a1 0"));
    EXPECT_TRUE(has("B stat /tmp/w/d/B2 0"));

    std::string b = s.list("/tmp/w/Bd");
    EXPECT_NE(b.find("x\t-rw-r--r--"), std::string::npos) << b;
    // A name whose stat fails is listed all the same, without attributes.
    EXPECT_NE(b.find("extra\t?????????? "), std::string::npos) << b;
    EXPECT_NE(b.find("\t-\n"), std::string::npos) << b;
    got = calls();
    EXPECT_TRUE(has("B stat /tmp/w/Bd/extra 2"));
}

TEST_F(HostContract, AbsentSlotsArePermissionDenied)
{
    Session s(TQ_FAKE_PLUGIN);
    const std::vector<Packet> requests = {
        request(OPEN, 1).str("/none/f").u32(F_READ).u32(0),
        request(OPEN, 1).str("/tmp/none").u32(F_WRITE | F_CREAT).u32(0),
        request(STAT, 1).str("/none"),
        request(LSTAT, 1).str("/none/x"),
        request(OPENDIR, 1).str("/none"),
        request(MKDIR, 1).str("/tmp/none").u32(0),
        request(RMDIR, 1).str("/none"),
        request(REMOVE, 1).str("/none"),
        request(RENAME, 1).str("/none/a").str("/tmp/w/b"),
        request(EXTENDED, 1).str("posix-rename@openssh.com").str("/none").str("/tmp/b"),
        request(EXTENDED, 1).str("hardlink@openssh.com").str("/none").str("/tmp/b"),
    };
    for (const Packet &p : requests)
        EXPECT_EQ(s.status_of(p), PERMISSION_DENIED) << p.b;
    EXPECT_FALSE(exists("/tmp/none"));
    // No slot for these at all: answered without the table.
    EXPECT_EQ(s.status_of(request(SETSTAT, 1).str("/none").u32(4).u32(0777)), OK);
    std::string r = s.call(request(REALPATH, 1).str("none"));
    Fields f{r};
    EXPECT_EQ(f.u8(), NAME);
}

TEST_F(HostContract, RealpathJoinsRelativePathsToTheStartDirectory)
{
    Session s(TQ_FAKE_PLUGIN);
    auto realpath = [&s](const std::string &path) {
        std::string r = s.call(request(REALPATH, s.next_id()).str(path));
        Fields f{r};
        if (f.u8() != NAME)
            return std::string("status");
        f.u32();
        EXPECT_EQ(f.u32(), 1u);
        std::string name = f.str();
        EXPECT_EQ(f.str(), name);
        EXPECT_EQ(f.u32(), 0u);
        return name;
    };
    EXPECT_EQ(realpath("x/y"), "/start/x/y");
    EXPECT_EQ(realpath(""), "/start/");
    EXPECT_EQ(realpath("/abs/./p"), "/abs/./p");
    EXPECT_EQ(realpath("/ENOMEM"), "status");
    EXPECT_EQ(status(s.call(request(REALPATH, 9).str("ENOMEM"))), FAILURE);
    EXPECT_EQ(calls().size(), 0u) << "REALPATH needs no table";
}

// End of input: the handles still open are closed through the tables of
// their open, and the host's close reports ECONNABORTED after closing.
TEST_F(HostContract, EndOfInputClosesEveryHandleAsFailed)
{
    Session s(TQ_FAKE_PLUGIN);
    std::string done = s.open("/tmp/w/f", F_READ);
    std::string a = s.open("/tmp/w/up", F_WRITE | F_CREAT);
    std::string b = s.open("/tmp/w/Bup", F_WRITE | F_CREAT);
    std::string d = s.opendir("/tmp/w/d");
    ASSERT_FALSE(a.empty() || b.empty() || d.empty());
    EXPECT_EQ(s.close(done), OK);
    calls();
    s.server().close_input();
    EXPECT_EQ(s.server().wait(), 0);
    EXPECT_EQ(calls(), (Lines{"A close -1 103", "B close -1 103"}));
}

TEST_F(HostContract, ProtocolViolationClosesEveryHandleAsFailed)
{
    Session s(TQ_FAKE_PLUGIN);
    ASSERT_FALSE(s.open("/tmp/w/up", F_WRITE | F_CREAT).empty());
    calls();
    s.server().send(Packet().u32(300 * 1024).raw("xxxx").b);
    EXPECT_EQ(s.server().wait(), 1);
    EXPECT_EQ(calls(), (Lines{"A close -1 103"}));
}

TEST_F(HostContract, VersionAndLimits)
{
    Session s(TQ_FAKE_PLUGIN);
    Fields v{s.version_reply};
    EXPECT_EQ(v.u8(), VERSION);
    EXPECT_EQ(v.u32(), 3u);
    std::vector<std::string> ext;
    while (!v.rest.empty()) {
        ext.push_back(v.str());
        EXPECT_EQ(v.str(), "1");
    }
    EXPECT_EQ(ext, (std::vector<std::string>{"posix-rename@openssh.com", "hardlink@openssh.com",
                                             "fsync@openssh.com", "limits@openssh.com"}));

    std::string r = s.call(request(EXTENDED, 5).str("limits@openssh.com"));
    Fields f{r};
    ASSERT_EQ(f.u8(), EXTENDED_REPLY);
    EXPECT_EQ(f.u32(), 5u);
    EXPECT_EQ(f.u64(), 256u * 1024);
    const uint64_t data = f.u64();
    EXPECT_EQ(data, 255u * 1024);
    EXPECT_EQ(f.u64(), data);
    EXPECT_EQ(f.u64(), 512u);

    // A read asks for more than the limit: it gets the limit.
    write_file("/tmp/w/big", std::string(300 * 1024, 'b'));
    std::string h = s.open("/tmp/w/big", F_READ);
    r = s.call(request(READ, 6).str(h).u64(0).u32(300 * 1024));
    Fields d{r};
    ASSERT_EQ(d.u8(), DATA);
    d.u32();
    EXPECT_EQ(d.str().size(), data);
    EXPECT_EQ(status(s.call(request(READ, 7).str(h).u64(300 * 1024).u32(10))), END);
    EXPECT_EQ(s.status_of(request(EXTENDED, 8).str("fsync@openssh.com").str(h)), OK);
    EXPECT_EQ(s.close(h), OK);
}

// The plug-in cannot be loaded, or is not a tqsftp plug-in: one line, exit 1.
TEST(HostLoading, FailsWithOneClearLine)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/nonexistent/libtqsftp.so", "cannot load the plug-in"},
        {TQ_DEVICE_LIB, "has no tqsftp_get_sftp_func_cb"},
    };
    for (const auto &[plugin, message] : cases) {
        std::string cmd = std::string(TQ_SERVER) + " -P " + plugin + " </dev/null 2>&1";
        FILE *f = popen(cmd.c_str(), "r");
        ASSERT_NE(f, nullptr);
        char buf[512] = {};
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        int st = pclose(f);
        std::string out(buf, n);
        EXPECT_NE(out.find(message), std::string::npos) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << out;
    }
}

// Run from the build tree, the server loads the build tree's plug-in.
TEST(HostLoading, DefaultsToTheBuildTreesPlugin)
{
    FILE *f = popen(TQ_SERVER " -h", "r");
    ASSERT_NE(f, nullptr);
    char buf[512] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    EXPECT_EQ(pclose(f), 0);
    EXPECT_NE(std::string(buf, n).find("(default: " TQ_PLUGIN ")"), std::string::npos) << buf;
}

}  // namespace
