// Normalisation of client paths and their resolution to a row, a real path
// and a table.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "doubles.h"

using namespace tqtest;

namespace {

std::string normalise(const char *in, size_t size)
{
    std::string out(size, 'X');
    errno = 0;
    if (tqsftp_normalizePath(in, size ? out.data() : nullptr, size) != 0)
        return errno == ENOMEM && out == std::string(size, 'X') ? "<ENOMEM>" : "<bad failure>";
    return out.c_str();
}

std::string repeat(const std::string &part, int n)
{
    std::string s;
    while (n-- > 0)
        s += part;
    return s;
}

}  // namespace

TEST(Normalise, CanonicalFormCutToTheSize)
{
    const std::string deep = repeat("/a", 256), deeper = deep + "/a";
    const struct {
        std::string in;
        size_t size;  // 0: the input's length plus 5, as resolution gives
        std::string out;
    } cases[] = {
        {"", 0, "/"}, {"///", 0, "/"}, {"/./.", 0, "/"}, {"..", 0, "/"},
        {"/nv/cfg/../../../x", 0, "/x"}, {"//nv///cfg/", 0, "/nv/cfg"}, {"nv/./cfg", 0, "/nv/cfg"},
        {"/a/.b/..c/d.", 0, "/a/.b/..c/d."}, {"/USB/Data", 0, "/USB/Data"},
        {"/upload/firmware", 8, "/upload"}, {"/a/b/..", 6, "/a/b"}, {"abc", 3, "/a"},
        {deep, 0, deep}, {deep + "/../b", 0, repeat("/a", 255) + "/b"}, {repeat("/x/..", 300), 0, "/"},
        {deeper, 0, "<ENOMEM>"}, {deeper + repeat("/..", 300), 0, "<ENOMEM>"}, {"/a", 1000000, "/a"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(normalise(c.in.c_str(), c.size ? c.size : c.in.size() + 5), c.out) << c.in << " " << c.size;
    EXPECT_EQ(normalise(nullptr, 8), "<ENOMEM>");
    char out[4] = "XY";
    EXPECT_EQ(tqsftp_normalizePath("/a", out, 0), -1) << "no room even for /";
    EXPECT_STREQ(out, "XY");
}

// An input that is not terminated within the size is read no further.
TEST(Normalise, ReadsNoMoreOfTheInputThanTheSize)
{
    const size_t page = sysconf(_SC_PAGESIZE);
    auto *map = static_cast<char *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
    memcpy(map + page - 7, "/nv/cfg", 7);  // the next byte cannot be read
    char out[8];
    EXPECT_EQ(tqsftp_normalizePath(map + page - 7, out, sizeof out), 0);
    EXPECT_STREQ(out, "/nv/cfg");
}

TEST(Resolve, RowRealPathAndTable)
{
    tqsftp_funcs *const RO = &tqsftp_funcs_readonly, *const deny = &tqsftp_funcs_deny;
    tqsftp_funcs *const full = &tqsftp_funcs_full, *const env = &tqsftp_funcs_envmcfg;
    tqsftp_funcs *const nodir = &tqsftp_funcs_full_nodir, *const file = &tqsftp_funcs_nvmcfg_file;
    const struct {
        const char *client, *real;  // real absent for the terminating row
        tqsftp_funcs *table;
        tqsftp_action_fn action;
    } cases[] = {
        {"/", "/tmp/sftp", RO, nullptr}, {"/nv/cfg/../..", "/tmp/sftp", RO, nullptr},
        {"/NV/", "/tmp/sftp/nv", RO, nullptr}, {"/NV/CFG", "/flash/cfg", &tqsftp_funcs_nvmcfg_dir, nullptr},
        {"/nv/cfg/Profile.CUR", "/flash/cfg/profile.cur", RO, nullptr},
        {"/nv/cfg/STATUS", "/tmp/sftp/nv/cfg/status", RO, nullptr},
        {"/nv/cfg/a.xml", "/flash/cfg/a.xml", file, tqsftp_config_action},
        {"/nv/cfgx", nullptr, deny, nullptr}, {"/usb", "/usb0", RO, nullptr},
        {"/USB/x", "/usb0/x", full, nullptr}, {"/usb/CFG/a.xml", "/usb0/cfg/a.xml", env, nullptr},
        {"/usb/cfgold", "/usb0/cfgold", env, nullptr}, {"/usbx", nullptr, deny, nullptr},
        {"/sd", "/sd", RO, nullptr}, {"/sd/x", "/sd/x", full, nullptr},
        {"/SD/Cfg/P.xml", "/sd/cfg/P.xml", env, nullptr},
        {"/upload/firmware/", "/tmp/sftp/upload/firmware", RO, nullptr},
        {"/upload/firmware/HELP", "/tmp/sftp/upload/firmware/help", RO, nullptr},
        {"/upload/firmware/updating", "/tmp/sftp/upload/firmware/updating", RO, nullptr},
        {"/upload/ssh-key/updating", "/tmp/sftp/upload/ssh-key/updating", nodir, tqsftp_sshKey_action},
        {"/upload/firmware/fw", "/tmp/sftp/upload/firmware/fw", nodir, tqsftp_firmware_action},
        {"/upload/https-cert/c", "/tmp/sftp/upload/https-cert/c", nodir, tqsftp_https_action},
        {"/upload/ldap-cert/c", "/tmp/sftp/upload/ldap-cert/c", nodir, tqsftp_ldap_action},
        {"/upload/vpn-cert/OK", "/tmp/sftp/upload/vpn-cert/ok", RO, nullptr},
        {"/upload/vpn-cert/okx", "/tmp/sftp/upload/vpn-cert/okx", nodir, tqsftp_vpn_action},
        {"/uploads", "/tmp/sftp/uploads", RO, nullptr},
        {"/upload/firmware/../../etc/passwd", nullptr, deny, nullptr},
        {"/tmp/sftp", nullptr, deny, nullptr},
    };
    for (const auto &c : cases) {
        char *real = reinterpret_cast<char *>(1);
        errno = EINTR;
        const tqsftp_access *r = tqsftp_resolve(c.client, &real);
        EXPECT_EQ(errno, EINTR) << c.client;
        EXPECT_EQ(r->funcs, c.table) << c.client;
        EXPECT_EQ(r->action, c.action) << c.client;
        EXPECT_STREQ(real, c.real) << c.client;
        free(real);
        EXPECT_EQ(tqsftp_resolve(c.client, nullptr), r) << c.client;
    }
}

// Whichever allocation fails, and for a path of too many components, the
// result is the terminating row, no real path and ENOMEM.
TEST(Resolve, FailuresGiveTheTerminatingRow)
{
    for (int nth = -1; nth < 3; nth++) {
        char *real = reinterpret_cast<char *>(1);
        errno = 0;
        FailAllocation fail(nth);
        const tqsftp_access *r = tqsftp_resolve(nth < 0 ? unresolvable("/usb").c_str() : "/usb/f", &real);
        EXPECT_EQ(r, tqsftp_access_dummy) << nth;
        EXPECT_EQ(errno, ENOMEM) << nth;
        EXPECT_EQ(real, nullptr) << nth;
    }
}
