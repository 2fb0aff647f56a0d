// Client paths: normalisation, resolution, the registry and the profile-name test.
#include <regex.h>
#include <sys/mman.h>
#include <unistd.h>

#include "doubles.h"

using namespace tqtest;

// A failure is ENOMEM and leaves the output alone.  No byte past the size is read.
TEST(Normalise, CanonicalFormCutToTheSize)
{
    std::string deep;
    for (int i = 0; i < 256; i++)
        deep += "/a";
    constexpr size_t roomy = 0;  // the input's length plus 5, as resolution gives
    const struct { std::string in; size_t size; std::string want; } cases[] = {
        {"", roomy, "/"}, {"..", roomy, "/"}, {"//nv/./cfg/", roomy, "/nv/cfg"},
        {"/a/b/..", 6, "/a/b"}, {"/nv/cfg/../../../x", roomy, "/x"}, {"abc", 3, "/a"},
        {"/a/.b/..c/d.", roomy, "/a/.b/..c/d."}, {deep + "/../b", roomy, deep.substr(2) + "/b"},
        {deep, roomy, deep}, {deep + "/a", roomy, "<ENOMEM>"},
    };
    for (const auto &[in, size, want] : cases) {
        std::string out(size != roomy ? size : in.size() + 5, 'X'), untouched = out;
        errno = 0;
        int r = tqsftp_normalizePath(in.c_str(), out.data(), out.size());
        bool clean = errno == ENOMEM && out == untouched;
        EXPECT_EQ(r == 0 ? out.c_str() : clean ? "<ENOMEM>" : "?", want) << in;
    }
    char out[8] = "XY";
    EXPECT_EQ(tqsftp_normalizePath(nullptr, out, 4), -1);
    EXPECT_EQ(tqsftp_normalizePath("/a", out, 0), -1);
    const size_t page = sysconf(_SC_PAGESIZE);
    auto *map = static_cast<char *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
    memcpy(map + page - 7, "/nv/cfg", 7);
    EXPECT_EQ(tqsftp_normalizePath(map + page - 7, out, 8), 0);
}

// A path of too many components gets the terminating row, no real path and ENOMEM.
TEST(Resolve, RowRealPathAndTable)
{
    tqsftp_funcs *const RO = &tqsftp_funcs_readonly, *const no = &tqsftp_funcs_deny;
    tqsftp_funcs *const nodir = &tqsftp_funcs_full_nodir, *const env = &tqsftp_funcs_envmcfg;
    const std::tuple<const char *, const char *, tqsftp_funcs *, tqsftp_action_fn> cases[] = {
        {"/nv/cfg/../..", "/tmp/sftp", RO, nullptr},
        {"/NV/CFG", "/flash/cfg", &tqsftp_funcs_nvmcfg_dir, nullptr},
        {"/nv/cfg/Profile.CUR", "/flash/cfg/profile.cur", RO, nullptr},
        {"/nv/cfg/a.xml", "/flash/cfg/a.xml", &tqsftp_funcs_nvmcfg_file, tqsftp_config_action},
        {"/nv/cfgx", nullptr, no, nullptr}, {"/USB/x", "/usb0/x", &tqsftp_funcs_full, nullptr},
        {"/usb/CFG/a", "/usb0/cfg/a", env, nullptr}, {"/usb/cfgold", "/usb0/cfgold", env, nullptr},
        {"/sd/x", "/sd/x", &tqsftp_funcs_full, nullptr},
        {"/upload/firmware/UPDATING", "/tmp/sftp/upload/firmware/updating", RO, nullptr},
        {"/upload/firmware/f", "/tmp/sftp/upload/firmware/f", nodir, tqsftp_firmware_action},
        {"/upload/ssh-key/k", "/tmp/sftp/upload/ssh-key/k", nodir, tqsftp_sshKey_action},
        {"/upload/https-cert/c", "/tmp/sftp/upload/https-cert/c", nodir, tqsftp_https_action},
        {"/upload/ldap-cert/c", "/tmp/sftp/upload/ldap-cert/c", nodir, tqsftp_ldap_action},
        {"/upload/vpn-cert/okx", "/tmp/sftp/upload/vpn-cert/okx", nodir, tqsftp_vpn_action},
        {"/uploads", "/tmp/sftp/uploads", RO, nullptr}, {"/upload/../../etc", nullptr, no, nullptr},
    };
    for (const auto &[client, want, funcs, action] : cases) {
        char *real = reinterpret_cast<char *>(1);
        errno = EINTR;
        const tqsftp_access *r = tqsftp_resolve(client, &real);
        EXPECT_TRUE(errno == EINTR && r->funcs == funcs && r->action == action) << client;
        EXPECT_STREQ(real, want) << client;
        free(real);
    }
    std::string deep = "/usb";
    for (int i = 0; i < 300; i++)
        deep += "/a";
    char *real = reinterpret_cast<char *>(1);
    EXPECT_EQ(tqsftp_resolve(deep.c_str(), &real), tqsftp_access_dummy);
    EXPECT_TRUE(errno == ENOMEM && real == nullptr);
    char path[] = "/usb0/x", client[] = "/usb/x";  // the registry frees only its own
    tqsftp_file stranger{};
    stranger.real_path = path, stranger.client_path = client;
    EXPECT_EQ(tqsftp_file_remove(&stranger), -1);
}

// The profile-name test agrees with the regular expression, up to 32 characters.
TEST(ProfileName, SameVerdictAsTheRegularExpression)
{
    regex_t re;
    ASSERT_EQ(regcomp(&re, "^[-a-zA-Z0-9_]+\\.xml$", REG_EXTENDED), 0);
    std::vector<std::string> names = {std::string(28, 'a') + ".xml", std::string(29, 'a') + ".xml",
                                      ".xml", "a.XML", "-_9Z.xml", "a.xm", ""};
    for (int c = 1; c < 256; c++)
        for (std::string name : {"?a.xml", "a?.xml", "a.?ml", "a.xml?"})
            names.push_back(name.replace(name.find('?'), 1, 1, static_cast<char>(c)));
    for (const std::string &name : names) {
        bool want = name.size() <= 32 && regexec(&re, name.c_str(), 0, nullptr, 0) == 0;
        EXPECT_EQ(tqsftp::is_profile_name(name.c_str()), want) << '"' << name << '"';
    }
    regfree(&re);
}
