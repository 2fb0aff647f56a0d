// Upload handling: the control blocks, the action protocol of the six kinds,
// the hand-over to the update service, and the folders and help files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <string>

#include "doubles.h"

using namespace tqtest;

namespace {

struct Kind {
    const char *name;
    tqsftp_action_fn action;
    tqsftp_ucb *ucb;
    const char *install;  // the update service's delayed install
    bool removes_temp;    // a refused install also removes temp_name
    const char *help_path;
    const char *status_path;
    const char *ok_path;
    const char *error_path;
    const char *help_text;
    const char *status_text;
};

const std::string vpn_help =
    "To install a VPN certificate, copy the certificate, private key and any CA "
    "certificates in this folder. P12 files containing everything are also "
    "supported.\r\n\r\nWARNING:file uploaded to the device cannot be downloaded "
    "back!\r\n";

const Kind kinds[] = {
    {"firmware", tqsftp_firmware_action, &tqsftp_firmware_ucb, "firmwareDelayed", false,
     "/tmp/sftp/upload/firmware/help", "/tmp/sftp/upload/firmware/updating",
     "/tmp/sftp/upload/firmware/ok", "/tmp/sftp/upload/firmware/error",
     "To perform a firmware update, copy the new firmware into this directory.",
     "Update in progress (%u%%) - please wait."},
    {"sshKey", tqsftp_sshKey_action, &tqsftp_sshkey_ucb, "sshKeyDelayed", false,
     "/tmp/sftp/upload/ssh-key/help", nullptr, "/tmp/sftp/upload/ssh-key/ok",
     "/tmp/sftp/upload/ssh-key/error",
     "To install a SSH key, copy the key into this directory.", nullptr},
    {"https", tqsftp_https_action, &tqsftp_https_ucb, "httpsCertDelayed", false,
     "/tmp/sftp/upload/https-cert/help", nullptr, "/tmp/sftp/upload/https-cert/ok",
     "/tmp/sftp/upload/https-cert/error",
     "To install the HTTPS certificate, copy the certificate into this directory.",
     nullptr},
    {"ldap", tqsftp_ldap_action, &tqsftp_ldap_ucb, "ldapCacertDelayed", false,
     "/tmp/sftp/upload/ldap-cert/help", nullptr, "/tmp/sftp/upload/ldap-cert/ok",
     "/tmp/sftp/upload/ldap-cert/error",
     "To install the LDAP CA certificate, copy the certificate into this directory.",
     nullptr},
    {"vpn", tqsftp_vpn_action, &tqsftp_vpn_ucb, "vpnCertDelayed", false,
     "/tmp/sftp/upload/vpn-cert/help", nullptr, "/tmp/sftp/upload/vpn-cert/ok",
     "/tmp/sftp/upload/vpn-cert/error", vpn_help.c_str(), nullptr},
    {"config", tqsftp_config_action, &tqsftp_config_ucb, "configDelayed", true,
     "/tmp/sftp/nv/cfg/help", "/tmp/sftp/nv/cfg/status", "/tmp/sftp/nv/cfg/ok",
     "/tmp/sftp/nv/cfg/error",
     "Configuration profiles may be copied to/from this directory.",
     "Operation in progress - please wait."},
};

const char *const upload_folders[] = {
    "/tmp/sftp/upload",           "/tmp/sftp/upload/firmware",
    "/tmp/sftp/upload/ssh-key",   "/tmp/sftp/upload/https-cert",
    "/tmp/sftp/upload/ldap-cert", "/tmp/sftp/upload/vpn-cert",
};

// The upload and its temporary file, both real files of the device root.
const char *const upload = "/ramdisk/upload.bin";
const char *const temp = "/ramdisk/lighty.tmp";

std::string names(const tqsftp_ucb &u)
{
    return std::string(u.file_name) + "|" + u.temp_name;
}

mode_t mode_of(const char *path)
{
    struct stat st;
    return ::stat(path, &st) == 0 ? st.st_mode : 0;
}

std::string text_or_absent(const char *s) { return s ? s : "(absent)"; }

void PrintTo(const Kind &k, std::ostream *os) { *os << k.name; }

}  // namespace

class Action : public testing::TestWithParam<Kind> {
protected:
    const Kind &k = GetParam();
    tqsftp_ucb &ucb = *GetParam().ucb;

    // An upload in progress: both files exist and the block names them.
    void opened()
    {
        write_file(upload, "data");
        write_file(temp, "temp");
        ASSERT_EQ(k.action(TQSFTP_ACT_OPENED, upload, temp), 0);
        clear();
    }
};

INSTANTIATE_TEST_SUITE_P(Kinds, Action, testing::ValuesIn(kinds));

TEST_P(Action, TheBlockHoldsTheKindsPathsAndTexts)
{
    EXPECT_EQ(ucb.upd_param, 2u);
    EXPECT_EQ(names(ucb), "|") << "empty at load";
    EXPECT_STREQ(ucb.help_path, k.help_path);
    EXPECT_EQ(text_or_absent(ucb.status_path), text_or_absent(k.status_path));
    EXPECT_STREQ(ucb.ok_path, k.ok_path);
    EXPECT_STREQ(ucb.error_path, k.error_path);
    EXPECT_STREQ(ucb.help_text, k.help_text);
    EXPECT_EQ(text_or_absent(ucb.status_text), text_or_absent(k.status_text));
    EXPECT_EQ(ucb.temp_name, ucb.file_name + TQSFTP_NAME_SIZE) << "back to back";
}

TEST_P(Action, StartClearsBothNamesUnlessTheServiceIsBusy)
{
    for (int busy : {1, 0, 2, -1}) {
        SCOPED_TRACE("busy answers " + std::to_string(busy));
        memset(ucb.file_name, 'f', TQSFTP_NAME_SIZE - 1);
        memset(ucb.temp_name, 't', TQSFTP_NAME_SIZE - 1);
        std::string before = names(ucb);
        services.busy = busy;
        clear();
        if (busy == 1) {
            EXPECT_EQ(k.action(TQSFTP_ACT_START, upload, nullptr), -1);
            EXPECT_EQ(names(ucb), before);
        } else {
            EXPECT_EQ(k.action(TQSFTP_ACT_START, upload, nullptr), 0);
            EXPECT_EQ(std::string(ucb.file_name, 2 * TQSFTP_NAME_SIZE),
                      std::string(2 * TQSFTP_NAME_SIZE, '\0'));
        }
        EXPECT_EQ(service_calls("busy").size(), 1u);
        EXPECT_EQ(services.calls.size(), 1u);
    }
}

TEST_P(Action, OpenedStoresTheNamesGiven)
{
    EXPECT_EQ(k.action(TQSFTP_ACT_OPENED, "/a/first", nullptr), 0);
    EXPECT_EQ(names(ucb), "/a/first|");
    EXPECT_EQ(k.action(TQSFTP_ACT_OPENED, nullptr, "/a/temp"), 0);
    EXPECT_EQ(names(ucb), "/a/first|/a/temp");
    EXPECT_EQ(k.action(TQSFTP_ACT_OPENED, "/a/second", nullptr), 0);
    EXPECT_EQ(names(ucb), "/a/second|/a/temp");
    EXPECT_EQ(k.action(TQSFTP_ACT_OPENED, nullptr, nullptr), 0);
    EXPECT_EQ(names(ucb), "/a/second|/a/temp");
    EXPECT_TRUE(services.calls.empty());
}

TEST_P(Action, NamesAreCutTo79Characters)
{
    std::string a = "/ramdisk/" + std::string(91, 'a');
    std::string b = "/ramdisk/" + std::string(91, 'b');
    std::string c = "/ramdisk/" + std::string(91, 'c');
    ASSERT_EQ(a.size(), 100u);
    EXPECT_EQ(k.action(TQSFTP_ACT_OPENED, a.c_str(), b.c_str()), 0);
    EXPECT_EQ(names(ucb), a.substr(0, 79) + "|" + b.substr(0, 79));
    EXPECT_EQ(k.action(TQSFTP_ACT_RENAME, a.substr(0, 79).c_str(), c.c_str()), 0);
    EXPECT_EQ(std::string(ucb.file_name), c.substr(0, 79));
    ASSERT_EQ(service_calls("changeFilename").size(), 1u);
    EXPECT_EQ(service_calls("changeFilename")[0].args[0], c.substr(0, 79));
    // Later removals use the cut name.
    write_file(c.substr(0, 79), "x");
    EXPECT_EQ(k.action(TQSFTP_ACT_CLOSE_FAILED, nullptr, nullptr), 0);
    EXPECT_FALSE(exists(c.substr(0, 79)));
}

TEST_P(Action, OpenFailedChangesNothing)
{
    opened();
    EXPECT_EQ(k.action(TQSFTP_ACT_OPEN_FAILED, upload, nullptr), 0);
    EXPECT_EQ(names(ucb), std::string(upload) + "|" + temp);
    EXPECT_TRUE(exists(upload));
    EXPECT_TRUE(services.calls.empty());
}

TEST_P(Action, ClosedHandsTheUploadToTheKindsService)
{
    for (int answer : {0, 2, -1}) {
        SCOPED_TRACE("the service answers " + std::to_string(answer));
        opened();
        services.delayed = answer;
        EXPECT_EQ(k.action(TQSFTP_ACT_CLOSED, upload, nullptr), 0);
        ASSERT_EQ(services.calls.size(), 1u);
        const Call &c = services.calls[0];
        EXPECT_EQ(c.what, k.install);
        EXPECT_EQ(c.args, (std::vector<std::string>{upload, "2"}));
        EXPECT_EQ(c.name, ucb.file_name) << "the block's own buffer";
        EXPECT_TRUE(exists(upload));
        EXPECT_TRUE(exists(temp));
        EXPECT_EQ(names(ucb), std::string(upload) + "|" + temp) << "names are kept";
    }
}

TEST_P(Action, ARefusedInstallRemovesTheUpload)
{
    opened();
    services.delayed = 1;
    EXPECT_EQ(k.action(TQSFTP_ACT_CLOSED, upload, nullptr), -1);
    EXPECT_EQ(service_calls(k.install).size(), 1u);
    EXPECT_FALSE(exists(upload));
    EXPECT_EQ(exists(temp), !k.removes_temp);
    EXPECT_EQ(names(ucb), std::string(upload) + "|" + temp);
}

TEST_P(Action, EveryCloseReachesTheService)
{
    opened();
    EXPECT_EQ(k.action(TQSFTP_ACT_CLOSED, nullptr, nullptr), 0);
    EXPECT_EQ(k.action(TQSFTP_ACT_CLOSED, nullptr, nullptr), 0);
    auto calls = service_calls(k.install);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args, calls[1].args);
}

TEST_P(Action, FailedCloseAndUnknownCommandsRemoveTheUpload)
{
    for (int cmd : {int{TQSFTP_ACT_CLOSE_FAILED}, 6, 7, -1, INT_MIN, INT_MAX}) {
        SCOPED_TRACE("command " + std::to_string(cmd));
        opened();
        EXPECT_EQ(k.action(cmd, nullptr, nullptr), 0);
        EXPECT_FALSE(exists(upload));
        EXPECT_TRUE(exists(temp));
        EXPECT_EQ(names(ucb), std::string(upload) + "|" + temp);
        EXPECT_TRUE(services.calls.empty());
    }
}

TEST_P(Action, RenameFollowsOnlyTheCurrentUpload)
{
    opened();
    EXPECT_EQ(k.action(TQSFTP_ACT_RENAME, "/ramdisk/other.bin", "/ramdisk/new.bin"), -1);
    EXPECT_EQ(k.action(TQSFTP_ACT_RENAME, "/RAMDISK/upload.bin", "/ramdisk/new.bin"), -1);
    EXPECT_EQ(names(ucb), std::string(upload) + "|" + temp);
    EXPECT_TRUE(services.calls.empty());

    EXPECT_EQ(k.action(TQSFTP_ACT_RENAME, upload, "/ramdisk/new.bin"), 0);
    EXPECT_EQ(names(ucb), std::string("/ramdisk/new.bin|") + temp);
    ASSERT_EQ(services.calls.size(), 1u);
    EXPECT_EQ(services.calls[0].what, "changeFilename");
    EXPECT_EQ(services.calls[0].args[0], "/ramdisk/new.bin");
    EXPECT_EQ(services.calls[0].name, ucb.file_name);
    EXPECT_TRUE(exists(upload)) << "the action renames no file";
}

// Each kind's action works on its own block only.
TEST_P(Action, TouchesOnlyItsOwnBlock)
{
    EXPECT_EQ(k.action(TQSFTP_ACT_OPENED, "/ramdisk/mine", "/ramdisk/mine.tmp"), 0);
    for (const Kind &other : kinds)
        EXPECT_EQ(names(*other.ucb), other.ucb == &ucb ? "/ramdisk/mine|/ramdisk/mine.tmp" : "|")
            << other.name;
}

TEST(GenericAction, ClosedCallsNoServiceItself)
{
    tqsftp_ucb block{};
    EXPECT_EQ(tqsftp_generic_action(TQSFTP_ACT_OPENED, &block, "/ramdisk/x", nullptr), 0);
    EXPECT_EQ(tqsftp_generic_action(TQSFTP_ACT_CLOSED, &block, "/ramdisk/x", nullptr), 0);
    EXPECT_STREQ(block.file_name, "/ramdisk/x");
    EXPECT_TRUE(services.calls.empty());
}

class UploadInit : public testing::Test {
protected:
    void SetUp() override
    {
        umask(0);
        for (const char *f : {"/tmp/sftp", "/tmp/sftp/nv", "/tmp/sftp/nv/cfg"})
            ASSERT_EQ(::mkdir(f, 0770), 0);
    }
};

TEST_F(UploadInit, MakesTheFoldersAndWritesTheHelpFiles)
{
    EXPECT_EQ(tqsftp_upload_init(), 0);
    for (const char *f : upload_folders)
        EXPECT_EQ(mode_of(f), S_IFDIR | 0770) << f;
    for (const Kind &k : kinds) {
        EXPECT_EQ(read_file(k.help_path), k.help_text) << k.help_path;
        EXPECT_EQ(mode_of(k.help_path), S_IFREG | 0440) << k.help_path;
    }
    std::string vpn = read_file("/tmp/sftp/upload/vpn-cert/help");
    EXPECT_EQ(vpn.size(), 223u);
    EXPECT_EQ(vpn.substr(vpn.size() - 2), "\r\n");
    EXPECT_TRUE(services.calls.empty());
}

TEST_F(UploadInit, ReplacesReadOnlyHelpFiles)
{
    for (const char *f : upload_folders)
        ASSERT_EQ(::mkdir(f, 0700), 0);
    for (const Kind &k : kinds) {
        write_file(k.help_path, std::string(300, '#'));
        ASSERT_EQ(::chmod(k.help_path, 0440), 0);
    }
    EXPECT_EQ(tqsftp_upload_init(), 0);
    for (const Kind &k : kinds)
        EXPECT_EQ(read_file(k.help_path), k.help_text) << k.help_path;
}

TEST_F(UploadInit, StopsAtTheFirstHelpFileThatCannotBeWritten)
{
    // A folder that is not empty stands where the HTTPS help file belongs.
    for (const char *f : {"/tmp/sftp/upload", "/tmp/sftp/upload/https-cert",
                          "/tmp/sftp/upload/https-cert/help"})
        ASSERT_EQ(::mkdir(f, 0770), 0);
    write_file("/tmp/sftp/upload/https-cert/help/x", "x");
    EXPECT_EQ(tqsftp_upload_init(), -1);
    for (const Kind &k : kinds) {
        bool before = k.ucb == &tqsftp_firmware_ucb || k.ucb == &tqsftp_sshkey_ucb;
        EXPECT_EQ(read_file(k.help_path) == k.help_text, before) << k.help_path;
    }
    EXPECT_TRUE(exists("/tmp/sftp/upload/vpn-cert")) << "all folders come first";
}

TEST(UploadInitAlone, TheProfileHelpNeedsItsFolder)
{
    ASSERT_EQ(::mkdir("/tmp/sftp", 0770), 0);
    EXPECT_EQ(tqsftp_upload_init(), -1);
    EXPECT_TRUE(exists("/tmp/sftp/upload/vpn-cert/help"));
    EXPECT_FALSE(exists("/tmp/sftp/nv/cfg"));
}

TEST(WriteTextFile, ReplacesTheFileByExactlyTheText)
{
    umask(0);
    write_file("/ramdisk/t", "a much longer text than the new one");
    EXPECT_EQ(tqsftp_writeTextFile("/ramdisk/t", "short", 0640), 0);
    EXPECT_EQ(read_file("/ramdisk/t"), "short");
    EXPECT_EQ(mode_of("/ramdisk/t"), S_IFREG | 0640);
    EXPECT_EQ(tqsftp_writeTextFile("/ramdisk/empty", "", 0600), 0);
    EXPECT_TRUE(exists("/ramdisk/empty"));
    EXPECT_EQ(read_file("/ramdisk/empty"), "");
    EXPECT_EQ(tqsftp_writeTextFile("/ramdisk/no/such/folder", "x", 0600), -1);
}

TEST(WriteTextFile, AShortWriteFailsAndLeavesThePart)
{
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = {10, 10};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_EQ(tqsftp_writeTextFile("/ramdisk/t", "0123456789abcdef", 0600), -1);
    EXPECT_EQ(read_file("/ramdisk/t"), "0123456789");
}
