// Two sessions, each its own tqsftp-server with the real plug-in and services,
// in one device root: an upload belongs to the session that created it.
#include <gtest/gtest.h>

#include "sftp_session.h"

using namespace sftp_test;

namespace {

const std::string fw = "/upload/firmware/fw.bin", real = "/tmp/sftp/upload/firmware/fw.bin";

std::string write_at(Session &s, const std::string &h, uint64_t off, std::string_view data)
{
    return s.status_line(request(WRITE, 1).str(h).u64(off).str(data));
}

// Nothing another session does to a live upload's name or a file the service
// has not taken gets through; a failed upload goes, and only it; a killed
// writer's file goes when the next session starts.
TEST(Sessions, AnUploadIsItsWritersUntilItIsHandedOver)
{
    Session a(TQ_PLUGIN), b(TQ_PLUGIN);
    std::string h = a.open(fw, F_WRITE | F_CREAT | F_TRUNC);
    ASSERT_EQ(write_at(a, h, 0, "first, "), "0 Success");
    write_file("/tmp/sftp/upload/firmware/old", "service's");
    for (const Packet &p : {request(OPEN, 1).str(fw).u32(F_WRITE).u32(0),
                            request(SETSTAT, 1).str(fw).u32(A_SIZE).u64(5),
                            request(REMOVE, 1).str(fw),
                            request(RENAME, 1).str(fw).str("/upload/firmware/b.bin"),
                            request(EXTENDED, 1).str(posix_rename).str("/upload/firmware/old").str(fw),
                            request(OPEN, 1).str("/upload/firmware/old").u32(F_WRITE).u32(0)})
        EXPECT_EQ(b.status_line(p), "4 Device or resource busy") << p.b;
    ASSERT_EQ(write_at(a, h, 7, "second"), "0 Success");
    EXPECT_EQ(a.close(h), OK);
    EXPECT_EQ(read_file("/var/lib/tqupd/firmware/fw.bin"), "first, second");
    EXPECT_EQ(read_file("/tmp/sftp/upload/firmware/old"), "service's");
    for (std::string op : {"Open ", "Delete "})
        EXPECT_NE(read_file("/var/log/messages").find(op + fw + " failed: Device or resource busy"),
                  std::string::npos) << op;

    h = a.open(fw, F_WRITE | F_CREAT);
    EXPECT_EQ(b.open(fw, F_WRITE | F_CREAT), "");
    EXPECT_EQ(a.status_of(request(FSETSTAT, 1).str(h).u32(A_SIZE).u64(10ull << 30)), OK);
    EXPECT_EQ(a.status_line(request(CLOSE, 1).str(h)), "4 File too large");
    EXPECT_FALSE(exists(real));
    h = b.open(fw, F_WRITE | F_CREAT);
    ASSERT_EQ(write_at(b, h, 0, "half"), "0 Success");
    b.end_with(SIGKILL);
    b.wait();
    Session c(TQ_PLUGIN);
    EXPECT_TRUE(exists(real));
    c.call(request(STAT, 1).str("/upload"));
    EXPECT_FALSE(exists(real)) << "removed when the next session starts";
    h = c.open(fw, F_WRITE | F_CREAT | F_EXCL);
    EXPECT_EQ(write_at(c, h, 0, "whole"), "0 Success");
    EXPECT_EQ(c.close(h), OK);
    EXPECT_EQ(read_file("/var/lib/tqupd/firmware/fw.bin"), "whole");

    // A live profile upload's temporary file: another session's download waits, is refused.
    write_file("/flash/cfg/site.xml", "<site/>");
    h = a.open("/nv/cfg/lab.xml", F_WRITE | F_CREAT | F_TRUNC);
    ASSERT_EQ(write_at(a, h, 0, "lab"), "0 Success");
    EXPECT_EQ(c.open("/nv/cfg/site.xml", F_READ), "");
    EXPECT_EQ(read_file("/ramdisk/lighty.tmp"), "lab");
}

}  // namespace
