// Upload handling: the control blocks, the action protocol of the six kinds,
// the hand-over to the update service, and the folders and help files.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>

#include "doubles.h"

using namespace tqtest;

namespace {

struct Kind {
    const char *name;
    tqsftp_action_fn action;
    tqsftp_ucb *ucb;
    const char *install;  // the update service's delayed install
    std::string folder;   // of the help, ok and error files
    const char *status;   // the status file in the folder, or absent
    std::string help_text;
    const char *status_text;
};

const Kind kinds[] = {
    {"firmware", tqsftp_firmware_action, &tqsftp_firmware_ucb, "firmwareDelayed",
     "/tmp/sftp/upload/firmware/", "updating",
     "To perform a firmware update, copy the new firmware into this directory.",
     "Update in progress (%u%%) - please wait."},
    {"sshKey", tqsftp_sshKey_action, &tqsftp_sshkey_ucb, "sshKeyDelayed",
     "/tmp/sftp/upload/ssh-key/", nullptr,
     "To install a SSH key, copy the key into this directory.", nullptr},
    {"https", tqsftp_https_action, &tqsftp_https_ucb, "httpsCertDelayed",
     "/tmp/sftp/upload/https-cert/", nullptr,
     "To install the HTTPS certificate, copy the certificate into this directory.", nullptr},
    {"ldap", tqsftp_ldap_action, &tqsftp_ldap_ucb, "ldapCacertDelayed",
     "/tmp/sftp/upload/ldap-cert/", nullptr,
     "To install the LDAP CA certificate, copy the certificate into this directory.", nullptr},
    {"vpn", tqsftp_vpn_action, &tqsftp_vpn_ucb, "vpnCertDelayed", "/tmp/sftp/upload/vpn-cert/",
     nullptr,
     "To install a VPN certificate, copy the certificate, private key and any CA certificates "
     "in this folder. P12 files containing everything are also supported.\r\n\r\nWARNING:file "
     "uploaded to the device cannot be downloaded back!\r\n",
     nullptr},
    {"config", tqsftp_config_action, &tqsftp_config_ucb, "configDelayed", "/tmp/sftp/nv/cfg/",
     "status", "Configuration profiles may be copied to/from this directory.",
     "Operation in progress - please wait."},
};

void PrintTo(const Kind &k, std::ostream *os) { *os << k.name; }

// The upload and its temporary file, both real files of the device root.
const std::string upload = "/ramdisk/upload.bin", temp = "/ramdisk/lighty.tmp";
const std::string both = upload + "|" + temp;

std::string names(const tqsftp_ucb &u) { return std::string(u.file_name) + "|" + u.temp_name; }

std::string text(const char *s) { return s ? s : "(absent)"; }

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
        ASSERT_EQ(k.action(TQSFTP_ACT_OPENED, upload.c_str(), temp.c_str()), 0);
        clear();
    }
};

INSTANTIATE_TEST_SUITE_P(Kinds, Action, testing::ValuesIn(kinds));

TEST_P(Action, TheBlockHoldsTheKindsPathsAndTexts)
{
    EXPECT_EQ(ucb.upd_param, 2u);
    EXPECT_EQ(names(ucb), "|") << "empty at load";
    EXPECT_EQ(ucb.help_path, k.folder + "help");
    EXPECT_EQ(ucb.ok_path, k.folder + "ok");
    EXPECT_EQ(ucb.error_path, k.folder + "error");
    EXPECT_EQ(text(ucb.status_path), k.status ? k.folder + k.status : "(absent)");
    EXPECT_EQ(ucb.help_text, k.help_text);
    EXPECT_EQ(text(ucb.status_text), text(k.status_text));
    EXPECT_EQ(ucb.temp_name, ucb.file_name + TQSFTP_NAME_SIZE) << "back to back";
}

TEST_P(Action, StartClearsBothNamesUnlessTheServiceIsBusy)
{
    for (int busy : {1, 0, 2, -1}) {
        SCOPED_TRACE("busy answers " + std::to_string(busy));
        memset(ucb.file_name, 'f', TQSFTP_NAME_SIZE - 1);
        memset(ucb.temp_name, 't', TQSFTP_NAME_SIZE - 1);
        std::string before(ucb.file_name, 2 * TQSFTP_NAME_SIZE), zero(before.size(), '\0');
        services.busy = busy;
        clear();
        EXPECT_EQ(k.action(TQSFTP_ACT_START, upload.c_str(), nullptr), busy == 1 ? -1 : 0);
        EXPECT_EQ(std::string(ucb.file_name, before.size()), busy == 1 ? before : zero);
        EXPECT_EQ(services.calls.size(), service_calls("busy").size());
        EXPECT_EQ(services.calls.size(), 1u);
    }
}

TEST_P(Action, OpenedStoresTheNamesGiven)
{
    const char *steps[][3] = {{"/a/first", nullptr, "/a/first|"},
                              {nullptr, "/a/temp", "/a/first|/a/temp"},
                              {"/a/second", nullptr, "/a/second|/a/temp"},
                              {nullptr, nullptr, "/a/second|/a/temp"}};
    for (auto &s : steps) {
        EXPECT_EQ(k.action(TQSFTP_ACT_OPENED, s[0], s[1]), 0);
        EXPECT_EQ(names(ucb), s[2]);
    }
    EXPECT_TRUE(services.calls.empty());

    // A name is never cut: one of 80 characters leaves the block naming
    // nothing, so nothing else is removed later; a rename to one is refused.
    std::string cut = "/ramdisk/" + std::string(70, 'c'), a = cut + "a";
    write_file(cut, "x");
    errno = 0;
    EXPECT_EQ(k.action(TQSFTP_ACT_OPENED, a.c_str(), nullptr), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(names(ucb), "|");
    EXPECT_EQ(k.action(TQSFTP_ACT_CLOSE_FAILED, nullptr, nullptr), 0);
    EXPECT_TRUE(exists(cut));
    EXPECT_EQ(k.action(TQSFTP_ACT_OPENED, cut.c_str(), nullptr), 0);
    EXPECT_EQ(k.action(TQSFTP_ACT_RENAME, cut.c_str(), a.c_str()), -1);
    EXPECT_EQ(names(ucb), cut + "|");
    EXPECT_TRUE(services.calls.empty());
}

// Every close reaches the kind's own service with the block's own buffer;
// only an answer of 1 refuses, and the upload is then removed: the temporary
// file where the block has one (a profile's name is the store's).  The names
// are kept.
TEST_P(Action, ClosedHandsTheUploadToTheKindsService)
{
    for (int answer : {0, 2, -1, 1}) {
        SCOPED_TRACE("the service answers " + std::to_string(answer));
        opened();
        services.delayed = answer;
        EXPECT_EQ(k.action(TQSFTP_ACT_CLOSED, upload.c_str(), nullptr), answer == 1 ? -1 : 0);
        EXPECT_EQ(k.action(TQSFTP_ACT_CLOSED, nullptr, nullptr), answer == 1 ? -1 : 0);
        ASSERT_EQ(services.calls.size(), 2u);
        for (const Call &c : services.calls) {
            EXPECT_EQ(c.what, k.install);
            EXPECT_EQ(c.args, (Args{upload, "2"}));
            EXPECT_EQ(c.name, ucb.file_name);
        }
        EXPECT_TRUE(exists(upload));
        EXPECT_EQ(exists(temp), answer != 1);
        EXPECT_EQ(names(ucb), both);
    }
}

// An open that failed changes nothing; a failed close, and any command
// outside the protocol, removes the upload.
TEST_P(Action, OtherCommandsRemoveTheUploadOrNothing)
{
    for (int cmd : {int{TQSFTP_ACT_OPEN_FAILED}, int{TQSFTP_ACT_CLOSE_FAILED}, 6, 7, -1, INT_MIN,
                    INT_MAX}) {
        SCOPED_TRACE("command " + std::to_string(cmd));
        opened();
        EXPECT_EQ(k.action(cmd, nullptr, nullptr), 0);
        EXPECT_TRUE(exists(upload));
        EXPECT_EQ(exists(temp), cmd == TQSFTP_ACT_OPEN_FAILED);
        EXPECT_EQ(names(ucb), both);
        EXPECT_TRUE(services.calls.empty());
    }
}

TEST_P(Action, RenameFollowsOnlyTheCurrentUpload)
{
    opened();
    EXPECT_EQ(k.action(TQSFTP_ACT_RENAME, "/ramdisk/other.bin", "/ramdisk/new.bin"), -1);
    EXPECT_EQ(k.action(TQSFTP_ACT_RENAME, "/RAMDISK/upload.bin", "/ramdisk/new.bin"), -1);
    EXPECT_EQ(names(ucb), both);
    EXPECT_TRUE(services.calls.empty());

    EXPECT_EQ(k.action(TQSFTP_ACT_RENAME, upload.c_str(), "/ramdisk/new.bin"), 0);
    EXPECT_EQ(names(ucb), "/ramdisk/new.bin|" + temp);
    ASSERT_EQ(services.calls.size(), 1u);
    EXPECT_EQ(services.calls[0].what, "changeFilename");
    EXPECT_EQ(services.calls[0].args, Args{"/ramdisk/new.bin"});
    EXPECT_EQ(services.calls[0].name, ucb.file_name);
    EXPECT_TRUE(exists(upload)) << "the action renames no file";
}

// The set-up makes the folders and writes every help file, byte for byte,
// whether or not they are there already (a read-only one is replaced).
class UploadInit : public testing::TestWithParam<bool> {};

TEST_P(UploadInit, MakesTheFoldersAndWritesTheHelpFiles)
{
    umask(0);
    const char *const folders[] = {"/tmp/sftp", "/tmp/sftp/nv", "/tmp/sftp/nv/cfg",
                                   "/tmp/sftp/upload", "/tmp/sftp/upload/firmware",
                                   "/tmp/sftp/upload/ssh-key", "/tmp/sftp/upload/https-cert",
                                   "/tmp/sftp/upload/ldap-cert", "/tmp/sftp/upload/vpn-cert"};
    for (const char *f : folders)
        ASSERT_TRUE((!GetParam() && strstr(f, "upload")) || ::mkdir(f, 0770) == 0) << f;
    for (const Kind &k : kinds) {
        if (GetParam()) {
            write_file(k.folder + "help", std::string(300, '#'));
            ASSERT_EQ(::chmod((k.folder + "help").c_str(), 0440), 0);
        }
    }
    EXPECT_EQ(tqsftp_upload_init(), 0);
    for (const char *f : folders)
        EXPECT_EQ(mode_of(f), S_IFDIR | 0770) << f;
    for (const Kind &k : kinds) {
        EXPECT_EQ(read_file(k.folder + "help"), k.help_text) << k.name;
        EXPECT_EQ(mode_of(k.folder + "help"), S_IFREG | 0440) << k.name;
    }
    EXPECT_EQ(read_file("/tmp/sftp/upload/vpn-cert/help").size(), 223u);
    EXPECT_TRUE(services.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(Present, UploadInit, testing::Bool());

TEST(UploadInitFailure, StopsAtTheFirstHelpFileThatCannotBeWritten)
{
    // A folder that is not empty stands where the HTTPS help file belongs.
    for (const char *f : {"/tmp/sftp", "/tmp/sftp/nv", "/tmp/sftp/nv/cfg", "/tmp/sftp/upload",
                          "/tmp/sftp/upload/https-cert", "/tmp/sftp/upload/https-cert/help"})
        ASSERT_EQ(::mkdir(f, 0770), 0);
    write_file("/tmp/sftp/upload/https-cert/help/x", "x");
    EXPECT_EQ(tqsftp_upload_init(), -1);
    for (const Kind &k : kinds) {
        bool before = k.ucb == &tqsftp_firmware_ucb || k.ucb == &tqsftp_sshkey_ucb;
        EXPECT_EQ(read_file(k.folder + "help") == k.help_text, before) << k.name;
    }
    EXPECT_TRUE(exists("/tmp/sftp/upload/vpn-cert")) << "all folders come first";
}

TEST(WriteTextFile, ReplacesTheFileByExactlyTheText)
{
    umask(0);
    write_file("/ramdisk/t", "a much longer text than the new one");
    EXPECT_EQ(tqsftp_writeTextFile("/ramdisk/t", "short", 0640), 0);
    EXPECT_EQ(read_file("/ramdisk/t"), "short");
    EXPECT_EQ(mode_of("/ramdisk/t"), S_IFREG | 0640);
    EXPECT_EQ(tqsftp_writeTextFile("/ramdisk/empty", "", 0600), 0);
    EXPECT_EQ(mode_of("/ramdisk/empty"), S_IFREG | 0600);
    EXPECT_EQ(read_file("/ramdisk/empty"), "");
    EXPECT_EQ(tqsftp_writeTextFile("/ramdisk/no/such/folder", "x", 0600), -1);

    // A short write fails and leaves the part written.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = {10, 10};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_EQ(tqsftp_writeTextFile("/ramdisk/t", "0123456789abcdef", 0600), -1);
    EXPECT_EQ(read_file("/ramdisk/t"), "0123456789");
}
