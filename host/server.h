// One SFTP session on a pair of descriptors: reads requests, performs each
// through the table the plug-in gives for its path, and writes the replies.
#ifndef TQHOST_SERVER_H
#define TQHOST_SERVER_H

#include <stdint.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fsops.h"
#include "plugin.h"
#include "protocol.h"

namespace tqhost {

class Server {
public:
    // At most this many files and folders open at once.
    static constexpr uint32_t max_handles = 512;

    Server(const Plugin &plugin, int in, int out);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Serves until the client goes away.  0 at end of input or when the
    // client stops reading; 1 after a violation of the protocol.  Handles
    // still open are closed as failed transfers before it returns.
    int run();

private:
    struct Handle {
        enum class Kind : uint8_t { none, file, folder };
        Kind kind = Kind::none;
        bool dir_end = false;
        bool writable = false;  // a file opened for writing
        uint32_t generation = 0;
        int fd = -1;
        void *dir = nullptr;
        const tqsftp_funcs *funcs = nullptr;  // the table of its path at open
        std::string path;                     // the client path
    };

    // A file written in this session and gone right after its close: the
    // plug-in handed it over.  Its name still answers until it is used again.
    struct HandedOver {
        std::string path;
        struct stat64 st;  // the file as the client left it
    };
    static constexpr size_t max_handed_over = 32;

    void wait_for_input();
    bool packet(const uint8_t *p, uint32_t len);
    void dispatch(uint8_t type, uint32_t id, sftp::Reader &r);
    bool flush();
    int finish(int code);
    void close_all();

    // Replies.
    void status(uint32_t id, uint32_t code, const char *message);
    void status_ok(uint32_t id) { status(id, sftp::FX_OK, "Success"); }
    void status_errno(uint32_t id, int err);
    void status_result(uint32_t id, int r);
    void bad_message(uint32_t id) { status(id, sftp::FX_BAD_MESSAGE, "Bad message"); }
    void bad_request(uint32_t id, const sftp::Reader &r);
    void absent_slot(uint32_t id);
    void reply_handle(uint32_t id, uint32_t slot);
    void reply_attrs(uint32_t id, const struct stat64 &st);

    // Handles.
    Handle *lookup(std::string_view h, Handle::Kind kind);
    Handle *handle_of(uint32_t id, const sftp::Reader &r, std::string_view h,
                      Handle::Kind kind);
    Handle *new_handle(uint32_t id, uint32_t &slot);
    int close_handle(Handle &h);
    int close_file(Handle &h);

    // Uploads handed over.
    const HandedOver *handed_over(const std::string &path) const;
    void forget(const std::string &path);

    // Attribute changes.
    int set_attrs(const tqsftp_funcs *t, const std::string &path, const sftp::Attrs &a);
    int set_size(const tqsftp_funcs *t, const std::string &path, uint64_t size);

    // Requests.
    template <typename Slot, typename... Args>
    void call_slot(uint32_t id, const std::string &path, Slot tqsftp_funcs::*slot,
                   Args... args);
    void do_open(uint32_t id, sftp::Reader &r);
    void do_close(uint32_t id, sftp::Reader &r);
    void do_read(uint32_t id, sftp::Reader &r);
    bool read_spliced(uint32_t id, Handle &h, uint64_t off, uint32_t len);
    bool send_spliced(size_t n);
    bool splice_ready();
    void do_write(uint32_t id, sftp::Reader &r);
    void do_stat(uint32_t id, sftp::Reader &r);
    void do_fstat(uint32_t id, sftp::Reader &r);
    void do_setstat(uint32_t id, sftp::Reader &r);
    void do_fsetstat(uint32_t id, sftp::Reader &r);
    void do_opendir(uint32_t id, sftp::Reader &r);
    void do_readdir(uint32_t id, sftp::Reader &r);
    void do_remove(uint32_t id, sftp::Reader &r);
    void do_mkdir(uint32_t id, sftp::Reader &r);
    void do_rmdir(uint32_t id, sftp::Reader &r);
    void do_realpath(uint32_t id, sftp::Reader &r);
    void do_rename(uint32_t id, sftp::Reader &r, bool posix);
    void do_link(uint32_t id, sftp::Reader &r);
    void do_fsync(uint32_t id, sftp::Reader &r);
    void do_limits(uint32_t id);
    void do_statvfs(uint32_t id, sftp::Reader &r);
    void do_fstatvfs(uint32_t id, sftp::Reader &r);
    void do_extended(uint32_t id, sftp::Reader &r);

    const Plugin &plugin_;
    int in_, out_;
    bool output_lost_ = false;  // a reply was cut off: the session is over
    enum class Splice { unknown, on, off } splice_ = Splice::unknown;
    Fd splice_r_, splice_w_;
    bool initialised_ = false;
    std::vector<Handle> handles_;
    std::vector<HandedOver> handed_over_;
    sftp::Buffer reply_;
    std::unique_ptr<uint8_t[]> input_;
    size_t in_start_ = 0, in_end_ = 0;
    std::string path_;  // scratch for the paths of listed names
};

}  // namespace tqhost

#endif
