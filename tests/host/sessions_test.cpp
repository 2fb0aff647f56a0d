// Two sessions at once, each its own tqsftp-server process with the real
// plug-in and the device's services, in one device root: an upload belongs to
// the session that created it.
#include <gtest/gtest.h>

#include "sftp_session.h"

using namespace sftp_test;

namespace {

const std::string fw = "/upload/firmware/fw.bin", real = "/tmp/sftp/upload/firmware/fw.bin";
const std::string busy = "4 Device or resource busy";

std::string write_at(Session &s, const std::string &h, uint64_t off, std::string_view data)
{
    return s.status_line(request(WRITE, 1).str(h).u64(off).str(data));
}

// While one session writes an upload, nothing the other does to its name (an
// open with or without truncation, a size, a removal, a rename either way)
// gets through; what is handed over is exactly what the writer wrote.
TEST(Sessions, AnUploadIsItsWritersUntilItIsHandedOver)
{
    Session a(TQ_PLUGIN), b(TQ_PLUGIN);
    std::string h = a.open(fw, F_WRITE | F_CREAT | F_TRUNC);
    ASSERT_EQ(write_at(a, h, 0, "first half, "), "0 Success");
    write_file("/tmp/sftp/upload/firmware/old", "service's");
    const Packet rows[] = {
        request(OPEN, 1).str(fw).u32(F_WRITE).u32(0),
        request(OPEN, 1).str(fw).u32(F_WRITE | F_CREAT | F_TRUNC).u32(0),
        request(SETSTAT, 1).str(fw).u32(A_SIZE).u64(5),
        request(REMOVE, 1).str(fw),
        request(RENAME, 1).str(fw).str("/upload/firmware/b.bin"),
        request(EXTENDED, 1).str(posix_rename).str("/upload/firmware/old").str(fw),
    };
    for (const Packet &p : rows)
        EXPECT_EQ(b.status_line(p), busy) << p.b;
    ASSERT_EQ(write_at(a, h, 12, "second half"), "0 Success");
    EXPECT_EQ(a.close(h), OK);
    EXPECT_EQ(read_file("/var/lib/tqupd/firmware/fw.bin"), "first half, second half");
    EXPECT_EQ(system("grep -c 'firmware fw.bin 23' /var/lib/tqupd/jobs | grep -qx 1"), 0);
    EXPECT_NE(read_file("/var/log/messages").find("Open " + fw + " failed: Device or resource busy"),
              std::string::npos);
    // A file the service was handed and has not taken yet is never replaced.
    EXPECT_EQ(b.status_line(request(OPEN, 1).str("/upload/firmware/old").u32(F_WRITE | F_CREAT)
                                .u32(0)), busy);
    EXPECT_EQ(read_file("/tmp/sftp/upload/firmware/old"), "service's");
}

// An upload that fails past its ceiling goes, and only it: the name is then
// the other session's to use.  A writer killed before its hand-over leaves a
// file that the next session removes when it starts.
TEST(Sessions, FailedAndKilledUploadsLeaveNothing)
{
    Session a(TQ_PLUGIN), b(TQ_PLUGIN);
    std::string h = a.open(fw, F_WRITE | F_CREAT);
    EXPECT_EQ(b.open(fw, F_WRITE | F_CREAT), "");
    EXPECT_EQ(a.status_of(request(FSETSTAT, 1).str(h).u32(A_SIZE).u64(10ull << 30)), OK);
    EXPECT_EQ(a.status_line(request(CLOSE, 1).str(h)), "4 File too large");
    EXPECT_FALSE(exists(real));
    h = b.open(fw, F_WRITE | F_CREAT);
    ASSERT_EQ(write_at(b, h, 0, "image"), "0 Success");
    EXPECT_EQ(b.close(h), OK);
    EXPECT_EQ(read_file("/var/lib/tqupd/firmware/fw.bin"), "image");

    h = a.open(fw, F_WRITE | F_CREAT);
    ASSERT_EQ(write_at(a, h, 0, "half"), "0 Success");
    a.end_with(SIGKILL);
    a.wait();
    EXPECT_TRUE(exists(real)) << "left over";
    Session c(TQ_PLUGIN);
    EXPECT_EQ(c.status_line(request(STAT, 1).str("/upload")).substr(0, 2), "-1");
    EXPECT_FALSE(exists(real));
    h = c.open(fw, F_WRITE | F_CREAT | F_EXCL);
    EXPECT_EQ(write_at(c, h, 0, "whole"), "0 Success");
    EXPECT_EQ(c.close(h), OK);
}

}  // namespace
