// tqsftp-server with the real plug-in: attribute changes, free space, mkdir
// of an existing name, uploads handed over, open flags and the bounds a
// client cannot push the server past.
#include <gtest/gtest.h>

#include "sftp_pipe.h"

using namespace tqtest;

namespace {

enum : uint32_t { A_SIZE = 1, A_UIDGID = 2, A_PERM = 4, A_TIMES = 8, A_EXT = 0x80000000 };
constexpr uint32_t F_APPEND = 4, F_TRUNC = 0x10;

// Size, owner, mode and times by handle (opened with pflags) or by path;
// every field of the attributes is parsed, an extension pair included.
TEST(HostAttrs, ChangesAreMadeWhereTheClientMayWrite)
{
    const Packet size4 = Packet().u32(A_SIZE).u64(4), times = Packet().u32(A_TIMES).u32(1).u32(2);
    const char *f = "/usb/f", *help = "/nv/cfg/help";
    const struct {
        const char *path;
        uint32_t pflags;  // 0: SETSTAT by path, else FSETSTAT on a handle (~0: folder)
        Packet attrs;
        int64_t status;
        off_t size;  // -1: not checked
        mode_t mode;
        bool times;  // mtime set to 2
    } rows[] = {
        {f, F_WRITE, size4, OK, 4, 0644, false},
        {f, F_READ, size4, PERMISSION_DENIED, 12, 0644, false},
        {f, F_READ, Packet().u32(A_PERM | A_TIMES).u32(0600).u32(1).u32(2), OK, 12, 0600, true},
        {f, 0, size4, OK, 4, 0644, false},
        {f, 0, Packet().u32(A_SIZE | A_UIDGID | A_PERM | A_TIMES | A_EXT).u64(12).u32(0).u32(0)
                   .u32(0600).u32(1).u32(2).u32(1).str("x@y").str("z"), OK, 12, 0600, true},
        {f, 0, Packet().u32(A_PERM | A_EXT).u32(0600).u32(2).str("x@y").str("z"), BAD_MESSAGE,
         12, 0644, false},
        {f, 0, Packet().u32(A_UIDGID).u32(7).u32(7), PERMISSION_DENIED, 12, 0644, false},
        {"/usb/d", ~0u, times, OK, -1, 0755, true},
        {help, 0, Packet().u32(A_SIZE).u64(0), PERMISSION_DENIED, -1, 0440, false},
        {help, 0, times, PERMISSION_DENIED, -1, 0440, false},
        {"/usb/none", 0, size4, NO_SUCH_FILE, -1, 0, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.path) + " " + std::to_string(row.pflags) + " " + row.attrs.b);
        ASSERT_EQ(system("rm -rf /usb0/*; mkdir -m 755 /usb0/d; echo hello world >/usb0/f; "
                         "chmod 644 /usb0/f"), 0);
        Session s(TQ_PLUGIN);
        std::string h = row.pflags == ~0u ? s.opendir(row.path)
                        : row.pflags   ? s.open(row.path, row.pflags) : "";
        Packet p = row.pflags ? request(FSETSTAT, 1).str(h) : request(SETSTAT, 1).str(row.path);
        EXPECT_EQ(s.status_of(p.raw(row.attrs.b)), row.status);
        if (!h.empty()) {
            EXPECT_EQ(s.close(h), OK);
        }
        std::string path = row.path;
        struct stat st = {};
        stat((path[1] == 'u' ? "/usb0" + path.substr(4) : "/tmp/sftp" + path).c_str(), &st);
        if (row.size >= 0) {
            EXPECT_EQ(st.st_size, row.size);
        }
        EXPECT_EQ(st.st_mode & 0777, row.mode);
        EXPECT_EQ(st.st_mtime == 2, row.times);
    }
    // A size change by path goes through the plug-in, which logs it.
    EXPECT_EQ(system("grep -q 'Copy remote to /usb/f' /var/log/messages"), 0);
}

TEST(HostAttrs, StatvfsMkdirAndOpenFlags)
{
    write_file("/usb0/f", "hello");
    mkdir("/usb0/d", 0755);
    Session s(TQ_PLUGIN);
    // Free space of a listable folder (read-only where the client may not
    // write); refused paths are refused.
    auto statvfs = [](const char *path) {
        return request(EXTENDED, 1).str("statvfs@openssh.com").str(path);
    };
    const std::pair<Packet, int64_t> fs[] = {
        {statvfs("/usb/d"), 0}, {statvfs("/usb"), 1}, {statvfs("/etc"), PERMISSION_DENIED},
        {statvfs("/usb/none"), NO_SUCH_FILE},
        {request(EXTENDED, 1).str("fstatvfs@openssh.com").str(s.opendir("/usb")), 1}};
    for (const auto &[p, want] : fs) {
        Fields f{s.call(p)};
        uint8_t type = f.u8();
        f.u32();
        if (type == STATUS) {
            EXPECT_EQ(f.u32(), want) << p.b;
            continue;
        }
        ASSERT_EQ(type, EXTENDED_REPLY) << p.b;
        for (int i = 0; i < 9; i++)
            f.u64();
        EXPECT_EQ(f.u64() & 1, uint64_t(want)) << p.b;  // read-only
        EXPECT_EQ(f.u64(), 255u) << p.b;                 // longest name
    }

    // An existing name is "File exists" before any refusal.
    const std::pair<const char *, int64_t> dirs[] = {
        {"/usb", FAILURE}, {"/", FAILURE}, {"/nv/new", PERMISSION_DENIED}, {"/usb/new", OK}};
    for (auto [path, want] : dirs)
        EXPECT_EQ(s.status_of(request(MKDIR, 1).str(path).u32(0)), want) << path;

    // Open flags: exclusive create, append (at the end whatever the offset),
    // truncate, and writing through a read handle.
    const struct {
        uint32_t pflags;
        int64_t open, write;
        const char *content;
    } opens[] = {
        {F_WRITE | F_CREAT | F_EXCL, FAILURE, -1, "hello"},
        {F_WRITE | F_APPEND, OK, OK, "helloXY"},
        {F_WRITE | F_TRUNC, OK, OK, "XY"},
        {F_READ, OK, FAILURE, "hello"},
    };
    for (const auto &row : opens) {
        write_file("/usb0/f", "hello");
        uint32_t st = OK;
        std::string fh = s.open("/usb/f", row.pflags, &st);
        EXPECT_EQ(st, row.open) << row.pflags;
        if (!fh.empty()) {
            EXPECT_EQ(s.status_of(request(WRITE, 1).str(fh).u64(0).str("XY")), row.write);
            s.close(fh);
        }
        EXPECT_EQ(read_file("/usb0/f"), row.content) << row.pflags;
    }
}

// An upload the update service takes at its close still answers STAT and
// SETSTAT of its name in the session, until the name is used again.
TEST(HostAttrs, HandedOverUploadAnswersInTheSession)
{
    Session s(TQ_PLUGIN);
    std::string h = s.open("/upload/firmware/fw.bin", F_WRITE | F_CREAT);
    ASSERT_EQ(s.status_of(request(WRITE, 1).str(h).u64(0).str("image")), OK);
    ASSERT_EQ(s.close(h), OK);
    ASSERT_FALSE(exists("/tmp/sftp/upload/firmware/fw.bin"));
    Fields f{s.call(request(STAT, 1).str("/upload/firmware/fw.bin"))};
    ASSERT_EQ(f.u8(), ATTRS);
    f.u32();
    EXPECT_EQ(f.u32() & A_SIZE, A_SIZE);
    EXPECT_EQ(f.u64(), 5u);
    const std::pair<Packet, int64_t> rows[] = {
        {request(SETSTAT, 1).str("/upload/firmware/fw.bin").u32(A_TIMES).u32(1).u32(2), OK},
        {request(SETSTAT, 1).str("/upload/firmware/fw.bin").u32(A_SIZE).u64(5), OK},
        {request(SETSTAT, 1).str("/upload/firmware/fw.bin").u32(A_SIZE).u64(0), PERMISSION_DENIED},
        {request(REMOVE, 1).str("/upload/firmware/fw.bin"), NO_SUCH_FILE},
        {request(STAT, 1).str("/upload/firmware/fw.bin"), NO_SUCH_FILE},  // used again: gone
    };
    for (const auto &[p, want] : rows)
        EXPECT_EQ(s.status_of(p), want) << p.b;
    EXPECT_EQ(system("grep -c 'firmware fw.bin 5' /var/lib/tqupd/jobs | grep -qx 1"), 0);
}

// Paths too long for any file, replies within the limit, a handle's slot reused.
TEST(HostAttrs, BoundsTheClientCannotPass)
{
    Session s(TQ_PLUGIN);
    const std::string long_path = "/usb/" + std::string(5000, 'a');
    const std::string long_name = "/usb/" + std::string(300, 'a');
    const std::pair<Packet, int64_t> rows[] = {
        {request(STAT, 1).str(long_path), FAILURE},
        {request(REALPATH, 1).str(std::string(200 * 1024, 'a')), FAILURE},
        {request(OPENDIR, 1).str(long_path), FAILURE},
        {request(OPEN, 1).str(long_name).u32(F_WRITE | F_CREAT).u32(0), FAILURE},
    };
    for (const auto &[p, want] : rows) {
        Fields f{s.call(p)};
        ASSERT_EQ(f.u8(), STATUS);
        f.u32();
        EXPECT_EQ(f.u32(), want);
        EXPECT_EQ(f.str(), "File name too long");
    }

    // The listing of long names comes in replies within the packet limit.
    ASSERT_EQ(system("for i in $(seq 600); do : >/usb0/$i$(printf %0250d 0); done"), 0);
    std::string d = s.opendir("/usb");
    size_t names = 0;
    for (;;) {
        Fields r{s.call(request(READDIR, 1).str(d))};
        EXPECT_LE(r.b.size(), 256u * 1024);
        if (r.u8() != NAME)
            break;
        r.u32();
        names += r.u32();
    }
    EXPECT_EQ(names, 602u);  // with "." and ".."

    std::vector<std::string> handles{d};
    for (int i = 1; i < 512; i++)
        handles.push_back(s.opendir("/usb"));
    EXPECT_FALSE(handles.back().empty());
    EXPECT_EQ(s.close(handles[7]), OK);
    std::string again = s.opendir("/usb");  // in the slot freed
    EXPECT_FALSE(again.empty());
    EXPECT_EQ(s.close(handles[7]), FAILURE);  // closed: an invalid handle
    EXPECT_EQ(s.close(again), OK);
}

}  // namespace
