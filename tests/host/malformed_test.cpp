// Malformed input fed to tqsftp-server on a pipe: every case gets its status
// or a clean end of the session, never a crash, changes nothing on the
// stick, and leaves no descriptor open behind it.
#include <gtest/gtest.h>

#include "sftp_pipe.h"

using namespace tqtest;

namespace {

constexpr uint32_t id = 7;
constexpr int64_t disconnect = -1;

// Stand-ins, as long as a handle, for the handles of the open file "/usb/f"
// and of the open folder "/usb", and for the file's handle with another
// generation; the test puts the real ones in their place.
const std::string file = "<file>..", folder = "<folder>", stale = "<stale>.";

struct Case {
    const char *name;
    Packet request;
    int64_t expect;  // a status code (FAILURE: "Invalid handle"), or disconnect
};

// A frame whose length field says n, followed by what there is.
Packet claiming(uint32_t n, Packet body)
{
    body.length = n;
    return body;
}

const Case cases[] = {
    {"oversized_packet", claiming(256 * 1024 + 1, request(STAT, id).str("/")), disconnect},
    {"empty_packet", claiming(0, {}), disconnect},
    {"request_without_id", Packet().u8(STAT).u8(0).u8(0), disconnect},
    {"second_init", Packet().u8(INIT).u32(3), disconnect},
    {"unknown_type", request(99, id).str("/"), OP_UNSUPPORTED},
    {"unknown_extension", request(EXTENDED, id).str("nothing@example.com"), OP_UNSUPPORTED},
    {"symlink", request(SYMLINK, id).str("/usb/l").str("/usb/f"), OP_UNSUPPORTED},
    {"readlink", request(READLINK, id).str("/usb/f"), OP_UNSUPPORTED},
    {"string_past_end", request(STAT, id).u32(1000).raw("/usb"), BAD_MESSAGE},
    {"length_field_cut", request(STAT, id).u8(0).u8(0), BAD_MESSAGE},
    {"extended_without_name", request(EXTENDED, id), BAD_MESSAGE},
    // The attributes promise a size and a mode that are not there.
    {"open_attrs_cut", request(OPEN, id).str("/usb/n").u32(F_WRITE | F_CREAT).u32(5), BAD_MESSAGE},
    {"write_data_past_end", request(WRITE, id).str(file).u64(0).u32(100).raw("XX"), BAD_MESSAGE},
    {"nul_in_stat_path", request(STAT, id).str({"/usb\0/f", 7}), BAD_MESSAGE},
    {"nul_in_mkdir_path", request(MKDIR, id).str({"/usb/a\0b", 8}).u32(0), BAD_MESSAGE},
    {"nul_in_open_path", request(OPEN, id).str({"/usb/g\0x", 8}).u32(F_WRITE | F_CREAT).u32(0),
     BAD_MESSAGE},
    {"nul_in_rename_target", request(RENAME, id).str("/usb/f").str({"/usb/h\0", 7}), BAD_MESSAGE},
    {"handle_too_short", request(READ, id).str("abc").u64(0).u32(10), FAILURE},
    {"handle_of_no_slot", request(READ, id).str(std::string(8, '\xff')).u64(0).u32(10), FAILURE},
    {"handle_of_other_generation", request(CLOSE, id).str(stale), FAILURE},
    {"folder_handle_read", request(READ, id).str(folder).u64(0).u32(10), FAILURE},
    {"folder_handle_write", request(WRITE, id).str(folder).u64(0).str("x"), FAILURE},
    {"file_handle_readdir", request(READDIR, id).str(file), FAILURE},
    {"fsync_of_folder", request(EXTENDED, id).str("fsync@openssh.com").str(folder), FAILURE},
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

class HostMalformed : public testing::TestWithParam<Case> {};

TEST_P(HostMalformed, AnsweredOrCleanlyEnded)
{
    const Case &c = GetParam();
    write_file("/usb0/f", "0123456789");
    Session s(TQ_PLUGIN);
    s.call(request(OPENDIR, 1).str("/etc"));  // refused and logged: the log stays open from now on
    int idle = s.open_fds();
    const std::string h = s.open("/usb/f", F_READ | F_WRITE), dir = s.opendir("/usb");
    ASSERT_EQ(s.open_fds(), idle + 2);
    ASSERT_EQ(h.size() + dir.size(), 16u);  // 8 bytes each, as the stand-ins
    std::string bytes = c.request.frame();
    for (const auto &[from, to] : {std::pair(file, h), std::pair(folder, dir),
                                   std::pair(stale, h.substr(0, 7) + char(h[7] + 1))}) {
        if (size_t at = bytes.find(from); at != std::string::npos)
            bytes.replace(at, 8, to);
    }
    s.send(bytes);
    std::optional<std::string> r = s.receive();
    if (c.expect == disconnect) {
        EXPECT_FALSE(r.has_value()) << "the server answered instead of ending";
        EXPECT_EQ(s.wait(), 1);
    } else {
        ASSERT_TRUE(r.has_value()) << "the server ended the session";
        Fields f{*r};
        ASSERT_EQ(f.u8(), STATUS);
        EXPECT_EQ(f.u32(), id);
        EXPECT_EQ(f.u32(), c.expect);
        if (c.expect == FAILURE) {
            EXPECT_EQ(f.str(), "Invalid handle");
        }
        // Still serving, and holding exactly what it held before.
        EXPECT_EQ(s.call(request(STAT, 8).str("/usb/f")).substr(0, 1), std::string(1, ATTRS));
        EXPECT_EQ(s.open_fds(), idle + 2);
        s.close(h);
        s.close(dir);
        EXPECT_EQ(s.open_fds(), idle);
        s.close_input();
        EXPECT_EQ(s.wait(), 0);
    }
    EXPECT_EQ(system("test \"$(ls /usb0)\" = f"), 0) << "something was created";
    EXPECT_EQ(read_file("/usb0/f"), "0123456789");
}

INSTANTIATE_TEST_SUITE_P(Host, HostMalformed, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &i) { return i.param.name; });

// Without INIT first the session ends; a packet cut by the end of input
// ends it cleanly.
TEST(HostMalformedSession, NoInitOrPacketCutByEndOfInput)
{
    Session before(TQ_PLUGIN, false);
    before.send(request(STAT, 1).str("/"));
    EXPECT_FALSE(before.receive().has_value());
    EXPECT_EQ(before.wait(), 1);

    Session cut(TQ_PLUGIN);
    cut.send(claiming(100, request(STAT, 1).str("/usb")));
    cut.close_input();
    EXPECT_FALSE(cut.receive().has_value());
    EXPECT_EQ(cut.wait(), 0);
}

// 512 handles at most: the 513th open is refused before the plug-in is
// asked, so nothing is created; closing them all gives every descriptor back.
TEST(HostMalformedSession, HandlesBeyond512AreRefused)
{
    Session s(TQ_PLUGIN);
    s.call(request(OPENDIR, 1).str("/etc"));  // refused and logged: the log stays open from now on
    int idle = s.open_fds();
    std::vector<std::string> handles;
    for (int i = 0; i < 512; i++) {
        handles.push_back(i % 2 ? s.opendir("/usb") : s.open("/usb", F_READ));
        ASSERT_FALSE(handles.back().empty()) << "handle " << i;
    }
    uint32_t st = 0;
    EXPECT_TRUE(s.open("/usb/new", F_WRITE | F_CREAT, &st).empty());
    EXPECT_EQ(st, FAILURE);
    EXPECT_FALSE(exists("/usb0/new"));
    EXPECT_TRUE(s.opendir("/usb", &st).empty());
    EXPECT_EQ(st, FAILURE);
    EXPECT_EQ(s.open_fds(), idle + 512);

    // One closed, one more may be opened.
    EXPECT_EQ(s.close(handles.back()), OK);
    handles.back() = s.open("/usb/new", F_WRITE | F_CREAT);
    EXPECT_FALSE(handles.back().empty());
    for (const std::string &h : handles)
        EXPECT_EQ(s.close(h), OK);
    EXPECT_EQ(s.open_fds(), idle);
}

}  // namespace
