// tqsftp-server with the real plug-in and the device's services, on two
// pipes, with SFTP packets written byte by byte, independently of the server's
// own encoder: open flags, the longest packet, a file beyond 4 GiB, status
// codes, attribute changes, uploads handed over or left open, listings,
// malformed input, handles and a forced password change.
#include <gtest/gtest.h>

#include "sftp_session.h"

using namespace sftp_test;

namespace {

// A reply's fields begin after its type and request id; a DATA reply's data
// after its length too.
constexpr size_t reply_fields = 1 + 4, data_header = 1 + 4 + 4;
// What limits@openssh.com announces: the longest packet, read and write.
constexpr uint32_t max_packet = 256 * 1024, max_data = 255 * 1024;

// Each client flag reaches the open ("XY" is then written at offset 0); the
// longest packet is taken and a read gives at most 255 KiB; a sparse file
// beyond 4 GiB on the stick is stat'ed and read above 4 GiB whole, also where
// off_t, size_t and long are 32 bits wide; a short write is written whole.
TEST(HostSession, OpenFlagsTheLongestPacketAndAFileBeyond4GiB)
{
    const struct { uint32_t pflags, status; const char *after; } rows[] = {
        {F_WRITE, OK, "XY23"}, {F_WRITE | F_APPEND, OK, "0123XY"}, {F_WRITE | F_TRUNC, OK, "XY"},
        {F_WRITE | F_CREAT | F_EXCL, FAILURE, "0123"}, {F_READ, FAILURE, "0123"},
    };
    constexpr uint64_t file_size = 5ull << 30, marker_at = (4ull << 30) + 12345;
    int fd = open64("/usb0/big", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_TRUE(fd >= 0 && pwrite64(fd, "marker", 6, marker_at) == 6 &&
                ftruncate64(fd, file_size) == 0 && ::close(fd) == 0);
    Session s(TQ_PLUGIN);
    for (const auto &r : rows) {
        write_file("/usb0/f", "0123");
        uint32_t st = OK;
        std::string h = s.open("/usb/f", r.pflags, &st);
        if (!h.empty())
            st = uint32_t(s.status_of(request(WRITE, 1).str(h).u64(0).str("XY")));
        EXPECT_EQ(st, r.status) << r.pflags;
        s.close(h);
        EXPECT_EQ(read_file("/usb0/f"), r.after) << r.pflags;
    }
    std::string h = s.open("/usb/f", F_READ | F_WRITE);
    Packet p = request(WRITE, 6).str(h).u64(0);
    const size_t fill = max_packet - p.b.size() - 4;  // the data's length field: 4
    EXPECT_EQ(s.status_of(p.str(std::string(fill, 'z'))), OK);
    EXPECT_EQ(s.call(request(READ, 7).str(h).u64(0).u32(2 * max_data)).size(),
              data_header + max_data);
    Fields st{s.call(request(STAT, 2).str("/usb/big")), reply_fields};
    EXPECT_EQ(size_of(st), file_size);
    h = s.open("/usb/big", F_READ);
    Fields data{s.call(request(READ, 3).str(h).u64(marker_at).u32(6)), reply_fields};
    EXPECT_EQ(data.str(), "marker");
    Session start(TQ_START_PLUGIN);  // its write takes at most 1000 bytes a call below /short
    ASSERT_EQ(system("mkdir /short"), 0);
    h = start.open("/short/f", F_WRITE | F_CREAT);
    EXPECT_EQ(start.status_of(request(WRITE, 1).str(h).u64(0).str(std::string(5000, 'w'))), OK);
    EXPECT_EQ(read_file("/short/f"), std::string(5000, 'w'));
}

// Pipelined READs of the longest length at offsets off every page boundary
// answer the whole length, byte for byte, through a pipe and a socket alike:
// a short reply in the middle of a file makes OpenSSH's scp cut the file.
TEST(HostSession, ReadsAnswerTheWholeLengthAtAnyOffset)
{
    constexpr uint32_t len = max_data, count = 24;
    std::string data(count * len + 5000, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = char(i * 2654435761u >> 13);
    write_file("/usb0/big.bin", data);
    for (Output o : {Output::pipe, Output::socket}) {
        Session s(TQ_PLUGIN, true, o);
        std::string h = s.open("/usb/big.bin", F_READ);
        for (uint32_t i = 0; i < count; i++)
            ASSERT_TRUE(s.send(request(READ, i).str(h).u64(1000 + uint64_t(i) * len).u32(len)));
        for (uint32_t i = 0; i < count; i++) {
            Fields f{s.receive().value_or("")};
            ASSERT_EQ(f.u8(), DATA) << "reply " << i;
            f.u32();
            EXPECT_EQ(f.str(), data.substr(1000 + size_t(i) * len, len)) << "reply " << i;
        }
    }
}

// Status codes and the C library's text for errno, an existing name before
// any refusal, a new folder's whole mode, overlong paths; the session goes on.
TEST(HostSession, ErrnoBecomesTheStatus)
{
    write_file("/usb0/f", "data");
    Session s(TQ_PLUGIN);
    const Packet vfs = request(EXTENDED, 1).str("statvfs@openssh.com");
    const struct { Packet request; const char *reply; } rows[] = {
        {request(STAT, 1).str("/usb/missing"), "2 No such file or directory"},
        {request(STAT, 1).str("/etc/passwd"), "3 Permission denied"},
        {request(OPEN, 1).str("/nv/cfg/help").u32(F_WRITE).u32(0), "3 Operation not permitted"},
        {request(MKDIR, 1).str("/").u32(0), "4 File exists"},
        {request(MKDIR, 1).str("/nv/new").u32(0), "3 Permission denied"},
        {request(MKDIR, 1).str("/usb/d").u32(A_PERM).u32(01755), "0 Success"},
        {request(OPEN, 1).str("/usb/s").u32(F_WRITE | F_CREAT).u32(A_PERM).u32(02755),
         "-1 type 102"},
        {request(RENAME, 1).str("/usb/f").str("/usb/f"), "4 File exists"},
        {request(REALPATH, 1).str("/" + std::string(PATH_MAX - 1, 'a')), "4 File name too long"},
        {request(REALPATH, 1).str("/" + std::string(PATH_MAX - 2, 'a')), "-1 type 104"},
        {request(OPEN, 1).str("/usb/" + std::string(300, 'a')).u32(F_WRITE | F_CREAT).u32(0),
         "4 File name too long"},
        {Packet(vfs).str("/etc"), "3 Permission denied"},
        {Packet(vfs).str("/usb/none"), "2 No such file or directory"},
        {request(EXTENDED, 1).str(posix_rename).str("/usb/f").str("/usb/g"), "0 Success"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(s.status_line(row.request), row.reply) << row.request.b;
    EXPECT_EQ(system("test -k /usb0/d && test -g /usb0/s"), 0);  // the modes' special bits
    write_file("/usb0/d/x", "");  // a folder is looked up anew at each request
    EXPECT_EQ(s.status_of(request(STAT, 1).str("/usb/d/x")), -1);
    ASSERT_EQ(rename("/usb0/d", "/usb0/e"), 0);
    EXPECT_EQ(s.status_of(request(STAT, 1).str("/usb/d/x")), NO_SUCH_FILE);
    ASSERT_EQ(rename("/usb0/e", "/usb0/d"), 0);
    EXPECT_EQ(read_file("/usb0/g"), "data");
    // Owner, mode and times, each in its place.
    ASSERT_EQ(system("chown 1:2 /usb0/g && touch -a -d @100 /usb0/g && touch -m -d @200 /usb0/g"),
              0);
    Fields a{s.call(request(STAT, 1).str("/usb/g")), reply_fields + 4 + 8};  // past flags, size
    EXPECT_EQ(std::vector<uint32_t>({a.u32(), a.u32(), a.u32(), a.u32(), a.u32()}),
              (std::vector<uint32_t>{1, 2, 0100644, 100, 200}));
    Session start(TQ_START_PLUGIN);  // REALPATH joins a relative path to the start folder
    for (auto [path, want] : {std::pair{"x/../y", "/start/x/../y"}, {"/a", "/a"}}) {
        Fields r{start.call(request(REALPATH, 1).str(path)), reply_fields};
        EXPECT_EQ(r.u32() == 1 ? r.str() : "", want);
    }
    std::string dir = s.opendir("/nv/cfg");
    EXPECT_EQ(Fields{s.call(request(FSTAT, 1).str(dir))}.u8(), ATTRS);
    // Free space, read-only where the client may not write.  The flags are the
    // tenth figure (no-suid: the device root's), the longest name the eleventh.
    constexpr size_t flags_at = reply_fields + 9 * sizeof(uint64_t);
    constexpr uint64_t read_only = 1, no_suid = 2, name_max = 255;
    const struct { Packet request; bool read_only; } spaces[] = {
        {Packet(vfs).str("/usb/d"), false},
        {Packet(vfs).str("/usb"), true},
        {request(EXTENDED, 1).str("fstatvfs@openssh.com").str(dir), true},
        {request(EXTENDED, 1).str("fstatvfs@openssh.com").str(s.opendir("/usb/d")), false},
    };
    for (const auto &row : spaces) {
        Fields f{s.call(row.request), flags_at};
        EXPECT_EQ(f.u64(), no_suid | (row.read_only ? read_only : 0)) << row.request.b;
        EXPECT_EQ(f.u64(), name_max) << row.request.b;
    }
}

// Size, owner, mode and times by path or on a handle: applied where the
// client may write, every field parsed.  A profile is opened as its
// compressed form, a copy: there times are accepted and change nothing.
TEST(HostSession, AttributeChanges)
{
    enum class By { path, read_handle, write_handle, folder_handle };
    constexpr off_t unchecked = -1, written = 12;
    const Packet size4 = Packet().u32(A_SIZE).u64(4), times = Packet().u32(A_TIMES).u32(1).u32(2);
    const char *f = "/usb/f", *r = "/usb0/f", *help = "/nv/cfg/help", *profile = "/nv/cfg/site.xml";
    const struct { const char *path, *real; By by; Packet attrs; uint32_t status; off_t size;
                   mode_t mode; bool mtime_set; /* to 2 */ } rows[] = {
        {f, r, By::write_handle, size4, OK, 4, 0644, false},
        {f, r, By::read_handle, size4, PERMISSION_DENIED, written, 0644, false},
        {f, r, By::read_handle, Packet().u32(A_PERM | A_TIMES).u32(02600).u32(1).u32(2), OK,
         written, 02600, true},
        {f, r, By::path, size4, OK, 4, 0644, false},
        {f, r, By::path, Packet().u32(A_SIZE | A_UIDGID | A_PERM | A_TIMES | A_EXT).u64(12)
                   .u32(0).u32(0).u32(0600).u32(1).u32(2).u32(1).str("x@y").str("z"), OK,
         written, 0600, true},
        {f, r, By::path, Packet().u32(A_PERM | A_EXT).u32(0600).u32(2).str("x@y").str("z"),
         BAD_MESSAGE, written, 0644, false},
        {f, r, By::path, Packet().u32(A_UIDGID).u32(7).u32(7), PERMISSION_DENIED, written,
         0644, false},
        {f, r, By::path, Packet().u32(A_UIDGID).u32(0).u32(7), PERMISSION_DENIED, written,
         0644, false},
        {"/usb/d", "/usb0/d", By::folder_handle, times, OK, unchecked, 0755, true},
        {help, "/tmp/sftp/nv/cfg/help", By::path, Packet().u32(A_SIZE).u64(0), PERMISSION_DENIED,
         unchecked, 0440, false},
        {help, "/tmp/sftp/nv/cfg/help", By::path, times, PERMISSION_DENIED, unchecked, 0440, false},
        {profile, "/flash/cfg/site.xml", By::path, times, OK, unchecked, 0644, false},
        {"/usb/none", "/usb0/none", By::path, size4, NO_SUCH_FILE, unchecked, 0, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.path) + " " + std::to_string(int(row.by)) + " " + row.attrs.b);
        ASSERT_EQ(system("cd /usb0 && rm -rf ./* && mkdir -m 755 d && echo hello world >f"
                         " && chmod 644 f && echo '<site/>' >/flash/cfg/site.xml"
                         " && chmod 644 /flash/cfg/site.xml"), 0);
        Session s(TQ_PLUGIN);
        std::string h = row.by == By::folder_handle ? s.opendir(row.path)
                        : row.by == By::read_handle ? s.open(row.path, F_READ)
                        : row.by == By::write_handle ? s.open(row.path, F_READ | F_WRITE) : "";
        Packet p = row.by == By::path ? request(SETSTAT, 1).str(row.path)
                                      : request(FSETSTAT, 1).str(h);
        EXPECT_EQ(s.status_of(p.raw(row.attrs.b)), row.status);
        struct stat st = {};
        stat(row.real, &st);
        EXPECT_TRUE(row.size == unchecked || st.st_size == row.size) << st.st_size;
        EXPECT_EQ(st.st_mode & 07777, row.mode);
        EXPECT_EQ(st.st_mtime == 2, row.mtime_set);
    }
    // A size set by path is closed through the table, as the plug-in logs.
    EXPECT_EQ(system("grep -q 'Copy remote to /usb/f$' /var/log/messages"), 0);
}

// An upload the update service takes at its close still answers STAT and
// SETSTAT of its name in the session, under any spelling, until the name is
// used again.  One left open when the session ends is closed as failed,
// removed and never handed over: when the client goes away, and when the
// server is told to stop, whether it waits for the client's next request or
// is blocked writing replies that the client does not read.
TEST(HostSession, UploadsHandedOverOrDroppedAtTheEnd)
{
    const std::string fw = "/upload/firmware/fw.bin";
    Session s(TQ_PLUGIN);
    std::string h = s.open(fw, F_WRITE | F_CREAT);
    ASSERT_EQ(s.status_of(request(WRITE, 1).str(h).u64(0).str("image")), OK);
    ASSERT_EQ(s.close(h), OK);
    Fields f{s.call(request(STAT, 1).str("/UPLOAD/firmware/./fw.bin")), reply_fields};  // spelt
    EXPECT_EQ(size_of(f), 5u);
    const struct { Packet request; int64_t status; } rows[] = {
        {request(LSTAT, 1).str(fw), -1}, {request(REALPATH, 1).str(fw), -1},  // no STATUS
        {request(SETSTAT, 1).str(fw).u32(A_TIMES).u32(1).u32(2), OK},
        {request(SETSTAT, 1).str(fw).u32(A_SIZE).u64(5), OK},
        {request(SETSTAT, 1).str(fw).u32(A_SIZE).u64(0), PERMISSION_DENIED},
        {request(REMOVE, 1).str("/Upload//firmware/fw.bin"), NO_SUCH_FILE},
        {request(STAT, 1).str(fw), NO_SUCH_FILE},  // used again: gone
    };
    for (const auto &row : rows)
        EXPECT_EQ(s.status_of(row.request), row.status) << row.request.b;
    EXPECT_EQ(system("grep -c 'firmware fw.bin 5' /var/lib/tqupd/jobs | grep -qx 1"), 0);

    enum class Waits { for_input, writing };
    constexpr int client_gone = 0;
    constexpr uint32_t reads = 32;  // more than the client's pipe holds
    // signal: or client_gone, the input is closed
    const struct { const char *upload; int signal; Waits waits; } ends[] = {
        {"/upload/ssh-key/id.pub", client_gone, Waits::for_input},
        {"/upload/firmware/term.bin", SIGTERM, Waits::for_input},
        {"/upload/firmware/hup.bin", SIGHUP, Waits::writing},
        {"/upload/vpn-cert/int.pem", SIGINT, Waits::for_input},
    };
    ASSERT_EQ(system("truncate -s 8M /usb0/big"), 0);
    for (const auto &row : ends) {
        SCOPED_TRACE(row.upload);
        const std::string upload = row.upload, name = upload.substr(upload.rfind('/') + 1);
        Session ending(TQ_PLUGIN);
        std::string part = ending.open(upload, F_WRITE | F_CREAT);
        EXPECT_EQ(ending.status_of(request(WRITE, 1).str(part).u64(0).str("part")), OK);
        if (row.waits == Waits::writing) {
            std::string big = ending.open("/usb/big", F_READ);
            for (uint64_t i = 0; i < reads; i++)
                ending.send(request(READ, 1).str(big).u64(i * max_data).u32(max_data));
            ASSERT_TRUE(ending.receive());  // past its wait for input, it writes the rest
        }
        if (row.signal == client_gone)
            ending.close_input();
        else
            ending.end_with(row.signal);
        EXPECT_EQ(ending.wait(), row.signal == client_gone ? 0 : 128 + row.signal);
        EXPECT_FALSE(exists("/tmp/sftp" + upload));
        EXPECT_NE(system(("grep -qs ' " + name + " ' /var/lib/tqupd/jobs").c_str()), 0);
        EXPECT_NE(read_file("/var/log/messages").find(
                      "Copy remote to " + upload + " failed: Software caused connection abort"),
                  std::string::npos);
    }
}

// Of more than 32 uploads handed over, the oldest is forgotten first.
TEST(HostSession, TheOldestOfMoreThan32UploadsHandedOverIsForgotten)
{
    constexpr int remembered = 32;
    auto name = [](int i) { return "/upload/firmware/fw" + std::to_string(i) + ".bin"; };
    Session s(TQ_PLUGIN);
    for (int i = 0; i <= remembered; i++) {
        std::string h = s.open(name(i), F_WRITE | F_CREAT);
        ASSERT_EQ(s.status_of(request(WRITE, 1).str(h).u64(0).str("image")), OK);
        ASSERT_EQ(s.close(h), OK);
    }
    const struct { int upload; int64_t status; } rows[] = {
        {0, NO_SUCH_FILE}, {1, -1}, {remembered, -1},  // -1: attributes, no STATUS
    };
    for (const auto &row : rows)
        EXPECT_EQ(s.status_of(request(STAT, 1).str(name(row.upload))), row.status) << row.upload;
}

// Names come with attributes from their own path's table, those that do not
// exist are left out, a reply stops at 256 names or 128 KiB; long names read
// like ls.
TEST(HostSession, Listings)
{
    ASSERT_EQ(system("mkdir -m 1777 /usb0/t && touch -d 2099-01-01 /usb0/future && mkdir /usb0/l"
                     " && touch /usb0/daemons && chown daemon:daemon /usb0/daemons"
                     " && chmod 2754 /usb0/daemons"
                     " && p=$(printf %0250d 0) && for i in $(seq 300); do touch /usb0/t/f$i;"
                     " : >/usb0/l/$i$p; : >/usb0/l/x$i$p; done"), 0);
    constexpr size_t files = 300, names_per_reply = 256, reply_bytes = 128 * 1024;
    constexpr size_t one_name = 1024;  // at most: a name, its long name, its attributes
    Session s(TQ_PLUGIN);
    // The long names of one READDIR of path, and how many names it gave.
    auto names = [&](const char *path) {
        Fields f{s.call(request(READDIR, 1).str(s.opendir(path))), reply_fields};
        std::string out = std::to_string(f.u32());
        while (f.at < f.b.size()) {
            f.str();
            out += "\n" + f.str();
            size_of(f);
        }
        return out;
    };
    std::string top = names("/usb");
    EXPECT_NE(top.find("\ndrwxrwxrwt "), std::string::npos) << top;
    EXPECT_NE(top.find(" 2099 future"), std::string::npos) << top;
    EXPECT_EQ(top.find(" 2099 "), top.rfind(" 2099 ")) << top;  // each name its own date, owner
    EXPECT_NE(top.find("\n-rwxr-sr--    1 daemon   daemon "), std::string::npos) << top;
    EXPECT_NE(top.find(" root     root "), std::string::npos) << top;
    EXPECT_EQ(names("/usb/t").substr(0, 4), std::to_string(names_per_reply) + "\n");
    std::string cfg = names("/nv/cfg");
    EXPECT_EQ(cfg.substr(0, 2), "3\n") << cfg;
    EXPECT_NE(cfg.find("\n-r--r----- "), std::string::npos) << cfg;
    std::string d = s.opendir("/usb/l");
    size_t listed = 0;
    for (Fields r; r = Fields{s.call(request(READDIR, 1).str(d))}, r.u8() == NAME;) {
        EXPECT_LE(r.b.size(), reply_bytes + one_name);
        r.u32();
        listed += r.u32();
    }
    EXPECT_EQ(listed, 2 * files + 2);  // with "." and ".."
}

const std::string file = "<file>..", folder = "<folder>", stale = "<stale>.";

// Malformed input: its status or a clean end of the session, never a crash,
// and nothing changed on the stick.  The handles of the open file and folder
// (and of the file with another generation) replace the stand-ins.
TEST(HostSession, MalformedInput)
{
    constexpr int64_t disconnect = -1;
    const struct { Packet request; int64_t status; } rows[] = {
        {request(STAT, 7).str("/").lie(max_packet + 1), disconnect},
        {Packet().lie(0), disconnect}, {Packet().u8(STAT).u8(0), disconnect},
        {Packet().u8(INIT).u32(3), disconnect}, {request(99, 7).str("/"), OP_UNSUPPORTED},
        {request(SYMLINK, 7).str("/usb/l").str("/usb/f"), OP_UNSUPPORTED},
        {request(EXTENDED, 7).str("nothing@example.com"), OP_UNSUPPORTED},
        {request(STAT, 7).u32(5).raw("/usb"), BAD_MESSAGE},  // a string one byte past the end
        {request(STAT, 7).str({"/usb\0/f", 7}), BAD_MESSAGE},
        {request(OPEN, 7).str("/usb/n").u32(F_WRITE | F_CREAT).u32(5), BAD_MESSAGE},
        {request(MKDIR, 7).str("/usb/n").u32(0x80000000u).u32(1).str("name"), BAD_MESSAGE},
        {request(SETSTAT, 7).str("/usb/f").u32(8 | 0x80000000u).u32(1).u32(2).u32(1), BAD_MESSAGE},
        {request(READ, 7).str("abc").u64(0).u32(10), FAILURE},
        {request(READ, 7).str(file + "x").u64(0).u32(10), FAILURE},
        {request(READ, 7).str(std::string(8, '\xff')).u64(0).u32(10), FAILURE},
        {request(READ, 7).str(folder).u64(0).u32(10), FAILURE},
        {request(READDIR, 7).str(file), FAILURE}, {request(CLOSE, 7).str(stale), FAILURE},
    };
    for (const auto &[p, expect] : rows) {  // the request and its status
        write_file("/usb0/f", "0123456789");
        Session s(TQ_PLUGIN);
        const std::string h = s.open("/usb/f", F_READ | F_WRITE), dir = s.opendir("/usb");
        std::string bytes = p.frame();
        for (const auto &[from, to] : {std::pair(file, h), std::pair(folder, dir),
                                       std::pair(stale, h.substr(0, 7) + char(h[7] + 1))})
            if (size_t at = bytes.find(from); at != std::string::npos)
                bytes.replace(at, 8, to);
        s.send(bytes);
        std::optional<std::string> r = s.receive();
        if (expect == disconnect) {
            EXPECT_FALSE(r.has_value()) << p.b;
            EXPECT_EQ(s.wait(), 1) << p.b;
        } else {
            EXPECT_EQ(r.value_or("").substr(0, 9), request(STATUS, 7).u32(expect).b) << p.b;
            EXPECT_EQ(s.close(h), OK) << "still serving";
        }
        EXPECT_EQ(system("test \"$(ls /usb0)\" = f"), 0) << p.b;
    }
    Session before(TQ_PLUGIN, false);
    before.send(request(STAT, 1).str("/"));
    before.close_input();  // a server that waits for more ends at once
    EXPECT_EQ(before.wait(), 1) << "no INIT first";
}

// 512 handles at most, refused before the plug-in is asked; no handle names
// a slot past them; a closed handle's slot is reused but its old handle stays
// invalid.
TEST(HostSession, HandlesBeyond512AreRefused)
{
    constexpr int max_handles = 512;
    Session s(TQ_PLUGIN);
    std::vector<std::string> handles;
    for (int i = 0; i < max_handles; i++)
        handles.push_back(i % 2 ? s.opendir("/usb") : s.open("/usb", F_READ));
    EXPECT_EQ(s.status_of(request(OPEN, 1).str("/usb/new").u32(F_WRITE | F_CREAT).u32(0)), FAILURE);
    EXPECT_FALSE(exists("/usb0/new"));
    EXPECT_EQ(s.close(std::string("\0\0\2\0\0\0\0\0", 8)), FAILURE);  // slot 512
    std::string old = handles.back();
    EXPECT_EQ(s.close(old), OK);
    handles.back() = s.opendir("/usb");
    EXPECT_EQ(s.close(old), FAILURE);
    for (const std::string &h : handles)
        EXPECT_EQ(s.close(h), OK);
}

// While a password change is forced, every table has no slot: every request
// is refused and nothing is created; the session goes on.
TEST(HostSession, ForcedPasswordChangeRefusesEverything)
{
    ASSERT_EQ(system("mkdir -p /var/lib/tqusr && touch /var/lib/tqusr/force-password"), 0);
    Session s(TQ_PLUGIN);
    for (const Packet &p : {request(STAT, 1).str("/"), request(OPENDIR, 1).str("/usb"),
                            request(OPEN, 1).str("/usb/new").u32(F_WRITE | F_CREAT).u32(0),
                            request(MKDIR, 1).str("/usb/d").u32(0), request(REMOVE, 1).str("/usb"),
                            request(RMDIR, 1).str("/usb"), request(SETSTAT, 1).str("/").u32(0),
                            request(EXTENDED, 1).str(posix_rename).str("/usb/x").str("/usb/y"),
                            request(EXTENDED, 1).str(hardlink).str("/usb/x").str("/usb/y")})
        EXPECT_EQ(s.status_of(p), PERMISSION_DENIED) << p.b;
    EXPECT_FALSE(exists("/tmp/sftp"));
}

}  // namespace
