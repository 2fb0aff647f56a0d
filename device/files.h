// Helpers shared by the device's services: descriptors, files, folders,
// time stamps and the guard that keeps exceptions inside the library.
#ifndef TQDEVICE_FILES_H
#define TQDEVICE_FILES_H

#include <errno.h>
#include <stddef.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>
#include <string_view>

// Every exported service function is plain C with default visibility; the
// rest of the library is hidden.
#define TQDEVICE_API extern "C" __attribute__((visibility("default")))
// What every session start runs (the user manager's answer, the log's
// preparation) is placed at the front of the code, and the texts it reads
// beside the data that loading the library writes anyway: a session then
// maps two stretches of the library, not one for each service and one for
// the constant texts behind the code of zlib, expat and the C++ run-time.
#define TQDEVICE_STARTUP __attribute__((hot))
#define TQDEVICE_STARTUP_TEXT __attribute__((section(".data.rel.ro.tqdevice_startup")))

namespace tqdev
{

// An owned file descriptor, closed when it goes out of scope.
class Fd
{
  public:
    constexpr explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int release() noexcept
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports the result: 0, or -1 with errno.
    int close() noexcept
    {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

  private:
    int fd_;
};

// Size of the buffers that files are read and written through.
constexpr size_t io_chunk = 64 * 1024;

// The whole of data, retrying short writes and EINTR: 0, or -1 with errno.
int write_all(int fd, const void *data, size_t len);
// At most len bytes, retrying EINTR: the count (0 at the end), or -1.
ssize_t read_some(int fd, void *buf, size_t len);
// path and its missing parents, new folders with mode: 0, or -1 with errno.
int make_dirs(const std::string &path, mode_t mode);
// Appends text with one write on an O_APPEND descriptor, so that lines of
// concurrent writers never mix; creates the file.  0, or -1 with errno.
int append_text(const std::string &path, std::string_view text);
// Replaces the file at path by exactly text, written beside it and renamed
// over it, so that a reader sees the old or the new text: 0, or -1.
int replace_file(const std::string &path, std::string_view text);
// A new empty file in dir under a random name that nobody else can have
// prepared (created exclusively, never through a link), mode 0644: its
// descriptor, with its path in path, or -1 with errno.
int make_scratch(const std::string &dir, std::string &path);

// A cheap "has at least interval_ms passed since the last time it said
// so?", on the coarse monotonic clock (no system call).  The first call
// says yes.  Safe to share between threads.
class Every
{
  public:
    explicit constexpr Every(long interval_ms) noexcept
        : interval_ns_(interval_ms * 1000000)
    {
    }
    TQDEVICE_STARTUP bool due() noexcept;

  private:
    long long interval_ns_;
    std::atomic<long long> next_{0};
};

// How often the services look again at a file whose state they keep.
constexpr long recheck_ms = 100;

// The text after the last '/', or the whole text when it has none.
std::string base_name(std::string_view path);
// Control bytes, DEL and '\' as \xHH, and so every byte of also.
std::string escape(std::string_view text, std::string_view also = {});
void append_escaped(std::string &out, std::string_view text, std::string_view also = {});
// The current UTC time, "2024-05-01T12:34:56Z", or with microseconds
// "2024-05-01T12:34:56.123456Z".
std::string utc_time(bool micro);
void append_utc_time(std::string &out, bool micro);
// strerror that does not depend on the caller's locale buffers.
std::string error_text(int errnum);

// Runs body and returns its answer; an exception (only exhausted memory can
// arise) becomes the answer failed with errno ENOMEM.
template <class Body> int guarded(int failed, Body &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        errno = ENOMEM;
        return failed;
    }
}

} // namespace tqdev

#endif
