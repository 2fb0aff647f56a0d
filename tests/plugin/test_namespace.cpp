// The virtual namespace: normalisation of client paths, the access list,
// the match functions and resolution to a row and a real path.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "doubles.h"

using namespace tqtest;

namespace {

const size_t large = 0;  // size: the input's length plus 5, as resolution gives

std::string normalise(const std::string &in, size_t size = large)
{
    if (size == large)
        size = in.size() + 5;
    std::string out(size, '\x7f');
    if (tqsftp_normalizePath(in.c_str(), out.data(), size) != 0)
        return "<failed>";
    return out.c_str();
}

std::string repeat(const std::string &part, int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += part;
    return s;
}

const tqsftp_access *row(int i) { return &tqsftp_access_list[i]; }

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(toupper(c));
    return s;
}

}  // namespace

TEST(Normalise, GivesTheCanonicalForm)
{
    const struct {
        const char *in;
        size_t size;
        const char *out;
    } cases[] = {
        {"", large, "/"}, {"/", large, "/"}, {"///", large, "/"}, {"/./.", large, "/"},
        {"/..", large, "/"}, {"..", large, "/"}, {"/nv/cfg/../..", large, "/"},
        {"/nv/cfg/../../../x", large, "/x"}, {"//nv///cfg/", large, "/nv/cfg"},
        {"nv/cfg", large, "/nv/cfg"}, {"/a/./b/../c", large, "/a/c"},
        {"/upload/firmware/", large, "/upload/firmware"}, {"/...", large, "/..."},
        {"/a/.b", large, "/a/.b"}, {"/a/..b/c.", large, "/a/..b/c."},
        {"/USB/Data", large, "/USB/Data"}, {"/a b/ c", large, "/a b/ c"},
        // The size cuts the input before it is split ...
        {"/upload/firmware", 8, "/upload"}, {"/a/../b", 6, "/"}, {"/a/b/..", 6, "/a/b"},
        // ... and the output as it is written.
        {"a", 2, "/"}, {"abc", 3, "/a"}, {"/abc", 1, ""}, {"ab/cd", 5, "/ab/"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(normalise(c.in, c.size), c.out) << '"' << c.in << "\" size " << c.size;
}

TEST(Normalise, TwoHundredFiftySixComponentsAndNoMore)
{
    EXPECT_EQ(normalise(repeat("/a", 256)), repeat("/a", 256));
    EXPECT_EQ(normalise(repeat("/a", 257)), "<failed>");
    // The 257th push fails even when ".." would later bring the depth down.
    EXPECT_EQ(normalise(repeat("/a", 257) + repeat("/..", 300)), "<failed>");
    // The limit is the depth, not the number of components read.
    EXPECT_EQ(normalise(repeat("/x/..", 300)), "/");
    EXPECT_EQ(normalise(repeat("/a", 256) + "/../b"), repeat("/a", 255) + "/b");
}

// Too many components, an absent argument or exhausted memory: ENOMEM and
// the output untouched.
TEST(Normalise, FailuresLeaveTheOutputAlone)
{
    const std::string deep = repeat("/a", 257);
    const struct {
        const char *in;
        bool out;
        int fail_allocation;
    } cases[] = {
        {deep.c_str(), true, -1}, {nullptr, true, -1}, {"/a", false, -1}, {"/a/b", true, 0}};
    for (const auto &c : cases) {
        std::string out(deep.size() + 5, 'X');
        errno = 0;
        int r;
        {
            FailAllocation fail(c.fail_allocation);
            r = tqsftp_normalizePath(c.in, c.out ? out.data() : nullptr, out.size());
        }
        EXPECT_EQ(r, -1) << (c.in ? c.in : "(null)");
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_EQ(out, std::string(deep.size() + 5, 'X'));
    }
}

// An input that is not terminated within the size is read no further.
TEST(Normalise, ReadsNoMoreOfTheInputThanTheSize)
{
    const size_t page = sysconf(_SC_PAGESIZE);
    auto *map = static_cast<char *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
    char *in = map + page - 7;
    memcpy(in, "/nv/cfg", 7);  // the next byte cannot be read
    char out[8];
    EXPECT_EQ(tqsftp_normalizePath(in, out, sizeof out), 0);
    EXPECT_STREQ(out, "/nv/cfg");
    munmap(map, 2 * page);
}

TEST(Match, ExactAndPrefix)
{
    static const tqsftp_access no_prefix = {nullptr, "/x", tqsftp_match_prefix,
                                            &tqsftp_funcs_full, nullptr};
    const auto exact = tqsftp_match_exact, prefix = tqsftp_match_prefix;
    const struct {
        tqsftp_match_fn match;
        const tqsftp_access *entry;
        const char *path;
        int result;
    } cases[] = {
        {exact, nullptr, "/", -1},          {exact, tqsftp_access_dummy, "/", -1},
        {exact, &no_prefix, "/x", -1},      {exact, row(0), nullptr, -1},
        {exact, row(4), "/nv/cfg", 0},      {exact, row(4), "/NV/Cfg", 0},
        {exact, row(4), "/nv/cfg/", -1},    {exact, row(4), "/nv/cf", -1},
        {prefix, nullptr, "/", -1},         {prefix, tqsftp_access_dummy, "/", -1},
        {prefix, &no_prefix, "/x", -1},     {prefix, row(21), nullptr, -1},
        {prefix, row(21), "/upload/firmware", -1},  // the prefix is longer
        {prefix, row(21), "/UPLOAD/FIRMWARE/x", 0}, {prefix, row(21), "/upload/firmware/", 0},
        {prefix, row(21), "/upload/firmwarex", -1}, {prefix, row(38), "/uploads", 0},
        {prefix, row(38), "/uploa", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.match(c.entry, c.path), c.result)
            << (c.match == exact ? "exact" : "prefix") << " row "
            << (c.entry ? c.entry - tqsftp_access_list : -1) << " " << (c.path ? c.path : "(null)");
}

TEST(Resolve, RowRealPathAndTable)
{
    tqsftp_funcs *const RO = &tqsftp_funcs_readonly, *const deny = &tqsftp_funcs_deny;
    tqsftp_funcs *const dir = &tqsftp_funcs_nvmcfg_dir, *const file = &tqsftp_funcs_nvmcfg_file;
    tqsftp_funcs *const full = &tqsftp_funcs_full, *const env = &tqsftp_funcs_envmcfg;
    tqsftp_funcs *const nodir = &tqsftp_funcs_full_nodir;
    const struct {
        const char *client;
        int row;
        const char *real;  // absent for the terminating row
        tqsftp_funcs *table;
    } cases[] = {
        {"/", 0, "/tmp/sftp", RO},                {"", 0, "/tmp/sftp", RO},
        {"/..", 0, "/tmp/sftp", RO},              {"/.", 0, "/tmp/sftp", RO},
        {"/nv/cfg/../..", 0, "/tmp/sftp", RO},    {"nv", 3, "/tmp/sftp/nv", RO},
        {"/NV/", 3, "/tmp/sftp/nv", RO},          {"/NV/CFG", 4, "/flash/cfg", dir},
        {"/nv/cfg/", 4, "/flash/cfg", dir},       {"/nv/other", 39, nullptr, deny},
        {"/nv/cfg/Profile.CUR", 5, "/flash/cfg/profile.cur", RO},
        {"/nv/cfg/a.xml", 10, "/flash/cfg/a.xml", file},
        {"/nv/cfg/help/x", 10, "/flash/cfg/help/x", file},
        {"/nv/cfgx", 39, nullptr, deny},          {"/usb", 12, "/usb0", RO},
        {"/usb/", 12, "/usb0", RO},               {"/USB/x", 13, "/usb0/x", full},
        {"/usb/cfg", 11, "/usb0/cfg", env},       {"/usb/CFG/a.xml", 11, "/usb0/cfg/a.xml", env},
        {"/usb/cfgold/a", 11, "/usb0/cfgold/a", env}, {"/usbx", 39, nullptr, deny},
        {"/sd", 15, "/sd", RO},                   {"/sd/x", 16, "/sd/x", full},
        {"/SD/Cfg/P.xml", 14, "/sd/cfg/P.xml", env}, {"/upload", 38, "/tmp/sftp/upload", RO},
        {"/upload/firmware", 38, "/tmp/sftp/upload/firmware", RO},
        {"/upload/firmware/", 38, "/tmp/sftp/upload/firmware", RO},
        {"/upload/firmware/fw.bin", 21, "/tmp/sftp/upload/firmware/fw.bin", nodir},
        {"/upload/firmware/HELP", 17, "/tmp/sftp/upload/firmware/help", RO},
        {"/upload/ssh-key/updating", 25, "/tmp/sftp/upload/ssh-key/updating", nodir},
        {"/uploads", 38, "/tmp/sftp/uploads", RO},
        {"/upload/other/x", 38, "/tmp/sftp/upload/other/x", RO},
        {"/upload/firmware/../../etc/passwd", 39, nullptr, deny},
        {"/tmp/sftp", 39, nullptr, deny},         {"/etc/passwd", 39, nullptr, deny},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.client);
        char *real = reinterpret_cast<char *>(1);
        errno = EINTR;
        const tqsftp_access *r = tqsftp_resolve(c.client, &real);
        EXPECT_EQ(errno, EINTR) << "a path that resolves, or that no row covers, leaves errno";
        EXPECT_EQ(r, row(c.row)) << "got row " << (r - tqsftp_access_list);
        EXPECT_EQ(r->funcs, c.table);
        EXPECT_EQ(real ? std::string(real) : "(absent)", c.real ? c.real : "(absent)");
        free(real);
        EXPECT_EQ(tqsftp_resolve(c.client, nullptr), r) << "without out-parameter";
    }
    // One row, compared by identity, for each area.
    EXPECT_EQ(tqsftp_resolve("/usb/a", nullptr), tqsftp_resolve("/USB/b", nullptr));
    EXPECT_NE(tqsftp_resolve("/usb/a", nullptr), tqsftp_resolve("/sd/a", nullptr));
}

// The fixed files of the profile store and of each upload folder are exact
// read-only rows under the scratch tree, whatever the case of the client's
// letters; any other name there (one letter longer, say) belongs to the
// folder's area, which has its action, and keeps its case.
TEST(Resolve, FixedFilesAndTheAreasOfTheSixActions)
{
    const struct {
        const char *folder;
        const char *real;
        const char *fixed;  // besides help, ok, error
        tqsftp_action_fn action;
    } folders[] = {
        {"/nv/cfg", "/flash/cfg", "status", tqsftp_config_action},
        {"/upload/firmware", "/tmp/sftp/upload/firmware", "updating", tqsftp_firmware_action},
        {"/upload/ssh-key", "/tmp/sftp/upload/ssh-key", "", tqsftp_sshKey_action},
        {"/upload/https-cert", "/tmp/sftp/upload/https-cert", "", tqsftp_https_action},
        {"/upload/ldap-cert", "/tmp/sftp/upload/ldap-cert", "", tqsftp_ldap_action},
        {"/upload/vpn-cert", "/tmp/sftp/upload/vpn-cert", "", tqsftp_vpn_action},
    };
    int with_action = 0;
    for (int i = 0; i < TQSFTP_ACCESS_ROWS; i++)
        with_action += row(i)->action != nullptr;
    EXPECT_EQ(with_action, 6);
    for (const auto &f : folders) {
        for (std::string name : {"help", "ok", "error", "status", "updating", "helpx", "okx",
                                 "errorx", "statusx", "updatingx"}) {
            std::string client = upper(std::string(f.folder) + "/" + name);
            char *real = nullptr;
            const tqsftp_access *r = tqsftp_resolve(client.c_str(), &real);
            std::string got = real ? real : "(absent)";
            free(real);
            SCOPED_TRACE(client + " gave " + got);
            if (name == "help" || name == "ok" || name == "error" || name == f.fixed) {
                EXPECT_EQ(r->funcs, &tqsftp_funcs_readonly);
                EXPECT_EQ(r->action, nullptr);
                EXPECT_EQ(got, "/tmp/sftp" + std::string(f.folder) + "/" + name);
            } else {
                EXPECT_EQ(r->action, f.action);
                EXPECT_EQ(r->match, tqsftp_match_prefix);
                EXPECT_EQ(got, std::string(f.real) + "/" + upper(name));
            }
        }
    }
}

// Resolution allocates the normalised path, normalisation its scratch copy,
// and, with an out-parameter, resolution the real path: whichever of them
// fails, and for a path of too many components, the result is the
// terminating row with no real path and errno ENOMEM.
TEST(Resolve, FailuresGiveTheTerminatingRow)
{
    const std::string deep = "/usb" + repeat("/d", 256);
    for (int nth = -1; nth < 3; nth++) {
        for (bool out : {true, false}) {
            if (!out && nth == 2)
                continue;
            SCOPED_TRACE("allocation " + std::to_string(nth) + (out ? " with" : " without"));
            char *real = reinterpret_cast<char *>(1);
            errno = 0;
            const tqsftp_access *r;
            {
                FailAllocation fail(nth);
                r = tqsftp_resolve(nth < 0 ? deep.c_str() : "/usb/d/f", out ? &real : nullptr);
            }
            EXPECT_EQ(r, tqsftp_access_dummy);
            EXPECT_EQ(errno, ENOMEM);
            EXPECT_EQ(real, out ? nullptr : reinterpret_cast<char *>(1));
        }
    }
}

TEST(Resolve, AllocatesOnlyWhatItReturns)
{
    char *real = nullptr;
    for (bool out : {true, false}) {
        FailAllocation none(-1);
        EXPECT_EQ(tqsftp_resolve("/usb/a", out ? &real : nullptr), row(13));
        EXPECT_EQ(none.allocations(), out ? 3 : 2);
    }
    free(real);
}
