// The update service, the user manager and the profile manager.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "helpers.h"
#include "tqdevice/tqprofile.h"
#include "tqdevice/tqupd.h"
#include "tqdevice/tqusrmgr.h"

namespace
{

using namespace devtest;

constexpr const char *jobs = "/var/lib/tqupd/jobs";

// The two names as the upload control block holds them, back to back.
struct Names {
    char file_name[80] = {};
    char temp_name[80] = {};
};

std::vector<std::string> fields(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string f; in >> f;)
        out.push_back(f);
    return out;
}

TEST(DeviceBusy, AnswersOneWhileTheFlagExists)
{
    EXPECT_EQ(tqupd_busy(), 0);
    write_file("/var/lib/tqupd/busy", "");
    EXPECT_EQ(tqupd_busy(), 1);
    remove("/var/lib/tqupd/busy");
    EXPECT_EQ(tqupd_busy(), 0);
}

// One kind of delayed install, and where an upload of it ends up.
struct Kind {
    const char *test_name;
    const char *name;
    int (*install)(const char *, uint8_t);
    const char *area;
    bool config;
};

void PrintTo(const Kind &k, std::ostream *os)
{
    *os << k.name;
}

class DeviceDelayed : public testing::TestWithParam<Kind>
{
  protected:
    const Kind &k = GetParam();
    std::string area = k.area;
    std::string payload = "<profile><a x='1'>data</a></profile>\n";

    // The plug-in makes the area folders when it starts.
    void SetUp() override { std::filesystem::create_directories(area); }

    // The names of an upload called up.xml holding data.
    Names upload(const std::string &data)
    {
        Names n;
        if (k.config) {
            strcpy(n.file_name, "/nv/cfg/up.xml");
            strcpy(n.temp_name, "/ramdisk/lighty.tmp");
            write_file(n.temp_name, data.empty() ? data : gzip(data));
        } else {
            strcpy(n.file_name, (area + "/up.xml").c_str());
            write_file(n.file_name, data);
        }
        return n;
    }
    std::string stored() const
    {
        return k.config ? "/flash/cfg/up.xml"
                        : std::string("/var/lib/tqupd/") + k.name + "/up.xml";
    }
    std::string data_file(const Names &n) const
    {
        return k.config ? n.temp_name : n.file_name;
    }
    void expect_refused(const Names &n, const std::string &reason)
    {
        EXPECT_EQ(k.install(n.file_name, 2), 1);
        EXPECT_FALSE(exists(stored()));
        EXPECT_FALSE(exists(jobs));
        EXPECT_FALSE(exists(area + "/ok"));
        EXPECT_EQ(read_file(area + "/error"),
                  "up.xml: refused: " + reason + "\n");
    }
};

TEST_P(DeviceDelayed, AcceptedUploadIsStoredLoggedAndReported)
{
    Names n = upload(payload);
    write_file(area + "/error", "old refusal\n");
    EXPECT_EQ(k.install(n.file_name, 2), 0);
    EXPECT_EQ(read_file(stored()), payload);
    EXPECT_FALSE(exists(data_file(n)));
    auto lines = lines_of(jobs);
    ASSERT_EQ(lines.size(), 1u);
    auto f = fields(lines[0]);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[1], k.name);
    EXPECT_EQ(f[2], "up.xml");
    EXPECT_EQ(f[3], std::to_string(payload.size()));
    EXPECT_EQ(f[4], "2");
    EXPECT_NE(read_file(area + "/ok").find("up.xml: "), std::string::npos);
    EXPECT_FALSE(exists(area + "/error"));
}

TEST_P(DeviceDelayed, MissingFileIsRefused)
{
    Names n = upload(payload);
    remove(data_file(n).c_str());
    write_file(area + "/ok", "old acceptance\n");
    expect_refused(n, k.config
                          ? "cannot read the upload: No such file or directory"
                          : "the file does not exist");
}

TEST_P(DeviceDelayed, EmptyFileIsRefused)
{
    Names n = upload("");
    expect_refused(n, k.config ? "the upload is empty" : "the file is empty");
}

// The area folders belong to the plug-in; without them the refusal still
// holds, it only cannot be reported.
TEST_P(DeviceDelayed, MissingAreaFolderChangesNoAnswer)
{
    std::filesystem::remove_all("/tmp/sftp");
    Names n;
    strcpy(n.file_name, (area + "/gone.xml").c_str());
    strcpy(n.temp_name, "/ramdisk/gone.tmp");
    EXPECT_EQ(k.install(n.file_name, 2), 1);
    EXPECT_FALSE(exists(area));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DeviceDelayed,
    testing::Values(Kind{"Firmware", "firmware", tqupd_firmwareDelayed,
                         "/tmp/sftp/upload/firmware", false},
                    Kind{"SshKey", "ssh-key", tqupd_sshKeyDelayed,
                         "/tmp/sftp/upload/ssh-key", false},
                    Kind{"HttpsCert", "https-cert", tqupd_httpsCertDelayed,
                         "/tmp/sftp/upload/https-cert", false},
                    Kind{"LdapCert", "ldap-cert", tqupd_ldapCacertDelayed,
                         "/tmp/sftp/upload/ldap-cert", false},
                    Kind{"VpnCert", "vpn-cert", tqupd_vpnCertDelayed,
                         "/tmp/sftp/upload/vpn-cert", false},
                    Kind{"Config", "config", tqupd_configDelayed,
                         "/tmp/sftp/nv/cfg", true}),
    [](const auto &info) { return std::string(info.param.test_name); });

TEST(DeviceFirmware, LaterUploadOfTheSameNameReplacesTheStoredOne)
{
    write_file("/tmp/sftp/upload/firmware/fw bin", "first");
    ASSERT_EQ(tqupd_firmwareDelayed("/tmp/sftp/upload/firmware/fw bin", 2), 0);
    // On the state folder's own file system the file is renamed, not copied.
    write_file("/var/lib/staging/fw bin", "second");
    ASSERT_EQ(tqupd_firmwareDelayed("/var/lib/staging/fw bin", 7), 0);
    EXPECT_EQ(read_file("/var/lib/tqupd/firmware/fw bin"), "second");
    EXPECT_FALSE(exists("/var/lib/staging/fw bin"));
    auto lines = lines_of(jobs);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(fields(lines[1])[2], "fw\\x20bin");
    EXPECT_EQ(fields(lines[1])[4], "7");
}

TEST(DeviceChangeFilename, RecordsTheNewNameInTheJobLog)
{
    EXPECT_EQ(tqupd_changeFilename("/nv/cfg/new.xml"), 0);
    auto lines = lines_of(jobs);
    ASSERT_EQ(lines.size(), 1u);
    auto f = fields(lines[0]);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[1], "rename");
    EXPECT_EQ(f[2], "/nv/cfg/new.xml");
}

TEST(DeviceUserManager, ForcedPasswordChangeFollowsTheFlagFile)
{
    int status = 7;
    EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(&status), 0);
    EXPECT_EQ(status, 0);
    write_file("/var/lib/tqusr/force-password", "");
    EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(&status), 0);
    EXPECT_EQ(status, 1);
}

TEST(DeviceProfileManager, EveryInvalidationIsOneLine)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(tq2FMProfileEntry_invalidateCache(0, 0, 0), 0);
    auto lines = lines_of("/var/lib/tqprofile/invalidations");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(fields(lines[2]).size(), 4u);
}

} // namespace
