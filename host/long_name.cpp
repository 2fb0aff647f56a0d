// The long name of a listed file, in the form of `ls -l`, with the caches
// that make a listing of many files cheap.
#include "long_name.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "fsops.h"

namespace tqhost {

namespace {

void mode_string(char out[11], mode_t m)
{
    char type;
    switch (m & S_IFMT) {
    case S_IFDIR: type = 'd'; break;
    case S_IFLNK: type = 'l'; break;
    case S_IFCHR: type = 'c'; break;
    case S_IFBLK: type = 'b'; break;
    case S_IFIFO: type = 'p'; break;
    case S_IFSOCK: type = 's'; break;
    default: type = '-'; break;
    }
    auto bit = [m](mode_t b, char c) { return (m & b) ? c : '-'; };
    auto exec = [m](mode_t x, mode_t special, char set, char unset) {
        if (m & special)
            return (m & x) ? set : unset;
        return (m & x) ? 'x' : '-';
    };
    out[0] = type;
    out[1] = bit(S_IRUSR, 'r');
    out[2] = bit(S_IWUSR, 'w');
    out[3] = exec(S_IXUSR, S_ISUID, 's', 'S');
    out[4] = bit(S_IRGRP, 'r');
    out[5] = bit(S_IWGRP, 'w');
    out[6] = exec(S_IXGRP, S_ISGID, 's', 'S');
    out[7] = bit(S_IROTH, 'r');
    out[8] = bit(S_IWOTH, 'w');
    out[9] = exec(S_IXOTH, S_ISVTX, 't', 'T');
    out[10] = '\0';
}

// Whether a line of a colon-separated file (/etc/passwd, /etc/group) holds
// id in its third field; its first, the name, then goes to out.
bool names(const char *line, unsigned id, char *out, size_t size)
{
    const char *name_end = strchr(line, ':');
    const char *id_field = name_end != nullptr ? strchr(name_end + 1, ':') : nullptr;
    if (id_field == nullptr || id_field[1] < '0' || id_field[1] > '9')
        return false;
    char *id_end;
    if (strtoul(id_field + 1, &id_end, 10) != id || *id_end != ':')
        return false;
    return snprintf(out, size, "%.*s", int(name_end - line), line) >= 0;
}

// The name of the first line of such a file that holds id.  The files are
// read directly: a device's owners are local, and the name service's start
// (its socket, its configuration, its modules) costs more than the rest of a
// short listing.  false when no line holds id.
bool name_in_file(const char *file, unsigned id, char *out, size_t size)
{
    Fd fd(open(file, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    char buf[4096];
    size_t have = 0;    // the bytes of lines not looked at yet
    bool skip = false;  // within a line longer than buf: it names nobody
    for (;;) {
        ssize_t n = read(fd.get(), buf + have, sizeof buf - 1 - have);
        if (n <= 0) {  // the last line may lack its newline
            buf[have] = '\0';
            return !skip && names(buf, id, out, size);
        }
        have += size_t(n);
        char *line = buf;
        while (char *stop = static_cast<char *>(memchr(line, '\n', size_t(buf + have - line)))) {
            *stop = '\0';
            if (!skip && names(line, id, out, size))
                return true;
            skip = false;
            line = stop + 1;
        }
        have = size_t(buf + have - line);
        if (have == sizeof buf - 1) {
            skip = true;
            have = 0;
        } else {
            memmove(buf, line, have);
        }
    }
}

// The name service's name for id: an entry of the kind Lookup fills in
// (getpwuid_r, getgrgid_r), whose member Name it is.
template <typename Entry, int (*Lookup)(unsigned, Entry *, char *, size_t, Entry **),
          char *Entry::*Name>
bool service_name(unsigned id, char *out, size_t size)
{
    Entry e, *found = nullptr;
    char buf[1024];
    Lookup(id, &e, buf, sizeof buf, &found);
    return found != nullptr && snprintf(out, size, "%s", e.*Name) >= 0;
}

// A listing names the same few owners over and over: remember the last one.
// The name is looked up in file (see name_in_file), else asked of the name
// service; without one the number stands.
class NameCache {
public:
    using Service = bool (*)(unsigned id, char *out, size_t size);
    constexpr NameCache(const char *file, Service service) : file_(file), service_(service) {}

    const char *get(unsigned id)
    {
        if (!known_ || id_ != id) {
            if (!name_in_file(file_, id, name_, sizeof name_) && !service_(id, name_, sizeof name_))
                snprintf(name_, sizeof name_, "%u", id);
            id_ = id;
            known_ = true;
        }
        return name_;
    }

private:
    const char *file_;
    Service service_;
    bool known_ = false;
    unsigned id_ = 0;
    char name_[64] = {};
};

const char *user_name(uid_t uid)
{
    static NameCache cache("/etc/passwd", service_name<passwd, getpwuid_r, &passwd::pw_name>);
    return cache.get(uid);
}

const char *group_name(gid_t gid)
{
    static NameCache cache("/etc/group", service_name<group, getgrgid_r, &group::gr_name>);
    return cache.get(gid);
}

// Appends to a line of fixed size, cutting what does not fit.
class Line {
public:
    Line(char *out, size_t size) : p_(out), end_(out + size - 1) {}
    ~Line() { *p_ = '\0'; }
    void text(const char *s, size_t n)
    {
        n = n < size_t(end_ - p_) ? n : size_t(end_ - p_);
        memcpy(p_, s, n);
        p_ += n;
    }
    void text(const char *s) { text(s, strlen(s)); }
    void pad(size_t n)
    {
        while (n-- > 0 && p_ < end_)
            *p_++ = ' ';
    }
    // s in width columns, to the left or to the right; then a space.
    void left(const char *s, size_t width)
    {
        size_t n = strlen(s);
        text(s, n);
        pad(n < width ? width - n + 1 : 1);
    }
    void right(const char *s, size_t width)
    {
        size_t n = strlen(s);
        pad(n < width ? width - n : 0);
        text(s, n);
        pad(1);
    }
    void number(unsigned long long v, size_t width)
    {
        char digits[24];
        char *d = digits + sizeof digits;
        *--d = '\0';
        do
            *--d = char('0' + v % 10);
        while ((v /= 10) != 0);
        right(d, width);
    }

private:
    char *p_;
    char *end_;
};

// Like ls: the time of day for the last six months, else the year.  A
// listing's files often share their time: the last one is remembered.
const char *date(time_t t, time_t now)
{
    static time_t last_t, last_now;
    static char when[32];
    if (when[0] != '\0' && t == last_t && now == last_now)
        return when;
    struct tm tm;
    const time_t half_year = 365 * 24 * 60 * 60 / 2;
    const char *fmt = (t > now || t < now - half_year) ? "%b %e  %Y" : "%b %e %H:%M";
    if (localtime_r(&t, &tm) == nullptr || strftime(when, sizeof when, fmt, &tm) == 0)
        strcpy(when, "?");
    last_t = t;
    last_now = now;
    return when;
}

}  // namespace

// "-rw-r--r--    1 root     root         1234 Mar  4 12:00 name"
void long_name(char *out, size_t size, const char *name,
               const struct stat64 *st, time_t now)
{
    Line line(out, size);
    if (st == nullptr) {
        line.text("?????????? ");
        line.right("?", 4);
        line.left("?", 8);
        line.left("?", 8);
        line.right("?", 8);
        line.right("?", 12);
        line.text(name);
        return;
    }
    char mode[11];
    mode_string(mode, st->st_mode);
    line.left(mode, 0);
    line.number(st->st_nlink, 4);
    line.left(user_name(st->st_uid), 8);
    line.left(group_name(st->st_gid), 8);
    line.number(static_cast<unsigned long long>(st->st_size), 8);
    line.left(date(st->st_mtime, now), 0);
    line.text(name);
}

}  // namespace tqhost
