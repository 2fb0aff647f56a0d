// The services against prepared names, oversized uploads, a rotated log and
// argument abuse; each case in a fresh device root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// Installs the profile data at /ramdisk/up as /nv/cfg/<name>.
int install_profile(const std::string &name)
{
    char names[160] = {};
    snprintf(names, 80, "/nv/cfg/%s", name.c_str());
    snprintf(names + 80, 80, "/ramdisk/up");
    return tqupd_configDelayed(names, 2);
}

TEST(DeviceHardening, ScratchFilesNeverGoThroughPreparedNames)
{
    put("/flash/cfg/office.xml", "<office/>");
    fs::create_hard_link("/flash/cfg/office.xml", "/flash/cfg/.evil.xml.part");
    fs::create_directories("/tmp/sftp/nv/cfg");
    fs::create_symlink("/flash/cfg/office.xml", "/tmp/sftp/nv/cfg/error.new");
    for (const char *xml : {"<broken>", "<fine/>"}) {
        put("/ramdisk/up", xml, true);
        EXPECT_EQ(install_profile("evil.xml"), xml[1] == 'b');
        EXPECT_EQ(slurp("/flash/cfg/office.xml"), "<office/>");
    }
    EXPECT_EQ(slurp("/flash/cfg/evil.xml"), "<fine/>");
    EXPECT_EQ(std::distance(fs::directory_iterator("/flash/cfg"), {}), 3);
}

TEST(DeviceHardening, UnfitUploadsAreRefusedUnreadAndLeftWhereTheyAre)
{
    const std::string fw = "/tmp/sftp/upload/firmware/", key = "/tmp/sftp/upload/ssh-key/";
    put("/var/lib/secret", "s");
    put(fw + "huge.bin", "x");
    fs::create_symlink("/var/lib/secret", fw + "link.bin");
    fs::resize_file(fw + "huge.bin", 1ull << 62);
    put(key + "id.pub", "x");
    fs::resize_file(key + "id.pub", TQUPD_MAX_CERT + 1);
    put("/ramdisk/up", "<a>" + std::string(TQUPD_MAX_PROFILE_XML, 'a') + "</a>", true);
    const struct { int (*install)(const char *, uint8_t); std::string name, area, error; } cases[] = {
        {tqupd_firmwareDelayed, fw + "link.bin", fw, "link.bin: refused: not a regular file"},
        {tqupd_firmwareDelayed, "/var/lib/secret", fw, "secret: refused: not a file of " + fw.substr(0, fw.size() - 1)},
        {tqupd_firmwareDelayed, fw + "huge.bin", fw, "huge.bin: refused: the file is too large: 4611686018427387904 bytes, at most 67108864"},
        {tqupd_sshKeyDelayed, key + "id.pub", key, "id.pub: refused: the file is too large: 1048577 bytes, at most 1048576"},
        {nullptr, "a.xml", "/tmp/sftp/nv/cfg/", "a.xml: refused: the profile is too large unpacked"},
    };
    fs::create_directories("/tmp/sftp/nv/cfg");
    for (const auto &c : cases) {
        EXPECT_EQ(c.install ? c.install(c.name.c_str(), 2) : install_profile(c.name), 1);
        EXPECT_EQ(slurp(c.area + "error").substr(0, c.error.size()), c.error);
    }
    EXPECT_EQ(slurp("/var/lib/secret"), "s");
    EXPECT_TRUE(fs::exists(fw + "huge.bin") && fs::is_symlink(fw + "link.bin"));
    EXPECT_FALSE(fs::exists("/var/lib/tqupd/firmware") || fs::exists("/flash/cfg/a.xml"));
}

// Same file system: renamed, the inode kept; else copied.  Either way the
// upload's name is gone.
TEST(DeviceHardening, AcceptedUploadsAreMovedNotCopied)
{
    fs::create_directories("/var/lib/area");
    fs::create_directories("/tmp/sftp/upload");
    fs::create_directory_symlink("/var/lib/area", "/tmp/sftp/upload/firmware");
    for (std::string kind : {"firmware", "ssh-key"}) {
        std::string up = "/tmp/sftp/upload/" + kind + "/a.bin";
        put(up, kind);
        struct stat before, after;
        stat(up.c_str(), &before);
        auto install = kind == "firmware" ? tqupd_firmwareDelayed : tqupd_sshKeyDelayed;
        ASSERT_EQ(install(up.c_str(), 2), 0);
        EXPECT_FALSE(fs::exists(up));
        ASSERT_EQ(stat(("/var/lib/tqupd/" + kind + "/a.bin").c_str(), &after), 0);
        EXPECT_EQ(after.st_ino == before.st_ino && after.st_dev == before.st_dev, kind == "firmware");
        EXPECT_EQ(slurp("/var/lib/tqupd/" + kind + "/a.bin"), kind);
    }
}

TEST(DeviceHardening, UserManagerSeesTheFlagChangeWithinItsInterval)
{
    for (int want : {0, 1, 0}) {
        want ? put("/var/lib/tqusr/force-password", "") : (void)fs::remove("/var/lib/tqusr/force-password");
        usleep(150 * 1000);
        int status = 7;
        EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(&status), 0);
        EXPECT_EQ(status, want);
    }
}

// Up to nine text arguments, each with its maximum length; the log's last
// line after its time stamp.
std::string logged(int pri, std::vector<std::pair<int, const char *>> a)
{
    int t[9];
    for (size_t i = 0; i < 9; ++i)
        t[i] = i < a.size() ? TQLOG_ARG_STRING : TQLOG_ARG_END;
    a.resize(9, {0, ""});
    tqlog_throwMsg("f c", 7, 0x18000A, pri, 24,
                   t[0], a[0].first, a[0].second, t[1], a[1].first, a[1].second,
                   t[2], a[2].first, a[2].second, t[3], a[3].first, a[3].second,
                   t[4], a[4].first, a[4].second, t[5], a[5].first, a[5].second,
                   t[6], a[6].first, a[6].second, t[7], a[7].first, a[7].second,
                   t[8], a[8].first, a[8].second, TQLOG_ARG_END);
    std::string log = slurp("/var/log/messages");
    size_t start = log.rfind('\n', log.size() - 2) + 1;
    std::string line = log.substr(start, log.size() - start - 1);
    return line.substr(0, line.find(' ')) + line.substr(line.find(" tqdevice"));
}

TEST(DeviceHardening, LogPrioritiesBoundsAndEscapes)
{
    const std::string big(1030, 'x');
    const char *n = "9";
    const struct { int pri; std::vector<std::pair<int, const char *>> args; std::string line; } cases[] = {
        {0, {{9, "Create"}, {3, "/usbXYZ"}}, "<0>1 tqdevice tqsftp - 0x18000A - Create /us"},
        {191, {{9, "a\x01\x7f\\"}, {9, "b"}}, "<191>1 tqdevice tqsftp - 0x18000A - a\\x01\\x7F\\x5C b"},
        {192, {{9, "a"}, {2000, big.c_str()}}, "<13>1 tqdevice tqsftp - 0x18000A - a " + big.substr(6) + "..."},
        {-1, {{9, "q\"q"}, {-1, "b"}}, "<13>1 tqdevice tqsftp - 0x18000A - unformatted message from f\\x20c:7 "
                                      "module 24 (argument 2 is of negative length): \"q\\x22q\""},
        {13, {{1, n}, {1, n}, {1, n}, {1, n}, {1, n}, {1, n}, {1, n}, {1, n}, {1, n}},
         "<13>1 tqdevice tqsftp - 0x18000A - unformatted message from f\\x20c:7 module 24 (more than 8 "
         "arguments): \"9\" \"9\" \"9\" \"9\" \"9\" \"9\" \"9\" \"9\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(logged(c.pri, c.args), c.line);
    fs::rename("/var/log/messages", "/var/log/messages.1");
    usleep(150 * 1000);
    EXPECT_EQ(logged(13, {{9, "a"}, {9, "b"}}), "<13>1 tqdevice tqsftp - 0x18000A - a b");
    std::string old = slurp("/var/log/messages.1");
    EXPECT_EQ(std::count(old.begin(), old.end(), '\n'), 5);
}

TEST(DeviceHardening, ProfileNames)
{
    const std::pair<std::string, int> names[] = {
        {"-_09AZaz.xml", 0}, {std::string(28, 'n') + ".xml", 0}, {"a.XML", 1},
        {".xml", 1}, {"a.b.xml", 1}, {"\xC3\xA9.xml", 1}, {"a.xml/", 1}};
    for (const auto &[name, refused] : names) {
        put("/ramdisk/up", "<a/>", true);
        EXPECT_EQ(install_profile(name), refused) << name;
    }
}

} // namespace
