// The entry: one-time set-up per process, the forced-password rule, the eight
// derived tables and the scratch folders.  Every case runs in a fresh process
// and a fresh device root, so each one sees the plug-in before its set-up.
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "doubles.h"

using namespace tqtest;

namespace {

using Slots = std::array<const void *, 12>;

template <typename... F>
Slots as_slots(F... f)
{
    return {reinterpret_cast<const void *>(f)...};
}

Slots slots(const tqsftp_funcs &t)
{
    return as_slots(t.open, t.close, t.stat, t.read, t.write, t.opendir, t.readdir, t.mkdir,
                    t.rmdir, t.unlink, t.rename, t.link);
}

// Every derived table, slot by slot, for the host table h.
void expect_derived_tables(const tqsftp_funcs &h)
{
    const struct {
        const char *name;
        const tqsftp_funcs &table;
        Slots want;
    } tables[] = {
        {"default_cb", tqsftp_default_cb, slots(h)},
        {"full", tqsftp_funcs_full,
         as_slots(tqsftp_open, tqsftp_close, tqsftp_stat, h.read, h.write, tqsftp_opendir,
                  h.readdir, tqsftp_mkdir, tqsftp_rmdir, tqsftp_unlink, tqsftp_rename,
                  tqsftp_link)},
        {"full_nodir", tqsftp_funcs_full_nodir,
         as_slots(tqsftp_open, tqsftp_close, tqsftp_stat, h.read, tqsftp_upload_write,
                  tqsftp_opendir,
                  h.readdir, tqsftp_deny_mkdir, tqsftp_deny_rmdir, tqsftp_unlink,
                  tqsftp_rename, tqsftp_link)},
        {"rw_limit", tqsftp_funcs_rw_limit,
         as_slots(tqsftp_open, tqsftp_close, tqsftp_stat, h.read, h.write, tqsftp_opendir,
                  h.readdir, tqsftp_deny_mkdir, tqsftp_deny_rmdir, tqsftp_deny_unlink,
                  tqsftp_deny_rename, tqsftp_deny_link)},
        {"readonly", tqsftp_funcs_readonly,
         as_slots(tqsftp_open_readonly, tqsftp_close, tqsftp_stat, h.read, tqsftp_deny_write,
                  tqsftp_opendir, h.readdir, tqsftp_deny_mkdir, tqsftp_deny_rmdir,
                  tqsftp_deny_unlink, tqsftp_deny_rename, tqsftp_deny_link)},
        {"deny", tqsftp_funcs_deny,
         as_slots(tqsftp_deny_open, tqsftp_close, tqsftp_deny_stat, h.read, tqsftp_deny_write,
                  tqsftp_deny_opendir, h.readdir, tqsftp_deny_mkdir, tqsftp_deny_rmdir,
                  tqsftp_deny_unlink, tqsftp_deny_rename, tqsftp_deny_link)},
        {"nvmcfg_dir", tqsftp_funcs_nvmcfg_dir,
         as_slots(tqsftp_open_readonly, tqsftp_close, tqsftp_cfg_stat, h.read,
                  tqsftp_deny_write, tqsftp_opendir, tqsftp_cfg_readdir, tqsftp_deny_mkdir,
                  tqsftp_deny_rmdir, tqsftp_deny_unlink, tqsftp_deny_rename,
                  tqsftp_deny_link)},
        {"nvmcfg_file", tqsftp_funcs_nvmcfg_file,
         as_slots(tqsftp_cfg_open, tqsftp_close, tqsftp_cfg_stat, h.read, tqsftp_upload_write,
                  tqsftp_opendir, h.readdir, tqsftp_deny_mkdir, tqsftp_deny_rmdir,
                  tqsftp_cfg_unlink, tqsftp_cfg_rename, tqsftp_cfg_link)},
        {"envmcfg", tqsftp_funcs_envmcfg,
         as_slots(tqsftp_open, tqsftp_close, tqsftp_stat, h.read, h.write, tqsftp_opendir,
                  h.readdir, tqsftp_mkdir, tqsftp_rmdir, tqsftp_envcfg_unlink, tqsftp_rename,
                  tqsftp_link)},
    };
    for (const auto &t : tables)
        for (int i = 0; i < 12; i++)
            EXPECT_EQ(slots(t.table)[i], t.want[i]) << t.name << ", slot " << i;
}

const char *const folders[] = {
    "/tmp/sftp",          "/tmp/sftp/nv",
    "/tmp/sftp/nv/cfg",   "/tmp/sftp/usb",
    "/tmp/sftp/sd",       "/tmp/sftp/upload",
    "/tmp/sftp/upload/firmware",  "/tmp/sftp/upload/ssh-key",
    "/tmp/sftp/upload/https-cert", "/tmp/sftp/upload/ldap-cert",
    "/tmp/sftp/upload/vpn-cert",
};

}  // namespace

TEST(Entry, FirstCallSetsUpOnceAndCopiesTheHostTable)
{
    umask(0);
    tqsftp_funcs first = host.table;
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/", &first), &tqsftp_funcs_readonly);
    EXPECT_EQ(services.preinit, 1);
    for (const char *f : folders)
        EXPECT_EQ(mode_of(f), S_IFDIR | 0770) << f;
    for (const char *f : {"firmware", "ssh-key", "https-cert", "ldap-cert", "vpn-cert"})
        EXPECT_EQ(mode_of("/tmp/sftp/upload/" + std::string(f) + "/help"), S_IFREG | 0440) << f;
    EXPECT_EQ(mode_of("/tmp/sftp/nv/cfg/help"), S_IFREG | 0440);
    EXPECT_TRUE(services.log.empty()) << "the entry logs nothing";
    expect_derived_tables(host.table);

    // Later changes to the host's table, or another table handed to a later
    // call, change nothing; nothing is made again.
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

// A first call for a path no row covers still sets up; absent host slots stay
// absent wherever a table keeps the host's operation.
TEST(Entry, FirstCallForAnUncoveredPathWithASparseHostTable)
{
    tqsftp_funcs sparse{};
    sparse.open = host.table.open;
    sparse.write = host.table.write;
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/etc/passwd", &sparse), &tqsftp_funcs_deny);
    EXPECT_TRUE(exists("/tmp/sftp/nv/cfg/help"));
    expect_derived_tables(sparse);
}

// A set-up whose folders cannot be made still completes the tables, and is
// not tried again.
TEST(Entry, SetUpIsNotRetriedAfterFailures)
{
    write_file("/tmp/sftp", "a file where the scratch tree belongs");
    EXPECT_EQ(table("/"), &tqsftp_funcs_readonly);
    expect_derived_tables(host.table);
    ASSERT_EQ(::unlink("/tmp/sftp"), 0);
    EXPECT_EQ(table("/"), &tqsftp_funcs_readonly);
    EXPECT_FALSE(exists("/tmp/sftp"));
    EXPECT_EQ(services.preinit, 1);
}

// The set-up is marked as begun first, then the log service is prepared,
// before the host's table is copied: an entry call made from inside it does
// not start it again.
TEST(Entry, SetUpBeginsByMarkingItselfAndPreparingTheLog)
{
    bool copied = true, made = true;
    tqsftp_funcs *nested = nullptr;
    services.on_preinit = [&] {
        copied = tqsftp_default_cb.open != nullptr;
        made = exists("/tmp/sftp");
        nested = table("/usb/x");
    };
    EXPECT_EQ(table("/"), &tqsftp_funcs_readonly);
    services.on_preinit = nullptr;
    EXPECT_EQ(services.preinit, 1);
    EXPECT_FALSE(copied);
    EXPECT_FALSE(made);
    EXPECT_EQ(nested, &tqsftp_funcs_full);
}

TEST(Entry, ForcedPasswordChangeHoldsBackTheSetUp)
{
    services.force_password_status = 1;
    for (const char *p : {"/", "/usb/x", "/etc/passwd"}) {
        tqsftp_funcs *t = table(p);
        EXPECT_EQ(t, tqsftp_resolve(p, nullptr)->funcs) << p;
        EXPECT_EQ(slots(*t), Slots{}) << p;
    }
    EXPECT_FALSE(exists("/tmp/sftp"));
    EXPECT_EQ(services.preinit, 0);

    services.force_password_status = 0;
    EXPECT_EQ(table("/"), &tqsftp_funcs_readonly);
    EXPECT_EQ(services.preinit, 1);
    EXPECT_TRUE(exists("/tmp/sftp/upload/vpn-cert/help"));

    // Once set up, a pending change no longer matters.
    services.force_password_status = 1;
    EXPECT_EQ(table("/usb/x"), &tqsftp_funcs_full);
    expect_derived_tables(host.table);
    EXPECT_EQ(service_calls("forcePassword").size(), 5u) << "asked at every call";
    EXPECT_EQ(services.force_password_seen, 0) << "status preset to 0";
}

class FailingUserManager : public testing::TestWithParam<int> {};

// A user manager that fails is taken as no change pending, whatever status
// it reports.
TEST_P(FailingUserManager, SetsUpAsUsual)
{
    services.force_password_result = GetParam();
    services.force_password_status = 1;
    EXPECT_EQ(table("/"), &tqsftp_funcs_readonly);
    EXPECT_EQ(services.preinit, 1);
    expect_derived_tables(host.table);
}

INSTANTIATE_TEST_SUITE_P(Results, FailingUserManager, testing::Values(-1, 1, 2));

// The entry reports nothing itself: errno is what resolution leaves, not
// what the user manager or the set-up left.
TEST(Entry, ErrnoIsWhatResolutionLeaves)
{
    services.force_password_errno = ENOENT;
    errno = EINTR;
    EXPECT_EQ(table("/"), &tqsftp_funcs_readonly);
    EXPECT_EQ(errno, EINTR) << "after the set-up";
    EXPECT_TRUE(exists("/tmp/sftp/nv/cfg/help"));
    EXPECT_EQ(table("/sd/data"), &tqsftp_funcs_full);
    EXPECT_EQ(table("/etc/passwd"), &tqsftp_funcs_deny);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(table(unresolvable("/usb").c_str()), &tqsftp_funcs_deny);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_TRUE(services.log.empty());
}
