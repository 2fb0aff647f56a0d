// The entry: one-time set-up per process, the forced-password rule, the eight
// derived tables and the scratch folders.  Every case runs in a fresh process
// and a fresh device root, so each one sees the plug-in before its set-up.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>

#include "doubles.h"

using namespace tqtest;

namespace {

const char *const slot_names[12] = {"open",    "close",   "stat",  "read",
                                    "write",   "opendir", "readdir", "mkdir",
                                    "rmdir",   "unlink",  "rename", "link"};

using Slots = std::array<const void *, 12>;

template <typename... F>
Slots as_slots(F... f)
{
    return {reinterpret_cast<const void *>(f)...};
}

Slots slots(const tqsftp_funcs &t)
{
    return as_slots(t.open, t.close, t.stat, t.read, t.write, t.opendir, t.readdir,
                    t.mkdir, t.rmdir, t.unlink, t.rename, t.link);
}

void expect_slots(const char *table, const tqsftp_funcs &got, const Slots &want)
{
    Slots have = slots(got);
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(have[i], want[i]) << table << ", slot " << i << " (" << slot_names[i]
                                    << ")";
}

void expect_all_absent(const tqsftp_funcs *t)
{
    expect_slots("returned table", *t, Slots{});
}

// What every derived table must hold, for a host table h.
void expect_derived_tables(const tqsftp_funcs &h)
{
    const struct {
        const char *name;
        const tqsftp_funcs &table;
        Slots want;
    } tables[] = {
        {"full", tqsftp_funcs_full,
         as_slots(tqsftp_open, tqsftp_close, tqsftp_stat, h.read, h.write,
                  tqsftp_opendir, h.readdir, tqsftp_mkdir, tqsftp_rmdir, tqsftp_unlink,
                  tqsftp_rename, tqsftp_link)},
        {"full_nodir", tqsftp_funcs_full_nodir,
         as_slots(tqsftp_open, tqsftp_close, tqsftp_stat, h.read, h.write,
                  tqsftp_opendir, h.readdir, tqsftp_deny_mkdir, tqsftp_deny_rmdir,
                  tqsftp_unlink, tqsftp_rename, tqsftp_link)},
        {"rw_limit", tqsftp_funcs_rw_limit,
         as_slots(tqsftp_open, tqsftp_close, tqsftp_stat, h.read, h.write,
                  tqsftp_opendir, h.readdir, tqsftp_deny_mkdir, tqsftp_deny_rmdir,
                  tqsftp_deny_unlink, tqsftp_deny_rename, tqsftp_deny_link)},
        {"readonly", tqsftp_funcs_readonly,
         as_slots(tqsftp_open_readonly, tqsftp_close, tqsftp_stat, h.read,
                  tqsftp_deny_write, tqsftp_opendir, h.readdir, tqsftp_deny_mkdir,
                  tqsftp_deny_rmdir, tqsftp_deny_unlink, tqsftp_deny_rename,
                  tqsftp_deny_link)},
        {"deny", tqsftp_funcs_deny,
         as_slots(tqsftp_deny_open, tqsftp_close, tqsftp_deny_stat, h.read,
                  tqsftp_deny_write, tqsftp_deny_opendir, h.readdir, tqsftp_deny_mkdir,
                  tqsftp_deny_rmdir, tqsftp_deny_unlink, tqsftp_deny_rename,
                  tqsftp_deny_link)},
        {"nvmcfg_dir", tqsftp_funcs_nvmcfg_dir,
         as_slots(tqsftp_open_readonly, tqsftp_close, tqsftp_cfg_stat, h.read,
                  tqsftp_deny_write, tqsftp_opendir, tqsftp_cfg_readdir,
                  tqsftp_deny_mkdir, tqsftp_deny_rmdir, tqsftp_deny_unlink,
                  tqsftp_deny_rename, tqsftp_deny_link)},
        {"nvmcfg_file", tqsftp_funcs_nvmcfg_file,
         as_slots(tqsftp_cfg_open, tqsftp_close, tqsftp_cfg_stat, h.read, h.write,
                  tqsftp_opendir, h.readdir, tqsftp_deny_mkdir, tqsftp_deny_rmdir,
                  tqsftp_cfg_unlink, tqsftp_cfg_rename, tqsftp_cfg_link)},
        {"envmcfg", tqsftp_funcs_envmcfg,
         as_slots(tqsftp_open, tqsftp_close, tqsftp_stat, h.read, h.write,
                  tqsftp_opendir, h.readdir, tqsftp_mkdir, tqsftp_rmdir,
                  tqsftp_envcfg_unlink, tqsftp_rename, tqsftp_link)},
    };
    expect_slots("default_cb", tqsftp_default_cb, slots(h));
    for (const auto &t : tables)
        expect_slots(t.name, t.table, t.want);
}

const char *const scratch_folders[] = {
    "/tmp/sftp",
    "/tmp/sftp/nv",
    "/tmp/sftp/nv/cfg",
    "/tmp/sftp/usb",
    "/tmp/sftp/sd",
    "/tmp/sftp/upload",
    "/tmp/sftp/upload/firmware",
    "/tmp/sftp/upload/ssh-key",
    "/tmp/sftp/upload/https-cert",
    "/tmp/sftp/upload/ldap-cert",
    "/tmp/sftp/upload/vpn-cert",
};

const char *const help_files[] = {
    "/tmp/sftp/upload/firmware/help",  "/tmp/sftp/upload/ssh-key/help",
    "/tmp/sftp/upload/https-cert/help", "/tmp/sftp/upload/ldap-cert/help",
    "/tmp/sftp/upload/vpn-cert/help",  "/tmp/sftp/nv/cfg/help",
};

mode_t mode_of(const char *path)
{
    struct stat st;
    return ::stat(path, &st) == 0 ? st.st_mode : 0;
}

tqsftp_funcs *entry(const char *path) { return tqsftp_get_sftp_func_cb(path, &host.table); }

}  // namespace

TEST(Entry, FirstCallSetsUpTheFoldersAndHelpFiles)
{
    umask(0);
    EXPECT_FALSE(exists("/tmp/sftp"));
    EXPECT_EQ(entry("/"), &tqsftp_funcs_readonly);
    EXPECT_EQ(services.preinit, 1);
    for (const char *f : scratch_folders)
        EXPECT_EQ(mode_of(f), S_IFDIR | 0770) << f;
    for (const char *f : help_files)
        EXPECT_EQ(mode_of(f), S_IFREG | 0440) << f;
    EXPECT_EQ(services.log.size(), 0u) << "the entry logs nothing";
}

TEST(Entry, DerivesTheEightTablesFromTheHostTable)
{
    entry("/");
    expect_derived_tables(host.table);
}

// Absent host slots stay absent wherever a table keeps the host's operation.
TEST(Entry, DerivesTheTablesFromASparseHostTable)
{
    tqsftp_funcs sparse{};
    sparse.open = host.table.open;
    sparse.write = host.table.write;
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/usb/x", &sparse), &tqsftp_funcs_full);
    expect_derived_tables(sparse);
}

TEST(Entry, SetsUpOncePerProcess)
{
    tqsftp_funcs first = host.table;
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/", &first), &tqsftp_funcs_readonly);
    // The host's table was copied: later changes to it, or another table
    // handed to a later call, change nothing.
    first = tqsftp_funcs{};
    ASSERT_EQ(::unlink("/tmp/sftp/upload/firmware/help"), 0);
    ASSERT_EQ(::rmdir("/tmp/sftp/usb"), 0);
    tqsftp_funcs other{};
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/", &other), &tqsftp_funcs_readonly);
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/sd/x", &other), &tqsftp_funcs_full);
    EXPECT_EQ(services.preinit, 1);
    EXPECT_FALSE(exists("/tmp/sftp/upload/firmware/help"));
    EXPECT_FALSE(exists("/tmp/sftp/usb"));
    expect_derived_tables(host.table);
}

TEST(Entry, FirstCallForAnUncoveredPathStillSetsUp)
{
    EXPECT_EQ(entry("/etc/passwd"), &tqsftp_funcs_deny);
    EXPECT_TRUE(exists("/tmp/sftp/nv/cfg/help"));
    EXPECT_EQ(tqsftp_funcs_deny.open, tqsftp_deny_open);
}

TEST(Entry, FindsFoldersAndHelpFilesPresent)
{
    for (const char *f : scratch_folders)
        ASSERT_EQ(::mkdir(f, 0700), 0) << f;
    write_file("/tmp/sftp/nv/cfg/help", "stale text of another version, longer");
    ASSERT_EQ(::chmod("/tmp/sftp/nv/cfg/help", 0440), 0);
    EXPECT_EQ(entry("/nv/cfg"), &tqsftp_funcs_nvmcfg_dir);
    expect_derived_tables(host.table);
    EXPECT_EQ(read_file("/tmp/sftp/nv/cfg/help"),
              "Configuration profiles may be copied to/from this directory.");
}

// A set-up whose folders cannot be made still completes the tables, and is
// not tried again.
TEST(Entry, SetUpIsNotRetriedAfterFailures)
{
    write_file("/tmp/sftp", "a file where the scratch tree belongs");
    EXPECT_EQ(entry("/"), &tqsftp_funcs_readonly);
    expect_derived_tables(host.table);
    ASSERT_EQ(::unlink("/tmp/sftp"), 0);
    EXPECT_EQ(entry("/"), &tqsftp_funcs_readonly);
    EXPECT_FALSE(exists("/tmp/sftp"));
    EXPECT_EQ(services.preinit, 1);
}

// The log service is prepared first, before the tables are built, and the
// set-up is marked as begun before that: an entry call made from inside it
// does not start it again.
TEST(Entry, SetUpBeginsByMarkingItselfAndPreparingTheLog)
{
    bool host_table_copied = true, folders_made = true;
    tqsftp_funcs *nested = nullptr;
    services.on_preinit = [&] {
        host_table_copied = tqsftp_default_cb.open != nullptr;
        folders_made = exists("/tmp/sftp");
        nested = entry("/usb/x");
    };
    EXPECT_EQ(entry("/"), &tqsftp_funcs_readonly);
    services.on_preinit = nullptr;
    EXPECT_EQ(services.preinit, 1);
    EXPECT_FALSE(host_table_copied);
    EXPECT_FALSE(folders_made);
    EXPECT_EQ(nested, &tqsftp_funcs_full);
}

TEST(Entry, AsksTheUserManagerOnEveryCall)
{
    entry("/");
    entry("/usb");
    entry("/nowhere");
    ASSERT_EQ(service_calls("forcePassword").size(), 3u);
    EXPECT_EQ(services.force_password_seen, 0) << "status preset to 0";
}

TEST(Entry, ForcedPasswordChangeHoldsBackTheSetUp)
{
    services.force_password_status = 1;
    for (const char *p : {"/", "/usb/x", "/etc/passwd"}) {
        SCOPED_TRACE(p);
        tqsftp_funcs *t = entry(p);
        EXPECT_EQ(t, tqsftp_resolve(p, nullptr)->funcs);
        expect_all_absent(t);
    }
    EXPECT_FALSE(exists("/tmp/sftp"));
    EXPECT_EQ(services.preinit, 0);

    services.force_password_status = 0;
    EXPECT_EQ(entry("/"), &tqsftp_funcs_readonly);
    EXPECT_EQ(services.preinit, 1);
    EXPECT_TRUE(exists("/tmp/sftp/upload/vpn-cert/help"));

    // Once set up, a pending change no longer matters.
    services.force_password_status = 1;
    EXPECT_EQ(entry("/usb/x"), &tqsftp_funcs_full);
    expect_derived_tables(host.table);
}

class FailingUserManager : public testing::TestWithParam<int> {};

// A user manager that fails is taken as no change pending, whatever status
// it reports.
TEST_P(FailingUserManager, SetsUpAsUsual)
{
    services.force_password_result = GetParam();
    services.force_password_status = 1;
    EXPECT_EQ(entry("/"), &tqsftp_funcs_readonly);
    EXPECT_EQ(services.preinit, 1);
    expect_derived_tables(host.table);
    EXPECT_TRUE(exists("/tmp/sftp/nv/cfg/help"));
}

INSTANTIATE_TEST_SUITE_P(Results, FailingUserManager, testing::Values(-1, 1, 2));

// The entry reports nothing itself: errno is what resolution leaves.
TEST(Entry, ErrnoIsWhatResolutionLeaves)
{
    services.force_password_errno = ENOENT;
    errno = EINTR;
    EXPECT_EQ(entry("/"), &tqsftp_funcs_readonly);
    EXPECT_EQ(errno, EINTR) << "after the set-up";
    EXPECT_TRUE(exists("/tmp/sftp/nv/cfg/help"));
    EXPECT_EQ(entry("/sd/data"), &tqsftp_funcs_full);
    EXPECT_EQ(entry("/etc/passwd"), &tqsftp_funcs_deny);
    EXPECT_EQ(errno, EINTR);

    std::string deep;
    for (int i = 0; i < 257; i++)
        deep += "/d";
    EXPECT_EQ(entry(deep.c_str()), &tqsftp_funcs_deny);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(services.log.size(), 0u);
}
