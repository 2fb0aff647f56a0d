// The device's services, each case in a fresh device root: the log service,
// the update service (its busy flag, delayed installs, job log, profile checks
// and installs), the XML service, the user manager's flag, and the services
// against prepared names, links, oversized uploads and a rotated log.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "tqdevice/tqlog.h"
#include "tqdevice/tqprofile.h"
#include "tqdevice/tqupd.h"
#include "tqdevice/tqusrmgr.h"
#include "tqdevice/tqxml.h"

// The files that the services open to create neither exclusively nor to
// append to: each would write through a name prepared beforehand (a link to
// another file) by whoever could guess it.
std::vector<std::string> shared_creations;

extern "C" int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int mode = (flags & O_CREAT) ? va_arg(ap, int) : 0;
    va_end(ap);
    Dl_info caller;
    if ((flags & O_CREAT) && !(flags & (O_EXCL | O_APPEND)) &&
        dladdr(__builtin_return_address(0), &caller) && strstr(caller.dli_fname, "libtqdevice"))
        shared_creations.push_back(path);
    using Open = int (*)(const char *, int, ...);
    static auto next = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open64"));
    return next(path, flags, mode);
}

namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<none>";
}

void write_file(const std::string &path, const std::string &data)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

// The lines of a file without their leading time stamp.
std::vector<std::string> untimed(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find(' ') + 1));
    return lines;
}

// gzip of data, or (pack false) the data of a gzip file.
std::string zip(const std::string &data, bool pack = true)
{
    write_file("/tmp/gz", pack ? "" : data);
    gzFile g = gzopen("/tmp/gz", pack ? "wb" : "rb");
    if (pack)
        return gzwrite(g, data.data(), unsigned(data.size())), gzclose(g), read_file("/tmp/gz");
    std::string out = gzdirect(g) ? "<not gzip>" : "";
    char buf[4096];
    for (int n; (n = gzread(g, buf, sizeof buf)) > 0;)
        out.append(buf, size_t(n));
    return gzclose(g), out;
}

// Priority, id and text of the last log line.
std::string last_line()
{
    static const std::regex form(
        R"(<(\d+)>1 \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z \S+ tqsftp - (0x[0-9A-F]{6}) - (.*))");
    std::ifstream in("/var/log/messages");
    std::string line, last;
    while (std::getline(in, line))
        last = line;
    std::smatch m;
    return std::regex_match(last, m, form) ? m.str(1) + " " + m.str(2) + " " + m.str(3)
                                           : "unparsable: " + last;
}

#define FALLBACK "unformatted message from lib/tqsftp\\x20main:92 module 24 "
constexpr int S = TQLOG_ARG_STRING, E = TQLOG_ARG_END, M = 0x7FFFFFFF;

// Sends the texts as the plug-in does, but argument number odd (from 0) with
// type and max as given.
int send(uint32_t id, int pri, std::vector<const char *> a, int odd = -1, int type = S, int max = M)
{
    int t[10], m[10];
    for (size_t i = 0; i < 10; i++)
        t[i] = i < a.size() ? S : E, m[i] = M;
    if (odd >= 0)
        t[odd] = type, m[odd] = max;
    a.resize(10, nullptr);
    return tqlog_throwMsg("lib/tqsftp main", 92, id, pri, 24, t[0], m[0], a[0], t[1], m[1], a[1],
                          t[2], m[2], a[2], t[3], m[3], a[3], t[4], m[4], a[4], t[5], m[5], a[5],
                          t[6], m[6], a[6], t[7], m[7], a[7], t[8], m[8], a[8], t[9], m[9], a[9]);
}

TEST(DeviceLog, LinesAndTheirFallbacks)
{
    const std::string x(1025, 'x');  // one more than is written
    const struct { uint32_t id; int pri; std::vector<const char *> args; std::string text;
                   int odd = -1, type = S, max = M; } rows[] = {
        {0x18000D, 192, {"Rename", "/a", "/b", "gone"}, "13 0x18000D Rename /a to /b failed: gone"},
        {0x18000C, -1, {"Copy", "remote", x.c_str()},
         "13 0x18000C Cop remote to " + x.substr(0, 1024) + "...", 0, S, 3},
        {0x18000A, 13, {"a", x.c_str() + 1}, "13 0x18000A a " + x.substr(1)},  // just not cut
        {0x18000B, 107, {"Delete", "/a"},
         "107 0x18000B " FALLBACK "(expects 3 arguments, got 2): \"Delete\" \"/a\""},
        {0x18000A, 0, {"a", "b", "c"},
         "0 0x18000A " FALLBACK "(expects 2 arguments, got 3): \"a\" \"b\" \"c\""},
        {0xAB, 13, {"x"}, "13 0x0000AB " FALLBACK "(unknown message id): \"x\""},
        {0x18000A, 13, {"x", "y"}, "13 0x18000A " FALLBACK "(argument 2 has type 7): \"x\"", 1, 7},
        {0x18000A, 13, {"x", nullptr}, "13 0x18000A " FALLBACK "(argument 2 is null): \"x\""},
        {0x18000A, 191, {"a\x1f\x7f\\", "b"}, "191 0x18000A a\\x1F\\x7F\\x5C b"},
        {0x18000A, 13, {"q\"q", "b"},
         "13 0x18000A " FALLBACK "(argument 2 is of negative length): \"q\\x22q\"", 1, S, -1},
        {0x18000A, 13, {"1", "2", "3", "4", "5", "6", "7", "8", "9"}, "13 0x18000A " FALLBACK
         "(more than 8 arguments): \"1\" \"2\" \"3\" \"4\" \"5\" \"6\" \"7\" \"8\""},
    };
    ASSERT_EQ(tqlog_preInit(), 0);
    for (const auto &r : rows) {
        EXPECT_EQ(send(r.id, r.pri, r.args, r.odd, r.type, r.max), 0);
        EXPECT_EQ(last_line(), r.text);
    }
    EXPECT_EQ(untimed("/var/log/messages").size(), std::size(rows));  // a line each
}

// The two names of an upload control block, back to back.
struct Names {
    char file_name[80] = {}, temp_name[80] = "/ramdisk/lighty.tmp";
    explicit Names(const std::string &path) { snprintf(file_name, 80, "%s", path.c_str()); }
};

// Each kind refuses a missing, an empty, a folder and an oversized upload,
// then takes one; refusals and acceptances replace each other's report; no
// file is created where a prepared name could be written through.  The busy
// flag (a folder will do) and the profile cache's refresh are the update
// service's too.
TEST(DeviceDelayed, EveryKindRefusesUnfitUploadsAndTakesOthers)
{
    EXPECT_EQ(tqupd_busy(), 0);
    write_file("/var/lib/tqusr", "");  // no folder for the flag: no flag
    int forced = 7;
    EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(&forced) + forced, 0);
    fs::create_directories("/var/lib/tqupd/busy");
    EXPECT_EQ(tqupd_busy(), 1);
    EXPECT_EQ(tq2FMProfileEntry_invalidateCache(0, 1, 2), 0);
    EXPECT_EQ(untimed("/var/lib/tqprofile/invalidations"), std::vector<std::string>{"0 1 2"});
    const struct { std::string name; int (*install)(const char *, uint8_t); } kinds[] = {
        {"firmware", tqupd_firmwareDelayed}, {"ssh-key", tqupd_sshKeyDelayed},
        {"https-cert", tqupd_httpsCertDelayed}, {"ldap-cert", tqupd_ldapCacertDelayed},
        {"vpn-cert", tqupd_vpnCertDelayed}, {"config", tqupd_configDelayed},
    };
    const std::string xml = "<profile><a x='1'>data</a></profile>\n";
    const std::string size = std::to_string(xml.size());
    std::vector<std::string> jobs;
    for (const auto &k : kinds) {
        bool config = k.name == "config";
        uint64_t max = config ? TQUPD_MAX_PROFILE : k.name == "firmware" ? TQUPD_MAX_FIRMWARE
                                                                         : TQUPD_MAX_CERT;
        std::string area = config ? "/tmp/sftp/nv/cfg" : "/tmp/sftp/upload/" + k.name;
        Names names(config ? "/nv/cfg/up.xml" : area + "/up.xml");
        std::string data = config ? names.temp_name : names.file_name;
        std::string stored = config ? "/flash/cfg/up.xml" : "/var/lib/tqupd/" + k.name + "/up.xml";
        for (auto [unfit, why] : {std::pair<std::string, std::string>{"missing", ""},
                                  {"empty", " is empty"}, {"folder", "not a regular file"},
                                  {"oversized", " is too large: " + std::to_string(max + 1)}}) {
            write_file(area + "/ok", "old\n");
            fs::remove_all(data);
            if (unfit == "empty" || unfit == "oversized")
                write_file(data, "");
            if (unfit == "oversized")
                fs::resize_file(data, max + 1);
            if (unfit == "folder")
                fs::create_directories(data);
            EXPECT_EQ(k.install(names.file_name, 2), 1) << k.name << unfit;
            EXPECT_FALSE(fs::exists(stored) || fs::exists(area + "/ok")) << k.name << unfit;
            std::string error = read_file(area + "/error");
            EXPECT_EQ(error.rfind("up.xml: refused: ", 0), 0u) << unfit;
            EXPECT_NE(error.find(why), std::string::npos) << error;
        }
        fs::remove_all(data);
        write_file(data, config ? zip(xml) : xml);
        EXPECT_EQ(k.install(names.file_name, 2), 0) << k.name;
        EXPECT_EQ(read_file(stored), xml) << k.name;
        EXPECT_EQ(fs::status(stored).permissions(), fs::perms(0644)) << k.name;
        EXPECT_FALSE(fs::exists(data) || fs::exists(area + "/error")) << k.name;
        std::string ok = config ? "installed, " + size + " bytes\n"
                                : "accepted, " + size + " bytes, install pending\n";
        EXPECT_EQ(read_file(area + "/ok"), "up.xml: " + ok);
        jobs.push_back(k.name + " up.xml " + size + " 2");
        EXPECT_EQ(untimed("/var/lib/tqupd/jobs"), jobs);
    }
    write_file("/tmp/sftp/upload/firmware/fw bin", "second");
    EXPECT_EQ(tqupd_firmwareDelayed("/tmp/sftp/upload/firmware/fw bin", 7), 0);
    EXPECT_EQ(tqupd_firmwareDelayed("/tmp/sftp/upload/..", 7), 1);
    EXPECT_EQ(tqupd_changeFilename(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(tqupd_changeFilename("/nv/cfg/new.xml"), 0);
    jobs = untimed("/var/lib/tqupd/jobs");
    EXPECT_EQ(jobs[jobs.size() - 2], "firmware fw\\x20bin 6 7");
    EXPECT_EQ(jobs.back(), "rename /nv/cfg/new.xml - -");
    EXPECT_EQ(read_file("/tmp/sftp/upload/firmware/error"), "..: refused: no file named\n");
    EXPECT_EQ(shared_creations, std::vector<std::string>{});
}

int install(const std::string &compressed, const std::string &name = "site.xml")
{
    Names names("/nv/cfg/" + name);
    write_file(names.temp_name, compressed);
    return tqupd_configDelayed(names.file_name, 2);
}

struct Received { std::string data; int calls = 0, stop_at = -1; bool short_count = false; };

// Call number stop_at (from 0) is answered with -1, or one byte short.
int record(uintptr_t offset, void *context, const void *piece, uint32_t length)
{
    auto &r = *static_cast<Received *>(context);
    if (r.calls++ == r.stop_at)
        return r.short_count ? static_cast<int>(length) - 1 : -1;
    EXPECT_EQ(offset, r.data.size());
    EXPECT_LE(length, 4096u);
    r.data.append(static_cast<const char *>(piece), length);
    return static_cast<int>(length);
}

int convert(const char *path, Received &r, const char *tag = "CompressedData")
{
    return tqapi_xml_convert_compress_XMLData_by_Callback(24, path, record, &r, 2, tag);
}

// A stored profile converts back to the bytes uploaded; a sink that stops the
// conversion, a missing or ill-formed profile and another tag end it at once.
TEST(DeviceProfile, ConversionGivesBackTheUploadedBytes)
{
    std::string xml = "<?xml version=\"1.0\"?>\n<p>";
    for (int i = 0; xml.size() < 200 * 1024; i++)
        xml += "<q n='" + std::to_string(i * i) + "'>&amp; &#x263A; <![CDATA[<raw>]]></q>\r\n";
    xml += "</p>\n";
    ASSERT_EQ(install(zip(xml)), 0);
    EXPECT_EQ(read_file("/flash/cfg/site.xml"), xml);
    Received r;
    ASSERT_EQ(convert("/flash/cfg/site.xml", r), 0);
    EXPECT_EQ(zip(r.data, false), xml);
    for (bool short_count : {false, true}) {
        Received stop{"", 0, 1, short_count};
        EXPECT_EQ(convert("/flash/cfg/site.xml", stop), -1);
        EXPECT_EQ(errno, short_count ? EIO : ECANCELED);
    }
    write_file("/flash/cfg/bad.xml", "<a><b></a>");
    write_file("/flash/cfg/open.xml", "<a><b></b>");  // found ill-formed only at its end
    const char *tag = "CompressedData";
    const std::tuple<const char *, const char *, int> calls[] = {
        {"/flash/cfg/bad.xml", tag, EBADMSG}, {"/flash/cfg/open.xml", tag, EBADMSG},
        {"/flash/cfg/none.xml", tag, ENOENT},
        {"/flash/cfg", tag, EISDIR}, {"/flash/cfg/bad.xml", "Other", EINVAL},
    };
    Received none;
    for (const auto &[path, tag, err] : calls) {
        EXPECT_EQ(convert(path, none, tag), -1) << path;
        EXPECT_EQ(errno, err) << path;
    }
    EXPECT_EQ(tqapi_xml_convert_compress_XMLData_by_Callback(24, "/flash/cfg/site.xml", record,
                                                             &none, 1, tag), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(none.calls, 0);
}

// Only well-formed profiles of profile names within the unpacked ceiling are
// taken, of one or several gzip members; a refused upload says why and leaves
// the stored profile as it was and no unfinished copy, and no name prepared
// in the store or the error file is written through.
TEST(DeviceProfile, UploadsAreCheckedBeforeTheyAreStored)
{
    std::string truncated = zip("<a>" + std::string(5000, 'x') + "</a>");
    truncated.resize(truncated.size() - 4);
    const std::string most = "<a>" + std::string(TQUPD_MAX_PROFILE_XML - 7, 'a') + "</a>";
    const std::string bomb = "<a>a" + most.substr(3);  // a byte more than is taken
    const std::string fine = zip("<a/>"), ill = "not well-formed XML", name = "not a profile name";
    const struct { std::string name, data, refused; } uploads[] = {  // refused "": taken
        {"site.xml", "<a/>", "not valid gzip data"},
        {"site.xml", std::string("\x78\x9C\xB3\x49\xD4\xB7\x03\x00\x02\xB3\x01\x0B", 12),
         "not valid gzip data"},  // "<a/>" in zlib's form, not gzip's
        {"site.xml", truncated, "the compressed data is truncated"},
        {"site.xml", zip("<a><b></b>"), ill}, {"site.xml", zip("<a>\xC3\x28</a>"), ill},
        {"site.xml", zip(bomb), "the profile is too large unpacked"}, {"most.xml", zip(most), ""},
        {"a.XML", fine, name}, {".xml", fine, name}, {"a.b.xml", fine, name},
        {"\xC3\xA9.xml", fine, name}, {"a.xml/", fine, name},
        {"-_09AZaz.xml", fine, ""}, {std::string(32 - 4, 'n') + ".xml", fine, ""},
        {"two.xml", zip("<a>one ") + zip("two</a>"), ""},
    };
    fs::create_directories("/tmp/sftp/nv/cfg");
    for (const auto &u : uploads) {
        SCOPED_TRACE(u.name + ": " + u.refused);
        write_file("/flash/cfg/site.xml", "<old/>");
        EXPECT_EQ(install(u.data, u.name), u.refused.empty() ? 0 : 1);
        if (u.refused.empty())
            EXPECT_EQ(read_file("/flash/cfg/" + u.name), zip(u.data, false));
        else
            EXPECT_NE(read_file("/tmp/sftp/nv/cfg/error").find(u.refused), std::string::npos);
        EXPECT_EQ(read_file("/flash/cfg/site.xml"), "<old/>");
    }
    fs::create_hard_link("/flash/cfg/site.xml", "/flash/cfg/.evil.xml.part");
    fs::create_symlink("/flash/cfg/site.xml", "/tmp/sftp/nv/cfg/error.new");
    EXPECT_EQ(install(zip("<broken>"), "evil.xml"), 1);
    EXPECT_EQ(install(fine, "evil.xml"), 0);
    EXPECT_EQ(read_file("/flash/cfg/site.xml"), "<old/>");
    Names link("/nv/cfg/link.xml");  // uploaded data behind a link is not read
    write_file("/tmp/fine.gz", fine);
    fs::create_symlink("/tmp/fine.gz", link.temp_name);
    EXPECT_EQ(tqupd_configDelayed(link.file_name, 2), 1);
    const std::string client = std::string(72, '/') + "full.xml";
    const std::string temp = "/ramdisk/" + std::string(71, 't');
    memcpy(link.file_name, client.data(), 80);  // both names fill their 80 bytes: no NUL
    memcpy(link.temp_name, temp.data(), 80);
    write_file(temp, fine);
    EXPECT_EQ(tqupd_configDelayed(link.file_name, 2), 0);
    EXPECT_EQ(std::distance(fs::directory_iterator("/flash/cfg"), {}), 8);  // no scratch file left
}

// Unfit uploads are refused unread and left alone; a fit one is renamed into
// the state folder where both lie on one file system (elsewhere it is copied).
TEST(DeviceHardening, UploadsAreCheckedThenMovedNotCopied)
{
    const std::string fw = "/tmp/sftp/upload/firmware/", key = "/tmp/sftp/upload/ssh-key/id.pub";
    ASSERT_EQ(system("mkdir -p /var/lib/area /tmp/sftp/upload && cd /var/lib/area && echo fw >a.bin"
                     " && echo s >../secret && truncate -s 4E huge.bin && ln -s ../secret link.bin"
                     " && ln -s /var/lib/area /tmp/sftp/upload/firmware"), 0);
    for (auto [name, error] : {std::pair{fw + "link.bin", "link.bin: refused: not a regular file"},
                               {"/var/lib/secret", "secret: refused: not a file of"},
                               {fw + "huge.bin", "huge.bin: refused: the file is too large"}}) {
        EXPECT_EQ(tqupd_firmwareDelayed(name.c_str(), 2), 1);
        EXPECT_EQ(read_file(fw + "error").rfind(error, 0), 0u) << name;
    }
    write_file(key, "");
    fs::resize_file(key, TQUPD_MAX_CERT);  // exactly the ceiling: taken
    EXPECT_EQ(tqupd_sshKeyDelayed(key.c_str(), 2), 0);
    EXPECT_EQ(read_file("/var/lib/secret"), "s\n");
    EXPECT_TRUE(fs::exists(fw + "huge.bin") && fs::is_symlink(fw + "link.bin"));
    EXPECT_FALSE(fs::exists("/var/lib/tqupd/firmware"));
    struct stat before, after;
    stat("/var/lib/area/a.bin", &before);
    ASSERT_EQ(tqupd_firmwareDelayed((fw + "a.bin").c_str(), 2), 0);
    ASSERT_EQ(stat("/var/lib/tqupd/firmware/a.bin", &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

// An unwritable log answers -1; a rotated log and a new flag are seen at the next look.
TEST(DeviceHardening, LogAndFlagFollowTheirFiles)
{
    int forced = 7;
    EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(&forced) + forced, 0);
    EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(nullptr), -1);
    fs::create_directories("/var/log/messages");
    EXPECT_EQ(send(0x18000A, 13, {"a", "b"}), -1);
    fs::remove("/var/log/messages");
    ASSERT_EQ(send(0x18000A, 13, {"a", "b"}), 0);
    fs::rename("/var/log/messages", "/var/log/messages.1");
    write_file("/var/log/messages", "");  // made anew by the rotation
    write_file("/var/lib/tqusr/force-password", "");
    usleep(150 * 1000);
    EXPECT_EQ(send(0x18000A, 13, {"a", "b"}), 0);
    EXPECT_EQ(last_line(), "13 0x18000A a b");
    EXPECT_EQ(tqusrMgr_GetForcePasswordStatus(&forced) + forced, 1);
}

}  // namespace
