// The host's side of the plug-in interface, seen through a recording
// plug-in (fake_plugin.cpp): which tables the host asks for, which slots it
// calls with which paths, and how it closes what the client left open.
#include <gtest/gtest.h>

#include <vector>

#include "sftp_pipe.h"

using namespace tqtest;

namespace {

using Lines = std::vector<std::string>;

class HostContract : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(system("mkdir -p /tmp/w/d /tmp/w/Bd && echo hello > /tmp/w/f && "
                         "touch /tmp/w/d/a1 /tmp/w/d/B2 /tmp/w/Bd/x"),
                  0);
    }
    // The lines the plug-in recorded since the last call.
    Lines calls()
    {
        std::istringstream in(read_file("/tmp/fake-plugin.log").value_or(""));
        Lines lines;
        std::string line;
        for (size_t n = 0; std::getline(in, line); n++) {
            if (n >= seen_)
                lines.push_back(line);
        }
        seen_ += lines.size();
        return lines;
    }
    // Whether the calls since the last look include every one of want.
    bool called(Lines want)
    {
        Lines got = calls();
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        return std::includes(got.begin(), got.end(), want.begin(), want.end());
    }
    size_t seen_ = 0;
};

TEST_F(HostContract, EveryPathGoesThroughItsOwnTable)
{
    Session s(TQ_FAKE_PLUGIN);
    calls();
    // REALPATH is lexical: relative paths are taken from the plug-in's start
    // directory, and no table is asked.
    const std::pair<const char *, const char *> paths[] = {
        {"x/y", "/start/x/y"}, {"", "/start/"}, {"/a/./p", "/a/./p"}};
    for (auto [path, want] : paths) {
        Fields f{s.call(request(REALPATH, 1).str(path))};
        ASSERT_EQ(f.u8(), NAME) << path;
        f.u32();
        EXPECT_EQ(f.u32(), 1u);
        EXPECT_EQ(f.str(), want);
        EXPECT_EQ(f.str(), want);
        EXPECT_EQ(f.attrs(), 0u);
    }
    EXPECT_EQ(s.status_of(request(REALPATH, 1).str("ENOMEM")), FAILURE);
    EXPECT_EQ(calls(), Lines{});

    // RENAME asks the new name's table whether it exists, then renames
    // through the old name's table; posix-rename only renames.
    const std::pair<Packet, Lines> rows[] = {
        {request(STAT, 1).str("/tmp/w/f"), {"entry /tmp/w/f", "A stat /tmp/w/f 0"}},
        {request(STAT, 1).str("/tmp/w/f"), {"entry /tmp/w/f", "A stat /tmp/w/f 0"}},
        {request(RENAME, 1).str("/tmp/w/f").str("/tmp/w/Bg"),
         {"entry /tmp/w/Bg", "B stat /tmp/w/Bg 2", "entry /tmp/w/f",
          "A rename /tmp/w/f /tmp/w/Bg 0"}},
        {request(EXTENDED, 1).str(posix_rename).str("/tmp/w/Bg").str("/tmp/w/d/a1"),
         {"entry /tmp/w/Bg", "B rename /tmp/w/Bg /tmp/w/d/a1 0"}},
        {request(EXTENDED, 1).str(hardlink).str("/tmp/w/d/a1").str("/tmp/w/h"),
         {"entry /tmp/w/d/a1", "A link /tmp/w/d/a1 /tmp/w/h 0"}},
    };
    for (const auto &[request, want] : rows) {
        EXPECT_FALSE(s.call(request).empty());
        EXPECT_EQ(calls(), want);
    }
    EXPECT_EQ(read_file("/tmp/w/h"), "hello\n");

    // A listing goes through the folder table's readdir (B adds "extra"),
    // and each name's attributes through the stat of that name's own table.
    std::string a = s.list("/tmp/w/d");
    EXPECT_NE(a.find("a1\t-rw-r--r--"), std::string::npos) << a;
    EXPECT_NE(a.find("B2\t-rw-r--r--"), std::string::npos) << a;
    EXPECT_EQ(a.find("extra"), std::string::npos) << a;
    EXPECT_TRUE(called({"A opendir /tmp/w/d 0", "A stat /tmp/w/d/a1 0", "B stat /tmp/w/d/B2 0"}));
    // A name whose stat says it does not exist is left out.
    std::string b = s.list("/tmp/w/Bd");
    EXPECT_NE(b.find("x\t-rw-r--r--"), std::string::npos) << b;
    EXPECT_EQ(b.find("extra"), std::string::npos) << b;
    EXPECT_TRUE(called({"B stat /tmp/w/Bd/extra 2"}));
}

// A file handle keeps the table of its open.  When the client goes away (end
// of input, or a violation of the protocol) every handle still open is
// closed through its own table, and the host's close reports ECONNABORTED
// (103) after closing.
TEST_F(HostContract, HandlesKeepTheirTableAndAreClosedAsFailedAtTheEnd)
{
    for (bool violation : {false, true}) {
        Session s(TQ_FAKE_PLUGIN);
        std::string h = s.open("/tmp/w/f", F_READ | F_WRITE);
        ASSERT_FALSE(s.open("/tmp/w/up", F_WRITE | F_CREAT).empty());
        ASSERT_FALSE(s.open("/tmp/w/Bup", F_WRITE | F_CREAT).empty());
        ASSERT_FALSE(s.opendir("/tmp/w/d").empty());
        write_file("/tmp/fake-b", "");  // from now on every path gets table B
        calls();
        EXPECT_EQ(s.status_of(request(WRITE, 1).str(h).u64(0).str("HE")), OK);
        Fields f{s.call(request(READ, 2).str(h).u64(0).u32(100))};
        ASSERT_EQ(f.u8(), DATA);
        f.u32();
        EXPECT_EQ(f.str(), "HEllo\n");
        EXPECT_EQ(s.close(h), OK);
        EXPECT_EQ(calls(), (Lines{"A write", "A read", "A close 0 0", "A stat /tmp/w/f 0"}));
        EXPECT_EQ(s.status_of(request(REMOVE, 3).str("/tmp/w/f")), OK);
        EXPECT_EQ(calls(), (Lines{"entry /tmp/w/f", "B unlink /tmp/w/f 0"}));

        if (violation)
            s.send(Packet().u32(300 * 1024).b);
        else
            s.close_input();
        EXPECT_EQ(s.wait(), violation ? 1 : 0);
        EXPECT_EQ(calls(), (Lines{"A close -1 103", "B close -1 103"}));
        unlink("/tmp/fake-b");
        write_file("/tmp/w/f", "hello\n");
    }
}

}  // namespace
