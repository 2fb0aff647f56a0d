// The upload actions: the protocol of a transfer, the hand-over to each
// kind's delayed install, and the help files.
#include <sys/stat.h>

#include <cstring>

#include "doubles.h"

using namespace tqtest;

namespace {

const std::string upload = "/ramdisk/upload.bin", temp = "/ramdisk/lighty.tmp";

struct Kind {
    tqsftp_action_fn action;
    tqsftp_ucb *ucb;
    const char *install;
};

const Kind kinds[] = {
    {tqsftp_firmware_action, &tqsftp_firmware_ucb, "firmwareDelayed"},
    {tqsftp_sshKey_action, &tqsftp_sshkey_ucb, "sshKeyDelayed"},
    {tqsftp_https_action, &tqsftp_https_ucb, "httpsCertDelayed"},
    {tqsftp_ldap_action, &tqsftp_ldap_ucb, "ldapCacertDelayed"},
    {tqsftp_vpn_action, &tqsftp_vpn_ucb, "vpnCertDelayed"},
    {tqsftp_config_action, &tqsftp_config_ucb, "configDelayed"},
};

// An upload in progress: both files exist and the block names them.
void opened(const Kind &k)
{
    write_file(upload, "data");
    write_file(temp, "temp");
    ASSERT_EQ(k.action(TQSFTP_ACT_START, nullptr, nullptr), 0);
    ASSERT_EQ(k.action(TQSFTP_ACT_OPENED, upload.c_str(), temp.c_str()), 0);
    clear();
}

}  // namespace

// Every close reaches the kind's own service with the block's name buffer
// and parameter 2; an answer of 1 refuses it, and the upload (for profiles
// also the temporary file) goes.
TEST(Action, ClosedHandsTheUploadToTheKindsService)
{
    for (const Kind &k : kinds) {
        for (int answer : {0, 2, 1}) {
            opened(k);
            services.delayed = answer;
            EXPECT_EQ(k.action(TQSFTP_ACT_CLOSED, nullptr, nullptr), answer == 1 ? -1 : 0) << k.install;
            ASSERT_EQ(services.calls.size(), 1u);
            EXPECT_EQ(services.calls[0].what, k.install);
            EXPECT_EQ(services.calls[0].args, (Args{upload, "2"}));
            EXPECT_EQ(services.calls[0].name, k.ucb->file_name);
            EXPECT_EQ(exists(upload), answer != 1) << k.install;
            EXPECT_EQ(exists(temp), answer != 1 || k.ucb != &tqsftp_config_ucb) << k.install;
        }
    }
}

// Start asks whether the service is busy and clears the names; an open that
// failed changes nothing; a failed close, or a command outside the protocol,
// removes the upload; a rename follows only the current upload.
TEST(Action, TheRestOfTheProtocol)
{
    for (const Kind &k : {kinds[0], kinds[5]}) {
        services.busy = 1;
        EXPECT_EQ(k.action(TQSFTP_ACT_START, nullptr, nullptr), -1);
        services.busy = 0;
        opened(k);
        EXPECT_EQ(k.action(TQSFTP_ACT_START, nullptr, nullptr), 0);
        EXPECT_STREQ(k.ucb->file_name, "");
        EXPECT_STREQ(k.ucb->temp_name, "");
        for (int cmd : {int{TQSFTP_ACT_OPEN_FAILED}, int{TQSFTP_ACT_CLOSE_FAILED}, 6, -1}) {
            opened(k);
            EXPECT_EQ(k.action(cmd, nullptr, nullptr), 0);
            EXPECT_EQ(exists(upload), cmd == TQSFTP_ACT_OPEN_FAILED) << cmd;
            EXPECT_TRUE(services.calls.empty());
        }
        opened(k);
        EXPECT_EQ(k.action(TQSFTP_ACT_RENAME, "/ramdisk/other.bin", "/ramdisk/new.bin"), -1);
        EXPECT_EQ(k.action(TQSFTP_ACT_RENAME, upload.c_str(), "/ramdisk/new.bin"), 0);
        EXPECT_EQ(std::string(k.ucb->file_name) + "|" + k.ucb->temp_name, "/ramdisk/new.bin|" + temp);
        EXPECT_EQ(service_calls("changeFilename").at(0).args, Args{"/ramdisk/new.bin"});
    }
}

// The set-up writes every help file byte for byte, replacing a read-only one.
TEST(UploadInit, WritesTheHelpFiles)
{
    umask(0);
    for (const char *f : {"/tmp/sftp", "/tmp/sftp/nv", "/tmp/sftp/nv/cfg", "/tmp/sftp/upload",
                          "/tmp/sftp/upload/vpn-cert"})
        ASSERT_EQ(::mkdir(f, 0770), 0);
    write_file("/tmp/sftp/upload/vpn-cert/help", std::string(300, '#'));
    ASSERT_EQ(::chmod("/tmp/sftp/upload/vpn-cert/help", 0440), 0);
    EXPECT_EQ(tqsftp_upload_init(), 0);
    for (const Kind &k : kinds) {
        EXPECT_EQ(read_file(k.ucb->help_path), k.ucb->help_text) << k.install;
        EXPECT_EQ(mode_of(k.ucb->help_path), S_IFREG | 0440) << k.install;
    }
    EXPECT_EQ(read_file("/tmp/sftp/upload/vpn-cert/help").size(), 223u);
}
