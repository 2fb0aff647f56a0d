// tqsftp-server as a child process on two pipes, and SFTP packets written
// byte by byte, independently of the server's own encoder.
#ifndef TQ_TESTS_HOST_SFTP_PIPE_H
#define TQ_TESTS_HOST_SFTP_PIPE_H

#include <stdint.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace tqtest {

// SFTP numbers as the draft gives them.
enum : uint8_t {
    INIT = 1, VERSION = 2, OPEN = 3, CLOSE = 4, READ = 5, WRITE = 6,
    LSTAT = 7, FSTAT = 8, SETSTAT = 9, FSETSTAT = 10, OPENDIR = 11,
    READDIR = 12, REMOVE = 13, MKDIR = 14, RMDIR = 15, REALPATH = 16,
    STAT = 17, RENAME = 18, READLINK = 19, SYMLINK = 20, STATUS = 101,
    HANDLE = 102, DATA = 103, NAME = 104, ATTRS = 105, EXTENDED = 200,
    EXTENDED_REPLY = 201,
};
enum : uint32_t {
    OK = 0, END = 1, NO_SUCH_FILE = 2, PERMISSION_DENIED = 3, FAILURE = 4,
    BAD_MESSAGE = 5, OP_UNSUPPORTED = 8,
};
enum : uint32_t { F_READ = 1, F_WRITE = 2, F_APPEND = 4, F_CREAT = 8, F_TRUNC = 0x10, F_EXCL = 0x20 };

// The body of one packet, built field by field; frame() adds the length.
struct Packet {
    std::string b;
    Packet &u8(uint8_t v);
    Packet &u32(uint32_t v);
    Packet &u64(uint64_t v);
    Packet &str(std::string_view s);
    Packet &raw(std::string_view s);
    std::string frame() const;
};
// A request: type and id.
Packet request(uint8_t type, uint32_t id);

// Fields read from a reply.
struct Fields {
    std::string_view rest;
    uint8_t u8();
    uint32_t u32();
    uint64_t u64();
    std::string str();
};

class ServerProcess {
public:
    // Starts the server with -P plugin (and the extra argument, if any).
    explicit ServerProcess(const std::string &plugin, const char *extra = nullptr);
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Writes raw bytes; false when the server no longer reads.
    bool send(std::string_view bytes);
    bool send(const Packet &p) { return send(p.frame()); }
    // One packet (type, then the rest), or nothing at end of output.
    std::optional<std::string> receive();
    void close_input();
    // The exit status, or 128 + signal.
    int wait();
    // Descriptors the server holds open now.
    int open_fds() const;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    int status_ = -1;
};

// A session: INIT sent and VERSION read, and requests with their replies.
class Session {
public:
    explicit Session(const std::string &plugin);
    ServerProcess &server() { return server_; }

    // Sends a request and returns its reply (type first); empty when the
    // server ended the session.
    std::string call(const Packet &p);
    // The status code of a STATUS reply, or -1 for any other reply.
    int64_t status_of(const Packet &p);

    // Convenience: the handle, or empty with the status in *status.
    std::string open(const std::string &path, uint32_t pflags, uint32_t *status = nullptr);
    std::string opendir(const std::string &path, uint32_t *status = nullptr);
    uint32_t write(const std::string &handle, uint64_t off, std::string_view data);
    uint32_t close(const std::string &handle);
    // The names of a listing with their long names, "name\tlongname\tperm"
    // lines (perm in octal, or "-" without attributes); empty on failure.
    std::string list(const std::string &path);
    uint32_t next_id() { return ++id_; }

    std::string version_reply;

private:
    ServerProcess server_;
    uint32_t id_ = 0;
};

// Whole text of a file, or nothing.
std::optional<std::string> read_file(const std::string &path);
void write_file(const std::string &path, std::string_view text);
bool exists(const std::string &path);

}  // namespace tqtest

#endif
