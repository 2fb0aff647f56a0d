// The log service: each message becomes one RFC 5424 line appended to
// /var/log/messages.
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <charconv>
#include <mutex>
#include <string>

#include "tqdevice/tqlog.h"
#include "files.h"

namespace
{

using tqdev::escape;

TQDEVICE_STARTUP_TEXT constexpr char log_dir[] = "/var/log";
constexpr const char *log_path = "/var/log/messages";
constexpr int max_args = 8;
// Longest argument text written; longer ones are cut and marked "...".
constexpr size_t max_arg_len = 1024;

// The texts of the messages that the log service knows, by id.
struct Template {
    uint32_t id;
    int args;
    const char *format; // each "%s" takes the next argument
};

constexpr Template templates[] = {
    {0x18000A, 2, "%s %s"},
    {0x18000B, 3, "%s %s failed: %s"},
    {0x18000C, 3, "%s %s to %s"},
    {0x18000D, 4, "%s %s to %s failed: %s"},
};

struct Arg {
    const char *text;
    size_t len;
};

// One message as the caller gave it, read before anything is allocated.
struct Message {
    const char *file;
    int line;
    uint32_t id;
    int priority;
    int module;
    Arg args[max_args];
    int count;
    char problem[64]; // empty when the arguments were read cleanly
};

// Reads the (type, max length, text) triples up to the end mark.  Stops at
// the first triple it cannot trust and says why in m.problem.
void read_args(Message &m, va_list ap)
{
    m.count = 0;
    m.problem[0] = '\0';
    for (;;) {
        int type = va_arg(ap, int);
        if (type == TQLOG_ARG_END)
            return;
        int n = m.count + 1;
        if (m.count == max_args) {
            snprintf(m.problem, sizeof m.problem, "more than %d arguments",
                     max_args);
            return;
        }
        if (type != TQLOG_ARG_STRING) {
            snprintf(m.problem, sizeof m.problem, "argument %d has type %d", n,
                     type);
            return;
        }
        int max = va_arg(ap, int);
        const char *text = va_arg(ap, const char *);
        if (max < 0 || text == nullptr) {
            snprintf(m.problem, sizeof m.problem, "argument %d is %s", n,
                     text == nullptr ? "null" : "of negative length");
            return;
        }
        m.args[m.count++] = {text, strnlen(text, static_cast<size_t>(max))};
    }
}

void append_arg(std::string &out, const Arg &a, std::string_view also = {})
{
    std::string_view text(a.text, a.len);
    tqdev::append_escaped(out, text.substr(0, max_arg_len), also);
    if (text.size() > max_arg_len)
        out += "...";
}

const Template *find_template(uint32_t id)
{
    for (const Template &t : templates)
        if (t.id == id)
            return &t;
    return nullptr;
}

void append_filled(std::string &out, const Template &t, const Message &m)
{
    int next = 0;
    for (const char *p = t.format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            append_arg(out, m.args[next++]);
            ++p;
        } else {
            out += *p;
        }
    }
}

// The text of a message that has no template, or whose arguments do not fit
// it: where it came from, why, and every argument that could be read.
std::string fallback(const Message &m, const char *problem)
{
    std::string out = "unformatted message from ";
    out += m.file != nullptr ? escape(m.file, " ") : "?";
    out += ":" + std::to_string(m.line) + " module " +
           std::to_string(m.module) + " (" + problem + "):";
    for (int i = 0; i < m.count; ++i) {
        out += " \"";
        append_arg(out, m.args[i], "\"");
        out += '"';
    }
    return out;
}

void append_message(std::string &out, const Message &m)
{
    if (m.problem[0] != '\0') {
        out += fallback(m, m.problem);
        return;
    }
    const Template *t = find_template(m.id);
    if (t == nullptr) {
        out += fallback(m, "unknown message id");
        return;
    }
    if (t->args != m.count) {
        std::string why = "expects " + std::to_string(t->args) +
                          " arguments, got " + std::to_string(m.count);
        out += fallback(m, why.c_str());
        return;
    }
    append_filled(out, *t, m);
}

// Asked once: the name does not change under a running service.
const std::string &host_name()
{
    static const std::string name = [] {
        char text[256] = "";
        if (gethostname(text, sizeof text - 1) < 0 || text[0] == '\0')
            return std::string("-");
        return escape(text, " ");
    }();
    return name;
}

// "0x" and the id in upper-case hex, at least six digits.
void append_id(std::string &out, uint32_t id)
{
    char hex[8];
    auto end = std::to_chars(hex, hex + sizeof hex, id, 16).ptr;
    out += "0x";
    out.append(end - hex < 6 ? 6 - (end - hex) : 0, '0');
    for (const char *p = hex; p < end; ++p)
        out += static_cast<char>(*p >= 'a' ? *p - 'a' + 'A' : *p);
}

// The line is made in a buffer of the thread's that keeps its room from one
// message to the next.
const std::string &log_line(const Message &m)
{
    // A priority outside the syslog range is written as user.notice.
    int pri = m.priority >= 0 && m.priority <= 191 ? m.priority : 13;
    thread_local std::string line;
    line.clear();
    line += '<';
    char digits[4];
    line.append(digits, std::to_chars(digits, digits + sizeof digits, pri).ptr);
    line += ">1 ";
    tqdev::append_utc_time(line, true);
    line += ' ';
    line += host_name();
    line += " tqsftp - ";
    append_id(line, m.id);
    line += " - ";
    append_message(line, m);
    line += '\n';
    return line;
}

int open_log()
{
    int fd = ::open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0 && errno == ENOENT && tqdev::make_dirs(log_dir, 0755) == 0)
        fd = ::open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    return fd;
}

// The log stays open for the life of the process.  A log that was rotated
// away (renamed or removed) is noticed within recheck_ms, or at the first
// write that fails, and opened anew.
class LogFile
{
  public:
    int write(const std::string &line);

  private:
    bool moved() const;
    void reopen();

    std::mutex lock_;
    tqdev::Fd fd_;
    struct stat at_ = {};
    tqdev::Every recheck_{tqdev::recheck_ms};
};

bool LogFile::moved() const
{
    struct stat st;
    return ::stat(log_path, &st) < 0 || st.st_ino != at_.st_ino ||
           st.st_dev != at_.st_dev;
}

void LogFile::reopen()
{
    fd_.reset(open_log());
    if (fd_ && ::fstat(fd_.get(), &at_) < 0)
        fd_.reset();
}

// One write, so that the lines of concurrent processes never mix: 0, or
// -1 with errno.
int LogFile::write(const std::string &line)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (!fd_ || (recheck_.due() && moved()))
        reopen();
    for (int attempt = 0; fd_; ++attempt) {
        ssize_t n = ::write(fd_.get(), line.data(), line.size());
        if (n == static_cast<ssize_t>(line.size()))
            return 0;
        if (n >= 0 || attempt > 0) {
            errno = n >= 0 ? ENOSPC : errno;
            break;
        }
        reopen();
    }
    return -1;
}

// Built by the compiler, so that loading the library runs no code of it.
constinit LogFile log_file;

// A line that cannot reach the log goes to standard error instead.
int write_line(const std::string &line)
{
    if (log_file.write(line) == 0)
        return 0;
    int saved = errno;
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    errno = saved;
    return -1;
}

} // namespace

// The log's folder is there on every start but the first.
TQDEVICE_API TQDEVICE_STARTUP int tqlog_preInit(void)
{
    struct stat st;
    if (::stat(log_dir, &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    return tqdev::make_dirs(log_dir, 0755);
}

TQDEVICE_API int tqlog_throwMsg(const char *file, int line, uint32_t id,
                                int priority, int module, ...)
{
    Message m;
    m.file = file;
    m.line = line;
    m.id = id;
    m.priority = priority;
    m.module = module;
    va_list ap;
    va_start(ap, module);
    read_args(m, ap);
    va_end(ap);
    int saved = errno;
    int answer = tqdev::guarded(-1, [&] { return write_line(log_line(m)); });
    errno = saved;
    return answer;
}
