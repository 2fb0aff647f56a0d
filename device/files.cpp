#include "files.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

namespace tqdev
{

int write_all(int fd, const void *data, size_t len)
{
    auto p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

ssize_t read_some(int fd, void *buf, size_t len)
{
    for (;;) {
        ssize_t n = ::read(fd, buf, len);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

int make_dirs(const std::string &path, mode_t mode)
{
    // Parents that exist, or cannot be made, show in the final check.
    int made = 0;
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), mode) < 0 && errno != EEXIST)
            made = errno;
        if (at == std::string::npos)
            break;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) < 0) {
        errno = made != 0 ? made : errno;
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

int append_text(const std::string &path, std::string_view text)
{
    Fd fd(
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd)
        return -1;
    ssize_t n = ::write(fd.get(), text.data(), text.size());
    if (n < 0)
        return -1;
    if (static_cast<size_t>(n) != text.size()) {
        errno = ENOSPC;
        return -1;
    }
    return fd.close();
}

int make_scratch(const std::string &dir, std::string &path)
{
    path = dir + "/.tqupd-XXXXXX";
    int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0 && ::fchmod(fd, 0644) < 0) {
        int saved = errno;
        ::close(fd);
        ::unlink(path.c_str());
        errno = saved;
        return -1;
    }
    return fd;
}

int replace_file(const std::string &path, std::string_view text)
{
    std::string part;
    Fd fd(make_scratch(path.substr(0, path.rfind('/')), part));
    if (!fd)
        return -1;
    if (write_all(fd.get(), text.data(), text.size()) < 0 || fd.close() < 0 ||
        ::rename(part.c_str(), path.c_str()) < 0) {
        int saved = errno;
        ::unlink(part.c_str());
        errno = saved;
        return -1;
    }
    return 0;
}

bool Every::due() noexcept
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    long long t = now.tv_sec * 1000000000LL + now.tv_nsec;
    long long next = next_.load(std::memory_order_relaxed);
    if (t < next)
        return false;
    // One caller wins the check of this interval.
    return next_.compare_exchange_strong(next, t + interval_ns_,
                                         std::memory_order_relaxed);
}

std::string base_name(std::string_view path)
{
    size_t slash = path.rfind('/');
    return std::string(
        slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string escape(std::string_view text, std::string_view also)
{
    std::string out;
    out.reserve(text.size());
    append_escaped(out, text, also);
    return out;
}

void append_escaped(std::string &out, std::string_view text, std::string_view also)
{
    static const char digits[] = "0123456789ABCDEF";
    size_t clean = 0; // the first byte not yet copied
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7F && c != '\\' &&
            (also.empty() || also.find(static_cast<char>(c)) == also.npos))
            continue;
        out.append(text.substr(clean, i - clean));
        const char hex[4] = {'\\', 'x', digits[c >> 4], digits[c & 15]};
        out.append(hex, sizeof hex);
        clean = i + 1;
    }
    out.append(text.substr(clean));
}

std::string utc_time(bool micro)
{
    std::string out;
    append_utc_time(out, micro);
    return out;
}

void append_utc_time(std::string &out, bool micro)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    // The date and the time of day change once a second; they are only
    // formatted then.
    thread_local time_t formatted_at = -1;
    thread_local char seconds[32];
    if (now.tv_sec != formatted_at) {
        struct tm tm;
        gmtime_r(&now.tv_sec, &tm);
        strftime(seconds, sizeof seconds, "%Y-%m-%dT%H:%M:%S", &tm);
        formatted_at = now.tv_sec;
    }
    out += seconds;
    if (micro) {
        char fraction[8] = {'.'};
        long us = now.tv_nsec / 1000;
        for (int i = 6; i >= 1; --i, us /= 10)
            fraction[i] = static_cast<char>('0' + us % 10);
        fraction[7] = 'Z';
        out.append(fraction, sizeof fraction);
    } else {
        out += 'Z';
    }
}

std::string error_text(int errnum)
{
    char buf[128];
    return strerror_r(errnum, buf, sizeof buf);
}

} // namespace tqdev
