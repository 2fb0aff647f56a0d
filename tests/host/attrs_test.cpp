// tqsftp-server with the real plug-in: attribute changes, free space, mkdir
// of an existing name, uploads handed over, open flags and the bounds a
// client cannot push the server past.
#include <gtest/gtest.h>

#include "sftp_pipe.h"

using namespace tqtest;

namespace {

enum : uint32_t { A_SIZE = 1, A_UIDGID = 2, A_PERM = 4, A_TIMES = 8, A_EXT = 0x80000000 };
constexpr uint32_t F_APPEND = 4, F_TRUNC = 0x10;

struct stat real(const char *path)
{
    struct stat st = {};
    stat(path, &st);
    return st;
}

// Size, owner, mode and times by handle (opened with pflags) or by path;
// every field of the attributes is parsed, an extension pair included.
TEST(HostAttrs, ChangesAreMadeWhereTheClientMayWrite)
{
    const struct {
        const char *name, *path, *real;
        uint32_t pflags;  // 0: SETSTAT by path, else FSETSTAT on a handle
        Packet attrs;
        int64_t status;
        off_t size;
        mode_t mode;
        time_t mtime;  // 0: not 2
    } rows[] = {
        {"size_write_handle", "/usb/f", "/usb0/f", F_WRITE, Packet().u32(A_SIZE).u64(4), OK, 4, 0644, 0},
        {"size_read_handle", "/usb/f", "/usb0/f", F_READ, Packet().u32(A_SIZE).u64(4), PERMISSION_DENIED, 12, 0644, 0},
        {"mode_times_read_handle", "/usb/f", "/usb0/f", F_READ,
         Packet().u32(A_PERM | A_TIMES).u32(0600).u32(1).u32(2), OK, 12, 0600, 2},
        {"size_path", "/usb/f", "/usb0/f", 0, Packet().u32(A_SIZE).u64(4), OK, 4, 0644, 0},
        {"all_fields_path", "/usb/f", "/usb0/f", 0,
         Packet().u32(A_SIZE | A_UIDGID | A_PERM | A_TIMES | A_EXT).u64(12).u32(0).u32(0)
             .u32(0600).u32(1).u32(2).u32(1).str("x@y").str("z"), OK, 12, 0600, 2},
        {"other_owner", "/usb/f", "/usb0/f", 0, Packet().u32(A_UIDGID).u32(7).u32(7), PERMISSION_DENIED, 12, 0644, 0},
        {"folder_handle_times", "/usb/d", "/usb0/d", ~0u, Packet().u32(A_TIMES).u32(1).u32(2), OK, -1, 0755, 2},
        {"size_read_only_area", "/nv/cfg/help", "/tmp/sftp/nv/cfg/help", 0, Packet().u32(A_SIZE).u64(0),
         PERMISSION_DENIED, -1, 0440, 0},
        {"times_read_only_area", "/nv/cfg/help", "/tmp/sftp/nv/cfg/help", 0,
         Packet().u32(A_TIMES).u32(1).u32(2), PERMISSION_DENIED, -1, 0440, 0},
        {"size_missing", "/usb/none", "/usb0/none", 0, Packet().u32(A_SIZE).u64(0), NO_SUCH_FILE, -1, 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
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
        struct stat st = real(row.real);
        if (row.size >= 0) {
            EXPECT_EQ(st.st_size, row.size);
        }
        EXPECT_EQ(st.st_mode & 0777, row.mode);
        EXPECT_EQ(st.st_mtime == 2, row.mtime == 2);
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
    const std::pair<const char *, int64_t> fs[] = {
        {"/usb/d", 0}, {"/usb", 1}, {"/etc", PERMISSION_DENIED}, {"/usb/none", NO_SUCH_FILE}};
    for (auto [path, want] : fs) {
        Fields f{s.call(request(EXTENDED, 1).str("statvfs@openssh.com").str(path))};
        uint8_t type = f.u8();
        f.u32();
        if (type == STATUS) {
            EXPECT_EQ(f.u32(), want) << path;
            continue;
        }
        ASSERT_EQ(type, EXTENDED_REPLY) << path;
        EXPECT_GT(f.u64(), 0u) << path;  // block size
        for (int i = 0; i < 8; i++)
            f.u64();
        EXPECT_EQ(f.u64() & 1, uint64_t(want)) << path;
        EXPECT_EQ(f.u64(), 255u) << path;
    }
    std::string h = s.opendir("/usb");
    Fields f{s.call(request(EXTENDED, 1).str("fstatvfs@openssh.com").str(h))};
    EXPECT_EQ(f.u8(), EXTENDED_REPLY);

    // An existing name is "File exists" before any refusal.
    const std::pair<const char *, int64_t> dirs[] = {
        {"/usb", FAILURE}, {"/", FAILURE}, {"/nv/new", PERMISSION_DENIED}, {"/usb/new", OK}};
    for (auto [path, want] : dirs)
        EXPECT_EQ(s.status_of(request(MKDIR, 1).str(path).u32(0)), want) << path;
    EXPECT_FALSE(exists("/tmp/sftp/nv/new"));

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
        {request(REMOVE, 1).str("/upload/firmware/fw.bin"), -2},  // whatever the plug-in says
        {request(STAT, 1).str("/upload/firmware/fw.bin"), NO_SUCH_FILE},
        {request(STAT, 1).str("/upload/firmware/other"), NO_SUCH_FILE},
    };
    for (const auto &[p, want] : rows) {
        int64_t got = s.status_of(p);
        if (want != -2) {
            EXPECT_EQ(got, want) << p.b;
        }
    }
    EXPECT_EQ(system("grep -c 'firmware fw.bin 5' /var/lib/tqupd/jobs | grep -qx 1"), 0);
}

// Paths too long for any file, and more handles than announced.
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
    ASSERT_EQ(system("for i in $(seq 300); do : >/usb0/$i$(printf %0250d 0); done"), 0);
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
    EXPECT_EQ(names, 302u);  // with "." and ".."

    std::vector<std::string> handles{d};
    for (int i = 1; i < 512; i++)
        handles.push_back(s.opendir("/usb"));
    EXPECT_FALSE(handles.back().empty());
    uint32_t st = OK;
    EXPECT_TRUE(s.opendir("/usb", &st).empty());
    EXPECT_EQ(st, FAILURE);
    EXPECT_EQ(s.close(handles[7]), OK);
    EXPECT_EQ(s.close(handles[7]), FAILURE);  // closed: an invalid handle
    EXPECT_FALSE(s.opendir("/usb").empty());
}

}  // namespace
