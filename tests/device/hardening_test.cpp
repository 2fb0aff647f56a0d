// The services against prepared names, oversized uploads, a rotated log and
// malformed messages; each case in a fresh device root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "tqdevice/tqlog.h"
#include "tqdevice/tqupd.h"
#include "tqdevice/tqusrmgr.h"

namespace
{

namespace fs = std::filesystem;

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void put(const std::string &path, const std::string &data, bool zip = false)
{
    fs::create_directories(fs::path(path).parent_path());
    gzFile g = gzopen(path.c_str(), zip ? "wb" : "wbT");
    gzwrite(g, data.data(), static_cast<unsigned>(data.size()));
    gzclose(g);
}

// Installs the gzip of xml as the profile upload /nv/cfg/<name>.
int install_profile(const std::string &name, const std::string &xml)
{
    put("/ramdisk/up", xml, true);
    std::string names(160, '\0');
    names.replace(0, name.size() + 8, "/nv/cfg/" + name).replace(80, 11, "/ramdisk/up");
    return tqupd_configDelayed(names.data(), 2);
}

// Only well-formed profiles of profile names within the unpacked ceiling are
// taken, and never through a name prepared in the store or the error file.
TEST(DeviceHardening, ProfilesTakeProfileNamesAndNoPreparedName)
{
    const std::string bomb = "<a>" + std::string(TQUPD_MAX_PROFILE_XML, 'a') + "</a>";
    const struct { std::string name, xml; int refused; } cases[] = {{"-_09AZaz.xml", "<a/>", 0},
        {std::string(28, 'n') + ".xml", "<a/>", 0}, {"a.XML", "<a/>", 1}, {".xml", "<a/>", 1},
        {"a.b.xml", "<a/>", 1}, {"\xC3\xA9.xml", "<a/>", 1}, {"a.xml/", "<a/>", 1},
        {"a.xml", bomb, 1}};
    for (const auto &c : cases)
        EXPECT_EQ(install_profile(c.name, c.xml), c.refused) << c.name;
    put("/flash/cfg/office.xml", "<office/>");
    fs::create_hard_link("/flash/cfg/office.xml", "/flash/cfg/.evil.xml.part");
    fs::create_directories("/tmp/sftp/nv/cfg");
    fs::create_symlink("/flash/cfg/office.xml", "/tmp/sftp/nv/cfg/error.new");
    EXPECT_EQ(install_profile("evil.xml", "<broken>"), 1);
    EXPECT_EQ(install_profile("evil.xml", "<fine/>"), 0);
    EXPECT_EQ(slurp("/flash/cfg/office.xml"), "<office/>");
    EXPECT_EQ(std::distance(fs::directory_iterator("/flash/cfg"), {}), 5);
}

// Unfit uploads are refused unread and left alone; a fit one is renamed into
// the state folder where both lie on one file system (elsewhere it is copied).
TEST(DeviceHardening, UploadsAreCheckedThenMovedNotCopied)
{
    const std::string fw = "/tmp/sftp/upload/firmware/", key = "/tmp/sftp/upload/ssh-key/";
    put("/var/lib/secret", "s");
    put(key + "id.pub", "");
    fs::resize_file(key + "id.pub", TQUPD_MAX_CERT + 1);
    put("/var/lib/area/a.bin", "fw");
    fs::create_directory_symlink("/var/lib/area", "/tmp/sftp/upload/firmware");
    put(fw + "huge.bin", "");
    fs::resize_file(fw + "huge.bin", 1ull << 62);
    fs::create_symlink("/var/lib/secret", fw + "link.bin");
    const struct { int (*install)(const char *, uint8_t); std::string name, error; } cases[] = {
        {tqupd_firmwareDelayed, fw + "link.bin", "link.bin: refused: not a regular file"},
        {tqupd_firmwareDelayed, "/var/lib/secret", "secret: refused: not a file of"},
        {tqupd_firmwareDelayed, fw + "huge.bin", "huge.bin: refused: the file is too large"},
        {tqupd_sshKeyDelayed, key + "id.pub", "id.pub: refused: the file is too large"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.install(c.name.c_str(), 2), 1);
        std::string error = slurp((c.install == tqupd_sshKeyDelayed ? key : fw) + "error");
        EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    }
    EXPECT_EQ(slurp("/var/lib/secret"), "s");
    EXPECT_TRUE(fs::exists(fw + "huge.bin") && fs::is_symlink(fw + "link.bin"));
    EXPECT_FALSE(fs::exists("/var/lib/tqupd/firmware"));
    struct stat before, after;
    stat("/var/lib/area/a.bin", &before);
    ASSERT_EQ(tqupd_firmwareDelayed((fw + "a.bin").c_str(), 2), 0);
    ASSERT_EQ(stat("/var/lib/tqupd/firmware/a.bin", &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

// The log line of two (maximum length, text) arguments, without its time
// stamp.  The log is emptied first.
std::string logged(int pri, int n1, const char *a1, int n2, const char *a2)
{
    truncate("/var/log/messages", 0);
    tqlog_throwMsg("f c", 7, 0x18000A, pri, 24, TQLOG_ARG_STRING, n1, a1, TQLOG_ARG_STRING, n2,
                   a2, TQLOG_ARG_END);
    std::string line = slurp("/var/log/messages");
    return line.substr(0, line.find(' ')) + line.substr(line.find(" tqdevice"));
}

TEST(DeviceHardening, LogAndFlagFollowTheirFiles)
{
    const std::string big(1030, 'x'), cut(1024, 'x'), id = " tqdevice tqsftp - 0x18000A - ";
    const struct { int pri, n1; const char *a1; int n2; const char *a2; std::string s; } cases[] =
    {
        {0, 9, "Create", 3, "/usbXYZ", "<0>1" + id + "Create /us"},
        {191, 9, "a\x01\x7f\\", 9, "b", "<191>1" + id + "a\\x01\\x7F\\x5C b"},
        {192, 1024, big.c_str(), 2000, big.c_str(), "<13>1" + id + cut + " " + cut + "..."},
        {-1, 9, "q\"q", -1, "b", "<13>1" + id + "unformatted message from f\\x20c:7 module 24 "
                                     "(argument 2 is of negative length): \"q\\x22q\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(logged(c.pri, c.n1, c.a1, c.n2, c.a2), c.s + "\n");
    const int s = TQLOG_ARG_STRING;  // a ninth argument is not read
    tqlog_throwMsg("f c", 7, 0x18000A, 13, 24, s, 1, "1", s, 1, "2", s, 1, "3", s, 1, "4",
                   s, 1, "5", s, 1, "6", s, 1, "7", s, 1, "8", s, 1, "9", TQLOG_ARG_END);
    EXPECT_NE(slurp("/var/log/messages").find("(more than 8 arguments): \"1\" \"2\" \"3\" \"4\" "
                                              "\"5\" \"6\" \"7\" \"8\"\n"), std::string::npos);
    // A rotated log and a new flag are both seen once the services look again.
    int forced = 7;
    EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(&forced) + forced, 0);
    fs::rename("/var/log/messages", "/var/log/messages.1");
    put("/var/lib/tqusr/force-password", "");
    usleep(150 * 1000);
    EXPECT_EQ(logged(13, 9, "a", 9, "b"), "<13>1" + id + "a b\n");
    EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(&forced) + forced, 1);
}

} // namespace
