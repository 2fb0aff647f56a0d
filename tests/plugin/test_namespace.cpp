// The virtual namespace: normalisation of client paths, the access list,
// the match functions and resolution to a row and a real path.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>

#include "alloc_failures.h"
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

}  // namespace

struct NormaliseCase {
    const char *in;
    size_t size;
    const char *out;
};

void PrintTo(const NormaliseCase &c, std::ostream *os)
{
    *os << '[' << c.in << ']';
    if (c.size != large)
        *os << " size " << c.size;
}

class Normalise : public testing::TestWithParam<NormaliseCase> {};

TEST_P(Normalise, GivesTheCanonicalForm)
{
    const NormaliseCase &c = GetParam();
    EXPECT_EQ(normalise(c.in, c.size), c.out) << "input \"" << c.in << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, Normalise,
    testing::Values(
        NormaliseCase{"", large, "/"}, NormaliseCase{"/", large, "/"},
        NormaliseCase{"///", large, "/"}, NormaliseCase{"/./.", large, "/"},
        NormaliseCase{"/..", large, "/"}, NormaliseCase{"..", large, "/"},
        NormaliseCase{"/nv/cfg/../..", large, "/"},
        NormaliseCase{"/nv/cfg/../../../x", large, "/x"},
        NormaliseCase{"//nv///cfg/", large, "/nv/cfg"},
        NormaliseCase{"nv/cfg", large, "/nv/cfg"},
        NormaliseCase{"/a/./b/../c", large, "/a/c"},
        NormaliseCase{"/upload/firmware/", large, "/upload/firmware"},
        NormaliseCase{"/...", large, "/..."}, NormaliseCase{"/a/.b", large, "/a/.b"},
        NormaliseCase{"/a/..b/c.", large, "/a/..b/c."},
        NormaliseCase{"/USB/Data", large, "/USB/Data"},
        NormaliseCase{"/a b/ c", large, "/a b/ c"},
        // The size cuts the input before it is split ...
        NormaliseCase{"/upload/firmware", 8, "/upload"},
        NormaliseCase{"/a/../b", 6, "/"},
        NormaliseCase{"/a/b/..", 6, "/a/b"},
        // ... and the output as it is written.
        NormaliseCase{"a", 2, "/"}, NormaliseCase{"abc", 3, "/a"},
        NormaliseCase{"/abc", 1, ""}, NormaliseCase{"ab/cd", 5, "/ab/"}));

TEST(NormaliseLimits, TwoHundredFiftySixComponentsAndNoMore)
{
    EXPECT_EQ(normalise(repeat("/a", 256)), repeat("/a", 256));
    EXPECT_EQ(normalise(repeat("/a", 257)), "<failed>");
    // The 257th push fails even when ".." would later bring the depth down.
    EXPECT_EQ(normalise(repeat("/a", 257) + repeat("/..", 300)), "<failed>");
    // The limit is the depth, not the number of components read.
    EXPECT_EQ(normalise(repeat("/x/..", 300)), "/");
    EXPECT_EQ(normalise(repeat("/a", 256) + "/../b"), repeat("/a", 255) + "/b");
}

TEST(NormaliseLimits, FailureLeavesTheOutputAlone)
{
    std::string in = repeat("/a", 257);
    std::string out(in.size() + 5, 'X');
    errno = 0;
    EXPECT_EQ(tqsftp_normalizePath(in.c_str(), out.data(), out.size()), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(out, std::string(in.size() + 5, 'X'));
}

TEST(NormaliseLimits, AbsentInputOrOutput)
{
    char out[8] = "keep";
    errno = 0;
    EXPECT_EQ(tqsftp_normalizePath(nullptr, out, sizeof out), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_STREQ(out, "keep");
    errno = 0;
    EXPECT_EQ(tqsftp_normalizePath("/a", nullptr, sizeof out), -1);
    EXPECT_EQ(errno, ENOMEM);
}

TEST(NormaliseLimits, ExhaustedMemory)
{
    char out[8] = "keep";
    errno = 0;
    int r;
    {
        FailAllocation fail(0);
        r = tqsftp_normalizePath("/a/b", out, sizeof out);
    }
    EXPECT_EQ(r, -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_STREQ(out, "keep");
}

// An input that is not terminated within the size is read no further.
TEST(NormaliseLimits, ReadsNoMoreOfTheInputThanTheSize)
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

// Every path of up to six characters from "/", ".", "a" and "B": the result
// is canonical, at most one character longer, and normalising it again
// changes nothing.
TEST(NormaliseLimits, CanonicalForEveryShortPath)
{
    const char alphabet[] = {'/', '.', 'a', 'B'};
    std::string in;
    auto check = [&] {
        std::string out = normalise(in);
        SCOPED_TRACE("input \"" + in + "\" gave \"" + out + '"');
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out[0], '/');
        EXPECT_LE(out.size(), in.size() + 1);
        EXPECT_TRUE(out == "/" || out.back() != '/');
        std::string padded = out == "/" ? out : out + "/";
        EXPECT_EQ(padded.find("//"), std::string::npos);
        EXPECT_EQ(padded.find("/./"), std::string::npos);
        EXPECT_EQ(padded.find("/../"), std::string::npos);
        EXPECT_EQ(normalise(out), out);
    };
    for (size_t len = 0; len <= 6; len++) {
        size_t combos = 1;
        for (size_t i = 0; i < len; i++)
            combos *= 4;
        for (size_t n = 0; n < combos; n++) {
            in.clear();
            for (size_t i = 0, v = n; i < len; i++, v /= 4)
                in += alphabet[v % 4];
            check();
            if (HasFailure())
                return;
        }
    }
}

TEST(AccessList, ShapeOfTheRows)
{
    EXPECT_EQ(tqsftp_access_dummy, row(TQSFTP_ACCESS_ROWS - 1));
    const tqsftp_access &end = *tqsftp_access_dummy;
    EXPECT_EQ(end.prefix, nullptr);
    EXPECT_EQ(end.path, nullptr);
    EXPECT_EQ(end.match, nullptr);
    EXPECT_EQ(end.funcs, &tqsftp_funcs_deny);
    EXPECT_EQ(end.action, nullptr);

    for (int i = 0; i < TQSFTP_ACCESS_ROWS - 1; i++) {
        const tqsftp_access &r = *row(i);
        SCOPED_TRACE("row " + std::to_string(i));
        ASSERT_NE(r.prefix, nullptr);
        ASSERT_NE(r.path, nullptr);
        ASSERT_NE(r.match, nullptr);
        EXPECT_NE(r.funcs, nullptr);
        EXPECT_NE(r.prefix[0], '\0');
        if (r.match == tqsftp_match_prefix)
            EXPECT_EQ(r.prefix[strlen(r.prefix) - 1] == '/',
                      r.path[strlen(r.path) - 1] == '/');
        else
            EXPECT_EQ(r.match, tqsftp_match_exact);
    }
}

TEST(AccessList, ActionsStandInTheSixUploadAreas)
{
    const struct {
        int row;
        tqsftp_action_fn action;
    } areas[] = {
        {10, tqsftp_config_action}, {21, tqsftp_firmware_action},
        {25, tqsftp_sshKey_action}, {29, tqsftp_https_action},
        {33, tqsftp_ldap_action},   {37, tqsftp_vpn_action},
    };
    int with_action = 0;
    for (int i = 0; i < TQSFTP_ACCESS_ROWS; i++)
        with_action += row(i)->action != nullptr;
    EXPECT_EQ(with_action, 6);
    for (const auto &a : areas) {
        EXPECT_EQ(row(a.row)->action, a.action) << "row " << a.row;
        EXPECT_EQ(row(a.row)->match, tqsftp_match_prefix) << "row " << a.row;
    }
}

struct MatchCase {
    const char *what;
    tqsftp_match_fn match;
    const tqsftp_access *entry;
    const char *path;
    int result;
};

TEST(Match, ExactAndPrefix)
{
    static const tqsftp_access no_prefix = {nullptr, "/x", tqsftp_match_prefix,
                                            &tqsftp_funcs_full, nullptr};
    const auto exact = tqsftp_match_exact, prefix = tqsftp_match_prefix;
    const MatchCase cases[] = {
        {"exact, absent entry", exact, nullptr, "/", -1},
        {"exact, terminating entry", exact, tqsftp_access_dummy, "/", -1},
        {"exact, entry without prefix", exact, &no_prefix, "/x", -1},
        {"exact, absent path", exact, row(0), nullptr, -1},
        {"exact, equal", exact, row(4), "/nv/cfg", 0},
        {"exact, other case", exact, row(4), "/NV/Cfg", 0},
        {"exact, longer path", exact, row(4), "/nv/cfg/", -1},
        {"exact, shorter path", exact, row(4), "/nv/cf", -1},
        {"prefix, absent entry", prefix, nullptr, "/", -1},
        {"prefix, terminating entry", prefix, tqsftp_access_dummy, "/", -1},
        {"prefix, entry without prefix", prefix, &no_prefix, "/x", -1},
        {"prefix, absent path", prefix, row(21), nullptr, -1},
        {"prefix, longer than the path", prefix, row(21), "/upload/firmware", -1},
        {"prefix, other case", prefix, row(21), "/UPLOAD/FIRMWARE/x", 0},
        {"prefix, path equal to it", prefix, row(21), "/upload/firmware/", 0},
        {"prefix, differs in its last character", prefix, row(21),
         "/upload/firmwarex", -1},
        {"prefix without slash", prefix, row(38), "/uploads", 0},
        {"prefix without slash, shorter path", prefix, row(38), "/uploa", -1},
    };
    for (const MatchCase &c : cases)
        EXPECT_EQ(c.match(c.entry, c.path), c.result) << c.what;
}

struct ResolveCase {
    const char *client;
    int row;
    const char *real;  // absent for the terminating row
    tqsftp_funcs *table;
};

void PrintTo(const ResolveCase &c, std::ostream *os) { *os << '[' << c.client << ']'; }

class Resolve : public testing::TestWithParam<ResolveCase> {};

TEST_P(Resolve, RowRealPathAndTable)
{
    const ResolveCase &c = GetParam();
    char *real = reinterpret_cast<char *>(1);
    errno = EINTR;
    const tqsftp_access *r = tqsftp_resolve(c.client, &real);
    EXPECT_EQ(errno, EINTR) << "a path that resolves, or that no row covers, "
                               "leaves errno alone";
    EXPECT_EQ(r, row(c.row)) << "got row " << (r - tqsftp_access_list);
    EXPECT_EQ(r->funcs, c.table);
    if (c.real == nullptr)
        EXPECT_EQ(real, nullptr);
    else
        EXPECT_STREQ(real, c.real);
    if (real != reinterpret_cast<char *>(1))
        free(real);
    EXPECT_EQ(tqsftp_resolve(c.client, nullptr), r) << "without out-parameter";
}

constexpr tqsftp_funcs *RO = &tqsftp_funcs_readonly;

INSTANTIATE_TEST_SUITE_P(
    Table, Resolve,
    testing::Values(
        ResolveCase{"/", 0, "/tmp/sftp", RO},
        ResolveCase{"", 0, "/tmp/sftp", RO},
        ResolveCase{"/..", 0, "/tmp/sftp", RO},
        ResolveCase{"/.", 0, "/tmp/sftp", RO},
        ResolveCase{"/nv/cfg/../..", 0, "/tmp/sftp", RO},
        ResolveCase{"nv", 3, "/tmp/sftp/nv", RO},
        ResolveCase{"/NV/", 3, "/tmp/sftp/nv", RO},
        ResolveCase{"/NV/CFG", 4, "/flash/cfg", &tqsftp_funcs_nvmcfg_dir},
        ResolveCase{"/nv/cfg/", 4, "/flash/cfg", &tqsftp_funcs_nvmcfg_dir},
        ResolveCase{"/nv/cfg/Profile.CUR", 5, "/flash/cfg/profile.cur", RO},
        ResolveCase{"/nv/cfg/a.xml", 10, "/flash/cfg/a.xml", &tqsftp_funcs_nvmcfg_file},
        ResolveCase{"/nv/cfg/help/x", 10, "/flash/cfg/help/x", &tqsftp_funcs_nvmcfg_file},
        ResolveCase{"/nv/other", 39, nullptr, &tqsftp_funcs_deny},
        ResolveCase{"/nv/cfgx", 39, nullptr, &tqsftp_funcs_deny},
        ResolveCase{"/usb", 12, "/usb0", RO},
        ResolveCase{"/usb/", 12, "/usb0", RO},
        ResolveCase{"/USB/x", 13, "/usb0/x", &tqsftp_funcs_full},
        ResolveCase{"/usb/cfg", 11, "/usb0/cfg", &tqsftp_funcs_envmcfg},
        ResolveCase{"/usb/CFG/a.xml", 11, "/usb0/cfg/a.xml", &tqsftp_funcs_envmcfg},
        ResolveCase{"/usb/cfgold/a", 11, "/usb0/cfgold/a", &tqsftp_funcs_envmcfg},
        ResolveCase{"/usbx", 39, nullptr, &tqsftp_funcs_deny},
        ResolveCase{"/sd", 15, "/sd", RO},
        ResolveCase{"/sd/x", 16, "/sd/x", &tqsftp_funcs_full},
        ResolveCase{"/SD/Cfg/P.xml", 14, "/sd/cfg/P.xml", &tqsftp_funcs_envmcfg},
        ResolveCase{"/upload", 38, "/tmp/sftp/upload", RO},
        ResolveCase{"/upload/firmware", 38, "/tmp/sftp/upload/firmware", RO},
        ResolveCase{"/upload/firmware/", 38, "/tmp/sftp/upload/firmware", RO},
        ResolveCase{"/upload/firmware/fw.bin", 21, "/tmp/sftp/upload/firmware/fw.bin",
                    &tqsftp_funcs_full_nodir},
        ResolveCase{"/upload/firmware/HELP", 17, "/tmp/sftp/upload/firmware/help", RO},
        ResolveCase{"/upload/ssh-key/updating", 25, "/tmp/sftp/upload/ssh-key/updating",
                    &tqsftp_funcs_full_nodir},
        ResolveCase{"/uploads", 38, "/tmp/sftp/uploads", RO},
        ResolveCase{"/upload/other/x", 38, "/tmp/sftp/upload/other/x", RO},
        ResolveCase{"/upload/firmware/../../etc/passwd", 39, nullptr, &tqsftp_funcs_deny},
        ResolveCase{"/tmp/sftp", 39, nullptr, &tqsftp_funcs_deny},
        ResolveCase{"/etc/passwd", 39, nullptr, &tqsftp_funcs_deny}));

// The fixed files of the profile store and of each upload folder are exact
// read-only rows under the scratch tree, whatever the case of the client's
// letters; any other name there belongs to the folder's area and keeps it.
TEST(ResolveFixedFiles, ReadOnlyUnderTheScratchTree)
{
    const struct {
        const char *folder;
        const char *real;
        const char *fixed;  // the folder's fixed names besides help, ok, error
    } folders[] = {
        {"/nv/cfg", "/flash/cfg", "status"},
        {"/upload/firmware", "/tmp/sftp/upload/firmware", "updating"},
        {"/upload/ssh-key", "/tmp/sftp/upload/ssh-key", ""},
        {"/upload/https-cert", "/tmp/sftp/upload/https-cert", ""},
        {"/upload/ldap-cert", "/tmp/sftp/upload/ldap-cert", ""},
        {"/upload/vpn-cert", "/tmp/sftp/upload/vpn-cert", ""},
    };
    for (const auto &f : folders) {
        const tqsftp_access *area = tqsftp_resolve((std::string(f.folder) + "/x").c_str(),
                                                   nullptr);
        ASSERT_NE(area->action, nullptr) << f.folder;
        for (std::string name : {"help", "ok", "error", "status", "updating"}) {
            std::string client = std::string(f.folder) + "/" + name;
            std::string upper = client;
            for (char &c : upper)
                c = static_cast<char>(toupper(c));
            char *real = nullptr;
            const tqsftp_access *r = tqsftp_resolve(upper.c_str(), &real);
            std::string got = real ? real : "(absent)";
            free(real);
            SCOPED_TRACE(upper + " gave " + got);
            if (name == "help" || name == "ok" || name == "error" || name == f.fixed) {
                EXPECT_EQ(r->funcs, RO);
                EXPECT_EQ(r->action, nullptr);
                EXPECT_EQ(got, "/tmp/sftp" + client);
            } else {
                EXPECT_EQ(r, area);
                for (char &c : name)
                    c = static_cast<char>(toupper(c));
                EXPECT_EQ(got, std::string(f.real) + "/" + name);
            }
        }
    }
}

TEST(ResolveIdentity, OneRowPerArea)
{
    EXPECT_EQ(tqsftp_resolve("/usb/a", nullptr), tqsftp_resolve("/USB/b", nullptr));
    EXPECT_NE(tqsftp_resolve("/usb/a", nullptr), tqsftp_resolve("/sd/a", nullptr));
    EXPECT_NE(tqsftp_resolve("/upload/firmware/a", nullptr),
              tqsftp_resolve("/upload/ssh-key/a", nullptr));
}

TEST(ResolveFailure, TooManyComponents)
{
    std::string deep = "/usb" + repeat("/d", 256);  // 257 components
    char *real = reinterpret_cast<char *>(1);
    errno = 0;
    EXPECT_EQ(tqsftp_resolve(deep.c_str(), &real), tqsftp_access_dummy);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(real, nullptr);
    errno = 0;
    EXPECT_EQ(tqsftp_resolve(deep.c_str(), nullptr), tqsftp_access_dummy);
    EXPECT_EQ(errno, ENOMEM);
}

// Resolution allocates the normalised path, normalisation its scratch copy,
// and, with an out-parameter, resolution the real path: whichever of them
// fails, the result is the terminating row with no real path.
TEST(ResolveFailure, ExhaustedMemoryGivesTheTerminatingRow)
{
    for (int nth = 0; nth < 3; nth++) {
        char *real = reinterpret_cast<char *>(1);
        const tqsftp_access *r;
        errno = 0;
        {
            FailAllocation fail(nth);
            r = tqsftp_resolve("/usb/data/file", &real);
        }
        SCOPED_TRACE("allocation " + std::to_string(nth) + " failed");
        EXPECT_EQ(r, tqsftp_access_dummy);
        EXPECT_EQ(r->funcs, &tqsftp_funcs_deny);
        EXPECT_EQ(real, nullptr);
        EXPECT_EQ(errno, ENOMEM);
    }
    for (int nth = 0; nth < 2; nth++) {
        FailAllocation fail(nth);
        EXPECT_EQ(tqsftp_resolve("/usb/data/file", nullptr), tqsftp_access_dummy);
    }
}

TEST(ResolveFailure, AllocatesOnlyWhatItReturns)
{
    char *real = nullptr;
    {
        FailAllocation none(-1);
        EXPECT_EQ(tqsftp_resolve("/usb/a", &real), row(13));
        EXPECT_EQ(none.allocations(), 3);
    }
    free(real);
    FailAllocation none(-1);
    EXPECT_EQ(tqsftp_resolve("/usb/a", nullptr), row(13));
    EXPECT_EQ(none.allocations(), 2);
}
