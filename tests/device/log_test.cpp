// The log service: every message is one line of /var/log/messages that can be
// parsed back into priority, id and text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "helpers.h"
#include "tqdevice/tqlog.h"

namespace
{

using devtest::lines_of;

constexpr const char *messages = "/var/log/messages";
constexpr int text = TQLOG_ARG_STRING;
constexpr int max = 0x7FFFFFFF;

struct Line {
    int pri;
    std::string host;
    std::string id;
    std::string text;
};

Line parse(const std::string &line)
{
    static const std::regex form(
        R"(<(\d{1,3})>1 \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (\S+) tqsftp - (0x[0-9A-F]{6,8}) - (.*))");
    std::smatch m;
    if (!std::regex_match(line, m, form))
        return {-1, "", "", "unparsable: " + line};
    return {std::stoi(m[1]), m[2], m[3], m[4]};
}

Line only_line()
{
    auto lines = lines_of(messages);
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? Line{} : parse(lines.back());
}

// Sends a message with up to four text arguments, as the plug-in does; the
// end mark stands in the type of the first unused triple.
int send(uint32_t id, int pri, std::vector<const char *> a)
{
    int t[4];
    for (size_t i = 0; i < 4; ++i)
        t[i] = i < a.size() ? text : TQLOG_ARG_END;
    a.resize(4, "unused");
    return tqlog_throwMsg("lib/tqsftp_main", 92, id, pri, 24, t[0], max, a[0],
                          t[1], max, a[1], t[2], max, a[2], t[3], max, a[3],
                          TQLOG_ARG_END);
}

struct Known {
    const char *what;
    uint32_t id;
    int pri;
    std::vector<const char *> args;
    const char *id_text;
    const char *text;
};

void PrintTo(const Known &k, std::ostream *os)
{
    *os << k.what;
}

class DeviceLogKnown : public testing::TestWithParam<Known>
{
};

TEST_P(DeviceLogKnown, LineParsesBackToPriorityIdAndText)
{
    const Known &k = GetParam();
    ASSERT_EQ(tqlog_preInit(), 0);
    EXPECT_EQ(send(k.id, k.pri, k.args), 0);
    Line l = only_line();
    EXPECT_EQ(l.pri, k.pri);
    EXPECT_EQ(l.id, k.id_text);
    EXPECT_EQ(l.text, k.text);
    char host[256] = "";
    gethostname(host, sizeof host);
    EXPECT_EQ(l.host, host);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, DeviceLogKnown,
    testing::Values(
        Known{"OnePath",
              0x18000A,
              109,
              {"Create", "/usb/new"},
              "0x18000A",
              "Create /usb/new"},
        Known{"OnePathFailed",
              0x18000B,
              107,
              {"Delete", "/nv/cfg/a.xml", "Permission denied"},
              "0x18000B",
              "Delete /nv/cfg/a.xml failed: Permission denied"},
        Known{"TwoPaths",
              0x18000C,
              13,
              {"Copy", "remote", "/upload/firmware/fw.bin"},
              "0x18000C",
              "Copy remote to /upload/firmware/fw.bin"},
        Known{"TwoPathsFailed",
              0x18000D,
              11,
              {"Rename", "/usb/a", "/usb/b", "No such file or directory"},
              "0x18000D",
              "Rename /usb/a to /usb/b failed: No such file or directory"},
        // Control bytes and backslashes are written escaped, so one message
        // stays one line.
        Known{"ControlBytes",
              0x18000A,
              13,
              {"Create", "/usb/a\nb\\c"},
              "0x18000A",
              "Create /usb/a\\x0Ab\\x5Cc"}),
    [](const auto &info) { return std::string(info.param.what); });

struct Odd {
    const char *what;
    int (*send)();
    const char *text;
};

void PrintTo(const Odd &o, std::ostream *os)
{
    *os << o.what;
}

class DeviceLogFallback : public testing::TestWithParam<Odd>
{
};

TEST_P(DeviceLogFallback, WritesAClearLineInstead)
{
    EXPECT_EQ(GetParam().send(), 0);
    Line l = only_line();
    EXPECT_EQ(l.pri, 13);
    EXPECT_EQ(l.text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DeviceLogFallback,
    testing::Values(
        Odd{"UnknownId",
            [] {
                return send(0x180099, 13, {"Create", "/usb/x"});
            },
            "unformatted message from lib/tqsftp_main:92 module 24 (unknown "
            "message id): \"Create\" \"/usb/x\""},
        Odd{"TooFewArguments",
            [] {
                return send(0x18000B, 13, {"Delete", "/a"});
            },
            "unformatted message from lib/tqsftp_main:92 module 24 (expects 3 "
            "arguments, got 2): \"Delete\" \"/a\""},
        Odd{"BadType",
            [] {
                return tqlog_throwMsg("x.c", 7, 0x18000A, 13, 24, text, max,
                                      "Create", 7, TQLOG_ARG_END);
            },
            "unformatted message from x.c:7 module 24 (argument 2 has type 7): "
            "\"Create\""},
        Odd{"NullText",
            [] {
                return tqlog_throwMsg("x.c", 7, 0x18000A, 13, 24, text, max,
                                      static_cast<const char *>(nullptr),
                                      TQLOG_ARG_END);
            },
            "unformatted message from x.c:7 module 24 (argument 1 is null):"}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(DeviceLog, UnwritableLogGoesToStandardError)
{
    ASSERT_EQ(mkdir(messages, 0755), 0); // a folder cannot be appended to
    int err = open("/tmp/stderr", O_RDWR | O_CREAT | O_TRUNC, 0600);
    int saved = dup(STDERR_FILENO);
    dup2(err, STDERR_FILENO);
    errno = 5;
    int answer = send(0x18000A, 13, {"Create", "/usb/x"});
    int errno_after = errno;
    dup2(saved, STDERR_FILENO);
    EXPECT_EQ(answer, -1);
    EXPECT_EQ(errno_after, 5);
    auto lines = lines_of("/tmp/stderr");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(parse(lines[0]).text, "Create /usb/x");
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
    for (const auto &line : lines) {
        Line l = parse(line);
        ASSERT_EQ(l.text.substr(2), tail) << line.substr(0, 200);
    }
}

} // namespace
