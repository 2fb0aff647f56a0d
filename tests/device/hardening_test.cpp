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
    char names[160] = {};
    snprintf(names, 80, "/nv/cfg/%s", name.c_str());
    snprintf(names + 80, 80, "/ramdisk/up");
    return tqupd_configDelayed(names, 2);
}

// Only profile names are taken, and never through a prepared name.
TEST(DeviceHardening, ProfilesTakeProfileNamesAndNoPreparedName)
{
    const std::pair<std::string, int> names[] = {{"-_09AZaz.xml", 0}, {std::string(28, 'n') + ".xml", 0},
        {"a.XML", 1}, {".xml", 1}, {"a.b.xml", 1}, {"\xC3\xA9.xml", 1}, {"a.xml/", 1}};
    for (const auto &[name, refused] : names)
        EXPECT_EQ(install_profile(name, "<a/>"), refused) << name;
    put("/flash/cfg/office.xml", "<office/>");
    fs::create_hard_link("/flash/cfg/office.xml", "/flash/cfg/.evil.xml.part");
    fs::create_directories("/tmp/sftp/nv/cfg");
    fs::create_symlink("/flash/cfg/office.xml", "/tmp/sftp/nv/cfg/error.new");
    EXPECT_EQ(install_profile("evil.xml", "<broken>"), 1);
    EXPECT_EQ(install_profile("evil.xml", "<fine/>"), 0);
    EXPECT_EQ(slurp("/flash/cfg/office.xml"), "<office/>");
    EXPECT_EQ(std::distance(fs::directory_iterator("/flash/cfg"), {}), 5);
}

TEST(DeviceHardening, UnfitUploadsAreRefusedUnreadAndLeftAlone)
{
    const std::string fw = "/tmp/sftp/upload/firmware/", key = "/tmp/sftp/upload/ssh-key/";
    put("/var/lib/secret", "s");
    put(fw + "huge.bin", "");
    fs::resize_file(fw + "huge.bin", 1ull << 62);
    fs::create_symlink("/var/lib/secret", fw + "link.bin");
    put(key + "id.pub", "");
    fs::resize_file(key + "id.pub", TQUPD_MAX_CERT + 1);
    const std::string cfg = "/tmp/sftp/nv/cfg/", bomb = "<a>" + std::string(TQUPD_MAX_PROFILE_XML, 'a') + "</a>";
    fs::create_directories(cfg);
    const struct { int (*install)(const char *, uint8_t); std::string name, area, error; } cases[] = {
        {tqupd_firmwareDelayed, fw + "link.bin", fw, "link.bin: refused: not a regular file"},
        {tqupd_firmwareDelayed, "/var/lib/secret", fw, "secret: refused: not a file of /tmp/sftp/upload/firmware"},
        {tqupd_firmwareDelayed, fw + "huge.bin", fw,
         "huge.bin: refused: the file is too large: 4611686018427387904 bytes, at most 67108864"},
        {tqupd_sshKeyDelayed, key + "id.pub", key, "id.pub: refused: the file is too large: 1048577 bytes, at most 1048576"},
        {nullptr, "a.xml", cfg, "a.xml: refused: the profile is too large unpacked"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.install ? c.install(c.name.c_str(), 2) : install_profile(c.name, bomb), 1);
        EXPECT_EQ(slurp(c.area + "error").substr(0, c.error.size()), c.error);
    }
    EXPECT_EQ(slurp("/var/lib/secret"), "s");
    EXPECT_TRUE(fs::exists(fw + "huge.bin") && fs::is_symlink(fw + "link.bin"));
    EXPECT_FALSE(fs::exists("/var/lib/tqupd/firmware") || fs::exists("/flash/cfg/a.xml"));
}

// An accepted upload is renamed into the state folder where both lie on one
// file system (elsewhere it is copied): the inode is kept.
TEST(DeviceHardening, AcceptedUploadsAreMovedNotCopied)
{
    fs::create_directories("/var/lib/area");
    fs::create_directories("/tmp/sftp/upload");
    fs::create_directory_symlink("/var/lib/area", "/tmp/sftp/upload/firmware");
    put("/var/lib/area/a.bin", "fw");
    struct stat before, after;
    stat("/var/lib/area/a.bin", &before);
    ASSERT_EQ(tqupd_firmwareDelayed("/tmp/sftp/upload/firmware/a.bin", 2), 0);
    EXPECT_FALSE(fs::exists("/var/lib/area/a.bin"));
    ASSERT_EQ(stat("/var/lib/tqupd/firmware/a.bin", &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

// The line that up to nine (maximum length, text) arguments make, without
// its time stamp.  The log is emptied first.
std::string logged(int pri, std::vector<std::pair<int, const char *>> a)
{
    truncate("/var/log/messages", 0);
    int t[9];
    for (size_t i = 0; i < 9; ++i)
        t[i] = i < a.size() ? TQLOG_ARG_STRING : TQLOG_ARG_END;
    a.resize(9, {0, ""});
#define ARG(i) t[i], a[i].first, a[i].second
    tqlog_throwMsg("f c", 7, 0x18000A, pri, 24, ARG(0), ARG(1), ARG(2), ARG(3), ARG(4), ARG(5), ARG(6),
                   ARG(7), ARG(8), TQLOG_ARG_END);
    std::string line = slurp("/var/log/messages");
    return line.substr(0, line.find(' ')) + line.substr(line.find(" tqdevice"));
}

TEST(DeviceHardening, LogAndFlagFollowTheirFiles)
{
    const std::string big(1030, 'x');
    const char *n = "9";
#define FALLBACK "unformatted message from f\\x20c:7 module 24 "
    const struct { int pri; std::vector<std::pair<int, const char *>> args; std::string text; } cases[] = {
        {0, {{9, "Create"}, {3, "/usbXYZ"}}, "<0>1 Create /us"},
        {191, {{9, "a\x01\x7f\\"}, {9, "b"}}, "<191>1 a\\x01\\x7F\\x5C b"},
        {192, {{1024, big.c_str()}, {2000, big.c_str()}}, "<13>1 " + big.substr(6) + " " + big.substr(6) + "..."},
        {-1, {{9, "q\"q"}, {-1, "b"}}, "<13>1 " FALLBACK "(argument 2 is of negative length): \"q\\x22q\""},
        {13, {{1, n}, {1, n}, {1, n}, {1, n}, {1, n}, {1, n}, {1, n}, {1, n}, {1, n}},
         "<13>1 " FALLBACK "(more than 8 arguments): \"9\" \"9\" \"9\" \"9\" \"9\" \"9\" \"9\" \"9\""},
    };
    for (const auto &c : cases) {
        std::string want = c.text + "\n";
        EXPECT_EQ(logged(c.pri, c.args), want.insert(want.find(' '), " tqdevice tqsftp - 0x18000A -"));
    }
    // A rotated log and a new flag are both seen once the services look again.
    int forced = 7;
    EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(&forced) + forced, 0);
    fs::rename("/var/log/messages", "/var/log/messages.1");
    put("/var/lib/tqusr/force-password", "");
    usleep(150 * 1000);
    EXPECT_EQ(logged(13, {{9, "a"}, {9, "b"}}), "<13>1 tqdevice tqsftp - 0x18000A - a b\n");
    EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(&forced) + forced, 1);
}

} // namespace
