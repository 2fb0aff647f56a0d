// The upload actions: the protocol, the hand-over to each kind's service, the help files.
#include "doubles.h"

using namespace tqtest;

namespace {

const std::string upload = "/ramdisk/upload.bin", temp = "/ramdisk/lighty.tmp";
const std::tuple<tqsftp_action_fn, tqsftp_ucb *, const char *> kinds[] = {
    {tqsftp_firmware_action, &tqsftp_firmware_ucb, "firmwareDelayed"},
    {tqsftp_sshKey_action, &tqsftp_sshkey_ucb, "sshKeyDelayed"},
    {tqsftp_https_action, &tqsftp_https_ucb, "httpsCertDelayed"},
    {tqsftp_ldap_action, &tqsftp_ldap_ucb, "ldapCacertDelayed"},
    {tqsftp_vpn_action, &tqsftp_vpn_ucb, "vpnCertDelayed"},
    {tqsftp_config_action, &tqsftp_config_ucb, "configDelayed"},
};

// An upload in progress: both files exist; the block names them (the temporary if given).
void opened(tqsftp_action_fn action, const char *temp_name = temp.c_str())
{
    write_file(upload, "data");
    write_file(temp, "temp");
    ASSERT_EQ(action(TQSFTP_ACT_START, nullptr, nullptr), 0);
    ASSERT_EQ(action(TQSFTP_ACT_OPENED, upload.c_str(), temp_name), 0);
    clear();
}

}  // namespace

// A close reaches the kind's service with the block's name and 2; an answer of 1 refuses
// it and removes what the upload wrote.  The set-up replaces a read-only help file.
TEST(Action, ClosedHandsTheUploadToTheKindsService)
{
    table("/");  // the set-up writes the help files, read-only
    write_file("/tmp/sftp/upload/vpn-cert/help", std::string(300, '#'));
    EXPECT_EQ(tqsftp_upload_init(), 0);
    for (const auto &[action, ucb, install] : kinds) {
        EXPECT_EQ(read_file(ucb->help_path), ucb->help_text);
        for (int answer : {0, 2, 1}) {
            for (const char *temp_name : {temp.c_str(), (const char *)nullptr}) {
                opened(action, temp_name);
                services.delayed = answer;
                EXPECT_EQ(action(TQSFTP_ACT_CLOSED, nullptr, nullptr), answer == 1 ? -1 : 0);
                EXPECT_EQ(services.calls, Args{std::string(install) + " " + upload + " 2"});
                EXPECT_EQ(services.name, ucb->file_name);
                EXPECT_EQ(exists(upload), answer != 1 || temp_name) << install;
                EXPECT_EQ(exists(temp), answer != 1 || !temp_name) << install;
            }
        }
    }
}

// Start clears the names; a failed close or an unknown command removes what the upload
// wrote; a rename follows only the current upload; an unfit name leaves the block empty.
TEST(Action, TheRestOfTheProtocol)
{
    const std::string cut = "/ramdisk/" + std::string(70, 'c'), longer = cut + "a";
    for (const auto &[action, ucb, install] : {kinds[0], kinds[5]}) {
        opened(action);
        EXPECT_EQ(action(TQSFTP_ACT_START, nullptr, nullptr), 0);
        EXPECT_EQ(std::string(ucb->file_name) + ucb->temp_name, "") << install;
        for (int cmd : {int{TQSFTP_ACT_OPEN_FAILED}, int{TQSFTP_ACT_CLOSE_FAILED}, 6, -1}) {
            opened(action);
            EXPECT_EQ(action(cmd, nullptr, nullptr), 0);
            EXPECT_TRUE(exists(upload) && services.calls.empty());
            EXPECT_EQ(exists(temp), cmd == TQSFTP_ACT_OPEN_FAILED) << cmd;
        }
        opened(action);
        EXPECT_EQ(action(TQSFTP_ACT_RENAME, "/ramdisk/other.bin", "/ramdisk/new.bin"), -1);
        EXPECT_EQ(action(TQSFTP_ACT_RENAME, upload.c_str(), "/ramdisk/new.bin"), 0);
        EXPECT_EQ(std::string(ucb->file_name) + "|" + ucb->temp_name, "/ramdisk/new.bin|" + temp);
        EXPECT_EQ(services.calls, Args{"changeFilename /ramdisk/new.bin"});
        errno = 0;
        EXPECT_EQ(action(TQSFTP_ACT_RENAME, "/ramdisk/new.bin", longer.c_str()), -1);
        EXPECT_EQ(errno, ENAMETOOLONG);
        errno = 0;
        EXPECT_EQ(action(TQSFTP_ACT_OPENED, longer.c_str(), nullptr), -1);
        EXPECT_EQ(errno, ENAMETOOLONG);
        write_file(cut, "x");
        EXPECT_EQ(action(TQSFTP_ACT_CLOSE_FAILED, nullptr, nullptr), 0);
        EXPECT_EQ(std::string(ucb->file_name) + ucb->temp_name, "");
        EXPECT_TRUE(exists(cut) && exists(temp));
    }
}
