// Malformed input fed to tqsftp-server on a pipe: every case gets its status
// or a clean end of the session, never a crash, and leaves no descriptor
// open behind it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "sftp_pipe.h"

using namespace tqtest;

namespace {

constexpr uint32_t id = 7;
constexpr int64_t disconnect = -1;

// What a case has to work with: an open file "/usb/f" and the open folder
// "/usb".
struct Fixture {
    std::string file, folder;
};

struct Case {
    const char *name;
    std::function<std::string(const Fixture &)> bytes;
    int64_t expect;  // a status code, or disconnect
    // Must still hold afterwards (nothing created, nothing written).
    std::function<bool()> unchanged = [] { return true; };
};

std::string frame(const Packet &p)
{
    return p.frame();
}

// A frame whose length field says n, followed by what there is.
std::string frame_claiming(uint32_t n, const std::string &body)
{
    return Packet().u32(n).frame().substr(4) + body;
}

const Case cases[] = {
    {"oversized_packet",
     [](const Fixture &) {
         return frame_claiming(256 * 1024 + 1, request(STAT, id).str("/").b);
     },
     disconnect},
    {"empty_packet", [](const Fixture &) { return frame_claiming(0, ""); }, disconnect},
    {"request_without_id",
     [](const Fixture &) { return frame(Packet().u8(STAT).u8(0).u8(0)); }, disconnect},
    {"second_init", [](const Fixture &) { return frame(Packet().u8(INIT).u32(3)); },
     disconnect},
    {"unknown_type", [](const Fixture &) { return frame(request(99, id).str("/")); },
     OP_UNSUPPORTED},
    {"unknown_extension",
     [](const Fixture &) { return frame(request(EXTENDED, id).str("nothing@example.com")); },
     OP_UNSUPPORTED},
    {"symlink",
     [](const Fixture &) { return frame(request(SYMLINK, id).str("/usb/l").str("/usb/f")); },
     OP_UNSUPPORTED, [] { return !exists("/usb0/l"); }},
    {"readlink", [](const Fixture &) { return frame(request(READLINK, id).str("/usb/f")); },
     OP_UNSUPPORTED},
    {"string_past_end",
     [](const Fixture &) { return frame(request(STAT, id).u32(1000).raw("/usb")); },
     BAD_MESSAGE},
    {"length_field_cut",
     [](const Fixture &) { return frame(request(STAT, id).u8(0).u8(0)); }, BAD_MESSAGE},
    {"open_without_flags",
     [](const Fixture &) { return frame(request(OPEN, id).str("/usb/new")); }, BAD_MESSAGE,
     [] { return !exists("/usb0/new"); }},
    {"open_attrs_cut",
     [](const Fixture &) {
         // The attributes promise a size and a mode that are not there.
         return frame(request(OPEN, id).str("/usb/new").u32(F_WRITE | F_CREAT).u32(5));
     },
     BAD_MESSAGE, [] { return !exists("/usb0/new"); }},
    {"read_without_length",
     [](const Fixture &f) { return frame(request(READ, id).str(f.file).u64(0)); },
     BAD_MESSAGE},
    {"write_data_past_end",
     [](const Fixture &f) {
         return frame(request(WRITE, id).str(f.file).u64(0).u32(100).raw("XXXXXXXXXX"));
     },
     BAD_MESSAGE, [] { return read_file("/usb0/f") == "0123456789"; }},
    {"nul_in_stat_path",
     [](const Fixture &) { return frame(request(STAT, id).str(std::string("/usb\0/f", 7))); },
     BAD_MESSAGE},
    {"nul_in_mkdir_path",
     [](const Fixture &) {
         return frame(request(MKDIR, id).str(std::string("/usb/a\0b", 8)).u32(0));
     },
     BAD_MESSAGE, [] { return !exists("/usb0/a"); }},
    {"nul_in_open_path",
     [](const Fixture &) {
         return frame(request(OPEN, id).str(std::string("/usb/g\0x", 8)).u32(F_WRITE | F_CREAT).u32(0));
     },
     BAD_MESSAGE, [] { return !exists("/usb0/g"); }},
    {"nul_in_rename_target",
     [](const Fixture &) {
         return frame(request(RENAME, id).str("/usb/f").str(std::string("/usb/h\0", 7)));
     },
     BAD_MESSAGE, [] { return exists("/usb0/f") && !exists("/usb0/h"); }},
    {"extended_without_name", [](const Fixture &) { return frame(request(EXTENDED, id)); },
     BAD_MESSAGE},
    {"handle_too_short",
     [](const Fixture &) { return frame(request(READ, id).str("abc").u64(0).u32(10)); },
     FAILURE},
    {"handle_of_no_slot",
     [](const Fixture &) {
         return frame(request(READ, id).str(std::string(8, '\xff')).u64(0).u32(10));
     },
     FAILURE},
    {"handle_of_other_generation",
     [](const Fixture &f) {
         std::string stale = f.file;
         stale[7] = static_cast<char>(stale[7] + 1);
         return frame(request(CLOSE, id).str(stale));
     },
     FAILURE},
    {"folder_handle_read",
     [](const Fixture &f) { return frame(request(READ, id).str(f.folder).u64(0).u32(10)); },
     FAILURE},
    {"file_handle_readdir",
     [](const Fixture &f) { return frame(request(READDIR, id).str(f.file)); }, FAILURE},
    {"folder_handle_write",
     [](const Fixture &f) { return frame(request(WRITE, id).str(f.folder).u64(0).str("x")); },
     FAILURE},
    {"fsync_of_folder",
     [](const Fixture &f) {
         return frame(request(EXTENDED, id).str("fsync@openssh.com").str(f.folder));
     },
     FAILURE},
    {"packet_of_256_kib",
     [](const Fixture &f) {
         // The longest packet accepted: its length field is exactly 256 KiB.
         Packet p = request(WRITE, id).str(f.file).u64(0);
         p.u32(0);
         size_t data = 256 * 1024 - p.b.size();
         p.b.resize(p.b.size() - 4);
         return frame(p.str(std::string(data, 'z')));
     },
     OK,
     [] {
         struct stat st;
         return stat("/usb0/f", &st) == 0 &&
                st.st_size == 256 * 1024 - (1 + 4 + 4 + 8 + 8 + 4);
     }},
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
    int idle = s.server().open_fds();
    Fixture fx{s.open("/usb/f", F_READ | F_WRITE), s.opendir("/usb")};
    ASSERT_FALSE(fx.file.empty());
    ASSERT_FALSE(fx.folder.empty());
    int busy = s.server().open_fds();
    ASSERT_EQ(busy, idle + 2);

    s.server().send(c.bytes(fx));
    std::optional<std::string> r = s.server().receive();
    if (c.expect == disconnect) {
        EXPECT_FALSE(r.has_value()) << "the server answered instead of ending";
        EXPECT_EQ(s.server().wait(), 1);
        EXPECT_TRUE(c.unchanged());
        return;
    }
    ASSERT_TRUE(r.has_value()) << "the server ended the session";
    Fields f{*r};
    ASSERT_EQ(f.u8(), STATUS);
    EXPECT_EQ(f.u32(), id);
    EXPECT_EQ(f.u32(), c.expect);
    EXPECT_TRUE(c.unchanged());

    // Still serving, and holding exactly what it held before.
    std::string attrs = s.call(request(STAT, 8).str("/usb/f"));
    ASSERT_FALSE(attrs.empty());
    EXPECT_EQ(static_cast<uint8_t>(attrs[0]), ATTRS);
    EXPECT_EQ(s.server().open_fds(), busy);
    s.close(fx.file);
    s.close(fx.folder);
    EXPECT_EQ(s.server().open_fds(), idle);
    s.server().close_input();
    EXPECT_EQ(s.server().wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Host, HostMalformed, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &i) { return i.param.name; });

TEST(HostMalformedSession, RequestBeforeInitEndsIt)
{
    ServerProcess p(TQ_PLUGIN);
    p.send(request(STAT, 1).str("/"));
    EXPECT_FALSE(p.receive().has_value());
    EXPECT_EQ(p.wait(), 1);
}

TEST(HostMalformedSession, PacketCutByEndOfInputEndsCleanly)
{
    Session s(TQ_PLUGIN);
    s.server().send(frame_claiming(100, request(STAT, 1).str("/usb").b));
    s.server().close_input();
    EXPECT_FALSE(s.server().receive().has_value());
    EXPECT_EQ(s.server().wait(), 0);
}

// 512 handles at most: the 513th open is refused before the plug-in is
// asked, so nothing is created; closing them all gives every descriptor back.
TEST(HostMalformedSession, HandlesBeyond512AreRefused)
{
    Session s(TQ_PLUGIN);
    int idle = s.server().open_fds();
    std::vector<std::string> handles;
    for (int i = 0; i < 512; i++) {
        std::string h = i % 2 ? s.opendir("/usb") : s.open("/usb", F_READ);
        ASSERT_FALSE(h.empty()) << "handle " << i;
        handles.push_back(h);
    }
    EXPECT_EQ(s.server().open_fds(), idle + 512);

    uint32_t st = 0;
    EXPECT_TRUE(s.open("/usb/new", F_WRITE | F_CREAT, &st).empty());
    EXPECT_EQ(st, FAILURE);
    EXPECT_FALSE(exists("/usb0/new"));
    EXPECT_TRUE(s.opendir("/usb", &st).empty());
    EXPECT_EQ(st, FAILURE);
    EXPECT_EQ(s.server().open_fds(), idle + 512);

    // One closed, one more may be opened.
    EXPECT_EQ(s.close(handles.back()), OK);
    handles.back() = s.open("/usb/new", F_WRITE | F_CREAT);
    EXPECT_FALSE(handles.back().empty());
    for (const std::string &h : handles)
        EXPECT_EQ(s.close(h), OK);
    EXPECT_EQ(s.server().open_fds(), idle);
}

}  // namespace
