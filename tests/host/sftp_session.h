// The test side of an SFTP session with tqsftp-server: packets built byte by
// byte, replies read field by field; the device root's files.
#ifndef TQ_SFTP_SESSION_H
#define TQ_SFTP_SESSION_H

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sftp_test {
enum : uint8_t {
    INIT = 1, OPEN = 3, CLOSE = 4, READ = 5, WRITE = 6, LSTAT = 7, FSTAT = 8, SETSTAT = 9,
    FSETSTAT = 10, OPENDIR = 11, READDIR = 12, REMOVE = 13, MKDIR = 14, RMDIR = 15, REALPATH = 16,
    STAT = 17, RENAME = 18,
    SYMLINK = 20, STATUS = 101, HANDLE = 102, DATA = 103, NAME = 104, ATTRS = 105, EXTENDED = 200,
};
enum : uint32_t {
    OK, NO_SUCH_FILE = 2, PERMISSION_DENIED, FAILURE, BAD_MESSAGE, OP_UNSUPPORTED = 8,
};
enum : uint32_t { F_READ = 1, F_WRITE = 2, F_APPEND = 4, F_CREAT = 8, F_TRUNC = 16, F_EXCL = 32 };
enum : uint32_t { A_SIZE = 1, A_UIDGID = 2, A_PERM = 4, A_TIMES = 8, A_EXT = 0x80000000 };
constexpr const char *posix_rename = "posix-rename@openssh.com", *hardlink = "hardlink@openssh.com";

// The body of one packet, built field by field; frame() adds the length.
struct Packet {
    std::string b;
    std::optional<uint32_t> length;  // a length field that lies
    Packet &lie(uint32_t n) { return length = n, *this; }
    Packet &u8(uint8_t v) { return b.push_back(char(v)), *this; }
    Packet &u32(uint32_t v) { return u8(v >> 24).u8(v >> 16).u8(v >> 8).u8(v); }
    Packet &u64(uint64_t v) { return u32(uint32_t(v >> 32)).u32(uint32_t(v)); }
    Packet &raw(std::string_view s) { return b.append(s), *this; }
    Packet &str(std::string_view s) { return u32(uint32_t(s.size())).raw(s); }
    std::string frame() const { return Packet().u32(length.value_or(b.size())).b + b; }
};
inline Packet request(uint8_t type, uint32_t id) { return Packet().u8(type).u32(id); }

// Fields read from a reply; past its end they read as zero.
struct Fields {
    std::string b;
    size_t at = 0;
    uint8_t u8() { return at < b.size() ? uint8_t(b[at++]) : 0; }
    uint32_t u32() { uint32_t v = 0; for (int i = 0; i < 4; i++) v = v << 8 | u8(); return v; }
    uint64_t u64() { uint64_t hi = u32(); return hi << 32 | u32(); }
    std::string str()
    {
        size_t n = u32(), from = at;
        return at += n, from < b.size() ? b.substr(from, n) : "";
    }
};

// How the server's replies reach the test: a pipe (as under "sftp -D") or a
// socket (as under sshd).
enum class Output { pipe, socket };

// A session with "tqsftp-server -P plugin", INIT sent and VERSION read
// unless init is false.
class Session {
public:
    explicit Session(const std::string &plugin, bool init = true, Output o = Output::pipe)
    {
        signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        bool ok = pipe2(in, O_CLOEXEC) == 0 &&
                  (o == Output::pipe ? pipe2(out, O_CLOEXEC)
                                     : socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out)) == 0;
        if (!ok)
            throw std::runtime_error("pipe");
        if ((pid_ = fork()) == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            execl(TQ_SERVER, TQ_SERVER, "-P", plugin.c_str(), nullptr);
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
        if (init)
            call(Packet().u8(INIT).u32(3));
    }
    ~Session()
    {
        close_input();
        ::close(from_);
        if (status_ < 0)
            kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    }
    bool send(std::string_view bytes)  // false once the server reads no more
    {
        for (ssize_t n; !bytes.empty(); bytes.remove_prefix(size_t(n)))
            if ((n = ::write(to_, bytes.data(), bytes.size())) <= 0)
                return false;
        return true;
    }
    bool send(const Packet &p) { return send(p.frame()); }
    std::optional<std::string> receive()  // one packet, or nothing at the end
    {
        std::string len(4, '\0');
        if (!read_exact(len))
            return std::nullopt;
        std::string body(Fields{len}.u32(), '\0');
        return read_exact(body) ? std::optional(body) : std::nullopt;
    }
    void end_with(int sig) { ::kill(pid_, sig); }
    void close_input() { to_ = to_ >= 0 ? ::close(to_), -1 : -1; }
    int wait()  // the exit status, or 128 + signal
    {
        int st = 0;
        if (status_ < 0 && waitpid(pid_, &st, 0) == pid_)
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
    }
    // A request's reply (type first); empty when the session ended.
    std::string call(const Packet &p) { return send(p) ? receive().value_or("") : ""; }
    // The handle, or empty with the status code in *status.
    std::string open(const std::string &path, uint32_t pflags, uint32_t *status = nullptr)
    {
        return handle(request(OPEN, ++id_).str(path).u32(pflags).u32(4).u32(0644), status);
    }
    std::string opendir(const std::string &p) { return handle(request(OPENDIR, ++id_).str(p)); }
    int64_t close(const std::string &h) { return status_of(request(CLOSE, ++id_).str(h)); }
    // "code message" of a STATUS reply, "-1 type N" for any other reply.
    std::string status_line(const Packet &p)
    {
        Fields f{call(p)};
        f.at = 1 + 4;  // after the type and the request id
        if (f.b[0] != char(STATUS))
            return "-1 type " + std::to_string(uint8_t(f.b[0]));
        std::string code = std::to_string(f.u32());
        return code + " " + f.str();
    }
    int64_t status_of(const Packet &p) { return std::stoll(status_line(p)); }

private:
    std::string handle(const Packet &p, uint32_t *status = nullptr)
    {
        Fields f{call(p)};
        f.at = 1 + 4;  // after the type and the request id
        if (f.b[0] == char(HANDLE))
            return f.str();
        if (status != nullptr)
            *status = f.u32();
        return {};
    }
    bool read_exact(std::string &s)
    {
        for (ssize_t n, got = 0; got < ssize_t(s.size()); got += n)
            if ((n = ::read(from_, s.data() + got, s.size() - size_t(got))) <= 0)
                return false;
        return true;
    }

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1, status_ = -1;
    uint32_t id_ = 0;
};

// The size from a set of attributes (0 without one); skips the rest.
inline uint64_t size_of(Fields &f)
{
    uint32_t flags = f.u32();
    uint64_t size = flags & A_SIZE ? f.u64() : 0;
    f.at += (flags & A_UIDGID ? 8 : 0) + (flags & A_PERM ? 4 : 0) + (flags & A_TIMES ? 8 : 0);
    return size;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline void write_file(const std::string &path, std::string_view text) { std::ofstream(path) << text; }
inline bool exists(const std::string &path) { struct stat st; return lstat(path.c_str(), &st) == 0; }

}  // namespace sftp_test

#endif
