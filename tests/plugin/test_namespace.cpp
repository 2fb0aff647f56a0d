// Client paths: normalisation, resolution to a row, a real path and a table,
// the registry of open files and the profile-name test.
#include <regex.h>
#include <sys/mman.h>
#include <unistd.h>

#include "doubles.h"

using namespace tqtest;

namespace {

std::string repeat(const std::string &s, int n) { return n > 0 ? s + repeat(s, n - 1) : ""; }

}  // namespace

// size 0 stands for the input's length plus 5; a failure is ENOMEM and
// leaves the output alone.
TEST(Normalise, CanonicalFormCutToTheSize)
{
    const std::string deep = repeat("/a", 256), deeper = deep + "/a";
    const std::tuple<std::string, size_t, std::string> cases[] = {
        {"", 0, "/"}, {"/./.", 0, "/"}, {"..", 0, "/"}, {"/nv/cfg/../../../x", 0, "/x"},
        {"//nv/./cfg/", 0, "/nv/cfg"}, {"/a/.b/..c/d.", 0, "/a/.b/..c/d."},
        {"/upload/firmware", 8, "/upload"}, {"/a/b/..", 6, "/a/b"}, {"abc", 3, "/a"},
        {deep + "/../b", 0, repeat("/a", 255) + "/b"}, {repeat("/x/..", 300), 0, "/"},
        {deep, 0, deep}, {deeper, 0, "<ENOMEM>"},
    };
    for (const auto &[in, size, want] : cases) {
        std::string out(size ? size : in.size() + 5, 'X'), untouched = out;
        errno = 0;
        int r = tqsftp_normalizePath(in.c_str(), out.data(), out.size());
        bool clean = errno == ENOMEM && out == untouched;
        EXPECT_EQ(r == 0 ? out.c_str() : clean ? "<ENOMEM>" : "?", want) << in;
    }
    char out[4] = "XY";
    EXPECT_EQ(tqsftp_normalizePath(nullptr, out, 4) + tqsftp_normalizePath("/a", out, 0), -2);
    EXPECT_STREQ(out, "XY");
    // An input not terminated within the size is read no further.
    const size_t page = sysconf(_SC_PAGESIZE);
    auto *map = static_cast<char *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
    memcpy(map + page - 7, "/nv/cfg", 7);
    EXPECT_EQ(tqsftp_normalizePath(map + page - 7, out, 8), 0);
}

TEST(Resolve, RowRealPathAndTable)
{
    tqsftp_funcs *const RO = &tqsftp_funcs_readonly, *const no = &tqsftp_funcs_deny;
    tqsftp_funcs *const full = &tqsftp_funcs_full, *const env = &tqsftp_funcs_envmcfg;
    tqsftp_funcs *const nodir = &tqsftp_funcs_full_nodir, *const cfg = &tqsftp_funcs_nvmcfg_file;
    const struct {
        const char *client, *real;  // real absent for the terminating row
        tqsftp_funcs *table;
        tqsftp_action_fn action = nullptr;
    } cases[] = {
        {"/nv/cfg/../..", "/tmp/sftp", RO}, {"/NV/CFG", "/flash/cfg", &tqsftp_funcs_nvmcfg_dir},
        {"/nv/cfg/Profile.CUR", "/flash/cfg/profile.cur", RO},
        {"/nv/cfg/a.xml", "/flash/cfg/a.xml", cfg, tqsftp_config_action},
        {"/nv/cfgx", nullptr, no}, {"/usb", "/usb0", RO}, {"/USB/x", "/usb0/x", full},
        {"/usb/CFG/a", "/usb0/cfg/a", env}, {"/usb/cfgold", "/usb0/cfgold", env},
        {"/sd/x", "/sd/x", full}, {"/upload/firmware/UPDATING", "/tmp/sftp/upload/firmware/updating", RO},
        {"/upload/firmware/f", "/tmp/sftp/upload/firmware/f", nodir, tqsftp_firmware_action},
        {"/upload/ssh-key/k", "/tmp/sftp/upload/ssh-key/k", nodir, tqsftp_sshKey_action},
        {"/upload/https-cert/c", "/tmp/sftp/upload/https-cert/c", nodir, tqsftp_https_action},
        {"/upload/ldap-cert/c", "/tmp/sftp/upload/ldap-cert/c", nodir, tqsftp_ldap_action},
        {"/upload/vpn-cert/okx", "/tmp/sftp/upload/vpn-cert/okx", nodir, tqsftp_vpn_action},
        {"/uploads", "/tmp/sftp/uploads", RO}, {"/upload/firmware/../../etc", nullptr, no},
    };
    for (const auto &c : cases) {
        char *real = reinterpret_cast<char *>(1);
        errno = EINTR;
        const tqsftp_access *r = tqsftp_resolve(c.client, &real);
        EXPECT_TRUE(errno == EINTR && r->funcs == c.table && r->action == c.action) << c.client;
        EXPECT_STREQ(real, c.real) << c.client;
        free(real);
        EXPECT_EQ(tqsftp_resolve(c.client, nullptr), r) << c.client;
    }
    // Whichever allocation fails, and for too many components: the
    // terminating row, no real path and ENOMEM.
    const std::string deep = unresolvable("/usb");
    for (int nth = -1; nth < 3; nth++) {
        char *real = reinterpret_cast<char *>(1);
        FailAllocation fail(nth);
        EXPECT_EQ(tqsftp_resolve(nth < 0 ? deep.c_str() : "/usb/f", &real), tqsftp_access_dummy);
        EXPECT_TRUE(errno == ENOMEM && real == nullptr) << nth;
    }
    char real[] = "/usb0/x", client[] = "/usb/x";  // the registry frees only its own
    tqsftp_file stranger{nullptr, 7, tqsftp_access_dummy, real, client, 0, 0};
    EXPECT_EQ(tqsftp_file_remove(&stranger), -1);
}

// The hand-written test gives the regular expression's verdict, up to 32
// characters, for every byte in every position that matters.
TEST(ProfileName, SameVerdictAsTheRegularExpression)
{
    regex_t re;
    ASSERT_EQ(regcomp(&re, "^[-a-zA-Z0-9_]+\\.xml$", REG_EXTENDED), 0);
    std::vector<std::string> names = {std::string(28, 'a') + ".xml", std::string(29, 'a') + ".xml",
                                      ".xml", "a.XML", "a.xml.xml", "-_9Z.xml", "a.xm", ""};
    for (int c = 1; c < 256; c++)
        for (std::string name : {"?a.xml", "a?.xml", "a.?ml", "a.xml?"})
            names.push_back(name.replace(name.find('?'), 1, 1, static_cast<char>(c)));
    for (const std::string &name : names) {
        bool want = name.size() <= 32 && regexec(&re, name.c_str(), 0, nullptr, 0) == 0;
        EXPECT_EQ(tqsftp::is_profile_name(name.c_str()), want) << '"' << name << '"';
    }
    regfree(&re);
}
