#include "sftp_pipe.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tqtest {

Packet &Packet::u8(uint8_t v)
{
    b.push_back(static_cast<char>(v));
    return *this;
}

Packet &Packet::u32(uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(static_cast<char>(v >> s));
    return *this;
}

Packet &Packet::u64(uint64_t v)
{
    u32(static_cast<uint32_t>(v >> 32));
    return u32(static_cast<uint32_t>(v));
}

Packet &Packet::str(std::string_view s)
{
    u32(static_cast<uint32_t>(s.size()));
    b.append(s);
    return *this;
}

Packet &Packet::raw(std::string_view s)
{
    b.append(s);
    return *this;
}

std::string Packet::frame() const
{
    Packet f;
    f.u32(static_cast<uint32_t>(b.size()));
    return f.b + b;
}

Packet request(uint8_t type, uint32_t id)
{
    return Packet().u8(type).u32(id);
}

uint8_t Fields::u8()
{
    if (rest.empty()) {
        ADD_FAILURE() << "reply too short";
        return 0;
    }
    uint8_t v = static_cast<uint8_t>(rest[0]);
    rest.remove_prefix(1);
    return v;
}

uint32_t Fields::u32()
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v = v << 8 | u8();
    return v;
}

uint64_t Fields::u64()
{
    uint64_t hi = u32();
    return hi << 32 | u32();
}

std::string Fields::str()
{
    uint32_t n = u32();
    if (n > rest.size()) {
        ADD_FAILURE() << "string runs past the reply";
        n = static_cast<uint32_t>(rest.size());
    }
    std::string s(rest.substr(0, n));
    rest.remove_prefix(n);
    return s;
}

ServerProcess::ServerProcess(const std::string &plugin, const char *extra)
{
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        const char *argv[] = {TQ_SERVER, "-P", plugin.c_str(), extra, nullptr};
        execv(TQ_SERVER, const_cast<char **>(argv));
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
}

ServerProcess::~ServerProcess()
{
    close_input();
    if (from_ >= 0)
        ::close(from_);
    if (status_ < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ServerProcess::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::write(to_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

namespace {

// Reads exactly n bytes; false at end of output.  A server that neither
// answers nor ends within 20 s fails the test.
bool read_exact(int fd, char *p, size_t n)
{
    while (n > 0) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 20000) != 1) {
            ADD_FAILURE() << "no reply from the server";
            return false;
        }
        ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

std::optional<std::string> ServerProcess::receive()
{
    char len[4];
    if (!read_exact(from_, len, 4))
        return std::nullopt;
    Fields f{std::string_view(len, 4)};
    std::string body(f.u32(), '\0');
    if (!read_exact(from_, body.data(), body.size()))
        return std::nullopt;
    return body;
}

void ServerProcess::close_input()
{
    if (to_ >= 0)
        ::close(to_);
    to_ = -1;
}

int ServerProcess::wait()
{
    if (status_ < 0 && pid_ > 0) {
        int st = 0;
        waitpid(pid_, &st, 0);
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    return status_;
}

int ServerProcess::open_fds() const
{
    std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

Session::Session(const std::string &plugin) : server_(plugin)
{
    server_.send(Packet().u8(INIT).u32(3));
    std::optional<std::string> v = server_.receive();
    if (!v || v->empty() || (*v)[0] != VERSION)
        ADD_FAILURE() << "no VERSION reply";
    else
        version_reply = *v;
}

std::string Session::call(const Packet &p)
{
    if (!server_.send(p))
        return {};
    return server_.receive().value_or(std::string());
}

int64_t Session::status_of(const Packet &p)
{
    std::string r = call(p);
    if (r.empty() || static_cast<uint8_t>(r[0]) != STATUS)
        return -1;
    Fields f{r};
    f.u8();
    f.u32();
    return f.u32();
}

namespace {

std::string handle_or_status(const std::string &r, uint32_t *status)
{
    Fields f{r};
    uint8_t type = f.u8();
    f.u32();
    if (type == HANDLE)
        return f.str();
    if (status != nullptr)
        *status = type == STATUS ? f.u32() : ~0u;
    return {};
}

}  // namespace

std::string Session::open(const std::string &path, uint32_t pflags, uint32_t *status)
{
    Packet p = request(OPEN, next_id()).str(path).u32(pflags).u32(4).u32(0644);
    return handle_or_status(call(p), status);
}

std::string Session::opendir(const std::string &path, uint32_t *status)
{
    return handle_or_status(call(request(OPENDIR, next_id()).str(path)), status);
}

uint32_t Session::write(const std::string &handle, uint64_t off, std::string_view data)
{
    return static_cast<uint32_t>(
        status_of(request(WRITE, next_id()).str(handle).u64(off).str(data)));
}

uint32_t Session::close(const std::string &handle)
{
    return static_cast<uint32_t>(status_of(request(CLOSE, next_id()).str(handle)));
}

std::string Session::list(const std::string &path)
{
    std::string h = opendir(path);
    if (h.empty())
        return {};
    std::string out;
    for (;;) {
        std::string r = call(request(READDIR, next_id()).str(h));
        Fields f{r};
        if (f.u8() != NAME)
            break;
        f.u32();
        for (uint32_t n = f.u32(); n > 0; n--) {
            std::string name = f.str();
            std::string longname = f.str();
            uint32_t flags = f.u32();
            std::string perm = "-";
            if (flags & 1)
                f.u64();
            if (flags & 2) {
                f.u32();
                f.u32();
            }
            if (flags & 4) {
                char buf[16];
                snprintf(buf, sizeof buf, "%o", f.u32());
                perm = buf;
            }
            if (flags & 8) {
                f.u32();
                f.u32();
            }
            out += name + "\t" + longname + "\t" + perm + "\n";
        }
    }
    close(h);
    return out;
}

std::optional<std::string> read_file(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return std::nullopt;
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

void write_file(const std::string &path, std::string_view text)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace tqtest
