// The device's services, each case in a fresh device root: the log service,
// the update service (delayed installs, job log, profile installs), the XML
// service that turns stored profiles back into gzip, and the flag files and
// records of the update service, the user manager and the profile manager.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tqdevice/tqlog.h"
#include "tqdevice/tqprofile.h"
#include "tqdevice/tqupd.h"
#include "tqdevice/tqusrmgr.h"
#include "tqdevice/tqxml.h"

namespace
{

using std::filesystem::exists;

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::string &path, const std::string &data)
{
    std::filesystem::create_directories(
        std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

// No lines when the file does not exist.
std::vector<std::string> lines_of(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// gzip of data, or (compress false) the bytes of one whole gzip stream,
// which throws when data is anything else.
std::string zip(const std::string &data, bool compress)
{
    z_stream z{};
    compress ? deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY)
             : inflateInit2(&z, 15 + 16);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buf[16384];
    int r;
    do {
        z.next_out = reinterpret_cast<Bytef *>(buf);
        z.avail_out = sizeof buf;
        r = compress ? deflate(&z, Z_FINISH) : inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    } while (r == Z_OK);
    compress ? deflateEnd(&z) : inflateEnd(&z);
    if (r != Z_STREAM_END || z.avail_in != 0)
        throw std::runtime_error("not one whole gzip stream");
    return out;
}

std::string gzip(const std::string &data)
{
    return zip(data, true);
}

constexpr const char *messages = "/var/log/messages";

// Priority, host, id and text of a log line; only the line when it is none.
std::vector<std::string> parse(const std::string &line)
{
    static const std::regex form(
        R"(<(\d{1,3})>1 \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (\S+) tqsftp - (0x[0-9A-F]{6,8}) - (.*))");
    std::smatch m;
    if (!std::regex_match(line, m, form))
        return {"unparsable: " + line};
    return {m[1], m[2], m[3], m[4]};
}

// Sends up to four text arguments as the plug-in does, followed by a triple
// of type next (the end mark, unless a case wants a bad type).
int send(uint32_t id, int pri, std::vector<const char *> a,
         int next = TQLOG_ARG_END)
{
    int t[4];
    for (size_t i = 0; i < 4; ++i)
        t[i] = i < a.size() ? TQLOG_ARG_STRING : i == a.size() ? next : TQLOG_ARG_END;
    a.resize(4, "unused");
    constexpr int max = 0x7FFFFFFF;
    return tqlog_throwMsg("lib/tqsftp_main", 92, id, pri, 24, t[0], max, a[0],
                          t[1], max, a[1], t[2], max, a[2], t[3], max, a[3],
                          TQLOG_ARG_END);
}

#define FALLBACK "unformatted message from lib/tqsftp_main:92 module 24 "

// The id as the line shows it; next, the type of the triple after the
// arguments (0, the end mark, but for one case).
const struct {
    const char *id; int pri; std::vector<const char *> args; int next; const char *text;
} messages_sent[] = {
    {"0x18000A", 109, {"Create", "/usb/new"}, 0, "Create /usb/new"},
    {"0x18000B", 107, {"Delete", "/nv/cfg/a.xml", "Permission denied"}, 0,
     "Delete /nv/cfg/a.xml failed: Permission denied"},
    {"0x18000C", 13, {"Copy", "remote", "/upload/firmware/fw.bin"}, 0,
     "Copy remote to /upload/firmware/fw.bin"},
    {"0x18000D", 11, {"Rename", "/usb/a", "/usb/b", "No such file or directory"},
     0, "Rename /usb/a to /usb/b failed: No such file or directory"},
    // Control bytes and backslashes are escaped: one message, one line.
    {"0x18000A", 13, {"Create", "/usb/a\nb\\c"}, 0, "Create /usb/a\\x0Ab\\x5Cc"},
    {"0x180099", 13, {"Create", "/usb/x"}, 0,
     FALLBACK "(unknown message id): \"Create\" \"/usb/x\""},
    {"0x18000B", 13, {"Delete", "/a"}, 0,
     FALLBACK "(expects 3 arguments, got 2): \"Delete\" \"/a\""},
    {"0x18000A", 13, {"Create"}, 7,
     FALLBACK "(argument 2 has type 7): \"Create\""},
    {"0x18000A", 13, {nullptr}, 0, FALLBACK "(argument 1 is null):"},
};

TEST(DeviceLog, LinesParseBackToPriorityIdAndText)
{
    ASSERT_EQ(tqlog_preInit(), 0);
    char host[256] = "";
    gethostname(host, sizeof host);
    size_t count = 0;
    for (const auto &m : messages_sent) {
        SCOPED_TRACE(m.text);
        EXPECT_EQ(send(std::stoul(m.id, nullptr, 16), m.pri, m.args, m.next), 0);
        auto lines = lines_of(messages);
        ASSERT_EQ(lines.size(), ++count);
        std::vector<std::string> want = {std::to_string(m.pri), host, m.id,
                                         m.text};
        EXPECT_EQ(parse(lines.back()), want);
    }
}

TEST(DeviceLog, UnwritableLogGoesToStandardError)
{
    ASSERT_EQ(mkdir(messages, 0755), 0); // a folder cannot be appended to
    int saved = dup(STDERR_FILENO);
    dup2(open("/tmp/stderr", O_RDWR | O_CREAT, 0600), STDERR_FILENO);
    errno = 5;
    int answer = send(0x18000A, 13, {"Create", "/usb/x"});
    int errno_after = errno;
    dup2(saved, STDERR_FILENO);
    EXPECT_EQ(answer, -1);
    EXPECT_EQ(errno_after, 5);
    auto lines = lines_of("/tmp/stderr");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(parse(lines[0]).back(), "Create /usb/x");
}

// Long lines from several processes at once: every line arrives whole.
TEST(DeviceLog, ConcurrentWritersNeverMixLines)
{
    constexpr int writers = 4, each = 100;
    std::string path(1000, 'p');
    for (int w = 0; w < writers; ++w) {
        if (fork() == 0) {
            std::string label = "W" + std::to_string(w);
            for (int i = 0; i < each; ++i)
                send(0x18000D, 107,
                     {label.c_str(), path.c_str(), path.c_str(), path.c_str()});
            _exit(0);
        }
    }
    for (int w = 0; w < writers; ++w)
        wait(nullptr);
    auto lines = lines_of(messages);
    ASSERT_EQ(lines.size(), static_cast<size_t>(writers * each));
    std::string tail = " " + path + " to " + path + " failed: " + path;
    for (const auto &line : lines)
        ASSERT_EQ(parse(line).back().substr(2), tail) << line.substr(0, 200);
}

constexpr const char *jobs = "/var/lib/tqupd/jobs";

// A job line without its time stamp.
std::string untimed(const std::string &line)
{
    return line.substr(line.find(' '));
}

// The two names of an upload control block, back to back: the client path,
// then the temporary file that holds a profile's data.
struct Names {
    char file_name[80] = {};
    char temp_name[80] = "/ramdisk/lighty.tmp";
    explicit Names(const std::string &path)
    {
        snprintf(file_name, sizeof file_name, "%s", path.c_str());
    }
};

TEST(DeviceFlags, BusyFollowsItsFlagFile)
{
    EXPECT_EQ(tqupd_busy(), 0);
    write_file("/var/lib/tqupd/busy", "");
    EXPECT_EQ(tqupd_busy(), 1);
    remove("/var/lib/tqupd/busy");
    EXPECT_EQ(tqupd_busy(), 0);
}

const struct {
    std::string name; int (*install)(const char *, uint8_t); std::string area;
} kinds[] = {
    {"firmware", tqupd_firmwareDelayed, "/tmp/sftp/upload/firmware"},
    {"ssh-key", tqupd_sshKeyDelayed, "/tmp/sftp/upload/ssh-key"},
    {"https-cert", tqupd_httpsCertDelayed, "/tmp/sftp/upload/https-cert"},
    {"ldap-cert", tqupd_ldapCacertDelayed, "/tmp/sftp/upload/ldap-cert"},
    {"vpn-cert", tqupd_vpnCertDelayed, "/tmp/sftp/upload/vpn-cert"},
    {"config", tqupd_configDelayed, "/tmp/sftp/nv/cfg"},
};

// Each kind refuses a missing and an empty upload up.xml, then takes it.
TEST(DeviceDelayed, EveryKindRefusesMissingAndEmptyUploadsAndTakesOthers)
{
    const std::string xml = "<profile><a x='1'>data</a></profile>\n";
    const std::string size = std::to_string(xml.size());
    size_t accepted = 0;
    for (const auto &k : kinds) {
        SCOPED_TRACE(k.name);
        bool config = k.name == "config";
        Names names(config ? "/nv/cfg/up.xml" : k.area + "/up.xml");
        std::string data = config ? names.temp_name : names.file_name;
        std::string stored = config ? "/flash/cfg/up.xml"
                                    : "/var/lib/tqupd/" + k.name + "/up.xml";
        auto expect_refused = [&](const std::string &reason) {
            write_file(k.area + "/ok", "old acceptance\n");
            EXPECT_EQ(k.install(names.file_name, 2), 1);
            EXPECT_FALSE(exists(stored));
            EXPECT_FALSE(exists(k.area + "/ok"));
            EXPECT_EQ(read_file(k.area + "/error"),
                      "up.xml: refused: " + reason + "\n");
            EXPECT_EQ(lines_of(jobs).size(), accepted);
        };
        // The area folders are the plug-in's; without one, only the report
        // of the refusal is lost.
        EXPECT_EQ(k.install(names.file_name, 2), 1);
        EXPECT_FALSE(exists(k.area));
        expect_refused(config ? "cannot read the upload: No such file or directory"
                              : "the file does not exist");
        write_file(data, "");
        expect_refused(config ? "the upload is empty" : "the file is empty");

        write_file(data, config ? gzip(xml) : xml);
        EXPECT_EQ(k.install(names.file_name, 2), 0);
        EXPECT_EQ(read_file(stored), xml);
        EXPECT_FALSE(exists(data));
        EXPECT_FALSE(exists(k.area + "/error"));
        EXPECT_EQ(read_file(k.area + "/ok"),
                  "up.xml: " + (config ? "installed, " + size + " bytes\n"
                                       : "accepted, " + size + " bytes, install pending\n"));
        auto lines = lines_of(jobs);
        ASSERT_EQ(lines.size(), ++accepted);
        EXPECT_EQ(untimed(lines.back()), " " + k.name + " up.xml " + size + " 2");
    }
}

// A later upload of the same name replaces the waiting one.
TEST(DeviceJobs, ReplacedUploadsEscapedNamesAndRenameNotices)
{
    write_file("/tmp/sftp/upload/firmware/fw bin", "first");
    ASSERT_EQ(tqupd_firmwareDelayed("/tmp/sftp/upload/firmware/fw bin", 2), 0);
    write_file("/tmp/sftp/upload/firmware/fw bin", "second");
    ASSERT_EQ(tqupd_firmwareDelayed("/tmp/sftp/upload/firmware/fw bin", 7), 0);
    EXPECT_EQ(read_file("/var/lib/tqupd/firmware/fw bin"), "second");
    EXPECT_FALSE(exists("/tmp/sftp/upload/firmware/fw bin"));
    EXPECT_EQ(tqupd_changeFilename("/nv/cfg/new.xml"), 0);
    auto lines = lines_of(jobs);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(untimed(lines[1]), " firmware fw\\x20bin 6 7");
    EXPECT_EQ(untimed(lines[2]), " rename /nv/cfg/new.xml - -");
}

TEST(DeviceProfileManager, EveryInvalidationIsOneLine)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(tq2FMProfileEntry_invalidateCache(0, 1, i), 0);
    auto lines = lines_of("/var/lib/tqprofile/invalidations");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(untimed(lines[2]), " 0 1 2");
}

constexpr const char *site = "/flash/cfg/site.xml";

// Hands compressed to the update service as the upload of /nv/cfg/<name>.
int install(const std::string &compressed, const std::string &name = "site.xml")
{
    Names names("/nv/cfg/" + name);
    write_file(names.temp_name, compressed);
    return tqupd_configDelayed(names.file_name, 2);
}

// A profile of about size bytes that uses most of what XML allows.
std::string sample_profile(size_t size)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE p [<!ENTITY s \"Zürich\">]><!-- a test -->\n"
                      "<p version=\"2\" xmlns:x=\"urn:x\">\n";
    for (unsigned i = 0; xml.size() < size; ++i)
        xml += "  <q x:id=\"" + std::to_string(i) + "\" n='" +
               std::to_string(i * i) + "'>&s; &amp; &#x263A; <![CDATA[<raw> & ]]></q>\r\n";
    return xml + "<?pi done?></p>\n";
}

// What the XML service handed to a sink, which checks that the pieces come
// in order and fit 4 KiB.  Call number stop_at (from 0) is answered with -1,
// or with one byte short when short_count is set.
struct Received {
    std::string data;
    int calls = 0;
    int stop_at = -1;
    bool short_count = false;
};

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

int convert(const char *path, Received &r, int mode = 2,
            const char *tag = "CompressedData")
{
    return tqapi_xml_convert_compress_XMLData_by_Callback(24, path, record, &r,
                                                          mode, tag);
}

TEST(DeviceProfile, RoundTripGivesBackTheSameBytes)
{
    std::string xml = sample_profile(300 * 1024);
    ASSERT_EQ(install(gzip(xml)), 0);
    EXPECT_EQ(read_file(site), xml);
    Received r, again;
    ASSERT_EQ(convert(site, r), 0);
    EXPECT_GT(r.calls, 1);
    EXPECT_EQ(zip(r.data, false), xml);
    // Same profile, same bytes: the size a client is shown is the size it
    // downloads.
    ASSERT_EQ(convert(site, again), 0);
    EXPECT_EQ(again.data, r.data);
}

// As gzip writes several files in a row.  The area folder of the reports is
// the plug-in's and not needed.
TEST(DeviceProfile, SeveralGzipMembersMakeOneProfile)
{
    ASSERT_EQ(install(gzip("<a>one ") + gzip("two</a>")), 0);
    EXPECT_EQ(read_file(site), "<a>one two</a>");
    EXPECT_FALSE(exists("/tmp/sftp"));
}

// A refused upload leaves the stored profile of that name as it was, and no
// unfinished copy behind; a stored profile that is not well-formed is not
// converted either.
TEST(DeviceProfile, BrokenUploadsAndDocumentsAreRefused)
{
    const std::string big = gzip(sample_profile(200 * 1024));
    std::string bad_crc = gzip("<a>text</a>");
    bad_crc[bad_crc.size() - 6] ^= 1;
    const struct {
        std::string data; const char *reason; std::string name = "site.xml";
    } uploads[] = {
        {"<a/>", "not valid gzip data"},
        {big.substr(0, big.size() - 4), "the compressed data is truncated"},
        {bad_crc, "not valid gzip data"},
        {gzip("<a/>") + "junk", "not valid gzip data"},
        {gzip("<a/>"), "not a profile name", "My Site.xml"},
        {gzip("<a/>"), "not a profile name", std::string(29, 'a') + ".xml"},
    };
    const std::string documents[] = {"<a><b></b>", "<a></b>", "<a>\xC3\x28</a>",
                                     sample_profile(100 * 1024) + "<late/>"};
    auto expect_refused = [](const std::string &data, const std::string &reason,
                             const std::string &name) {
        write_file(site, "<old/>");
        EXPECT_EQ(install(data, name), 1);
        EXPECT_EQ(read_file(site), "<old/>");
        EXPECT_FALSE(exists("/flash/cfg/.site.xml.part"));
        std::string error = read_file("/tmp/sftp/nv/cfg/error");
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    };
    std::filesystem::create_directories("/tmp/sftp/nv/cfg");
    for (const auto &u : uploads)
        expect_refused(u.data, u.reason, u.name);
    for (const auto &xml : documents) {
        SCOPED_TRACE(xml.substr(0, 20));
        expect_refused(gzip(xml), "not well-formed XML: line ", "site.xml");
        write_file("/flash/cfg/bad.xml", xml);
        Received r;
        EXPECT_EQ(convert("/flash/cfg/bad.xml", r), -1);
        EXPECT_EQ(errno, EBADMSG);
    }
}

TEST(DeviceConversion, SinkAnsweringMinusOneOrTakingLessStopsIt)
{
    write_file(site, sample_profile(100 * 1024));
    for (bool short_count : {false, true}) {
        Received r;
        r.stop_at = 1;
        r.short_count = short_count;
        EXPECT_EQ(convert(site, r), -1);
        EXPECT_EQ(errno, short_count ? EIO : ECANCELED);
        EXPECT_EQ(r.calls, 2);
    }
}

TEST(DeviceConversion, UnreadableProfilesAndOtherFormsFail)
{
    write_file(site, "<a/>");
    const struct { const char *path; int mode; const char *tag; int error; } calls[] = {
        {"/flash/cfg/none.xml", 2, "CompressedData", ENOENT},
        {"/flash/cfg", 2, "CompressedData", EISDIR},
        {site, 1, "CompressedData", EINVAL},
        {site, 2, "Other", EINVAL}};
    Received r;
    for (const auto &c : calls) {
        EXPECT_EQ(convert(c.path, r, c.mode, c.tag), -1) << c.path << c.tag;
        EXPECT_EQ(errno, c.error) << c.path << c.tag;
    }
    EXPECT_EQ(r.calls, 0);
}

} // namespace
