// One SFTP session on a pair of descriptors: reads requests, performs each
// through the table the plug-in gives for its path, and writes the replies.
#ifndef TQHOST_SERVER_H
#define TQHOST_SERVER_H

#include <stdint.h>
#include <sys/stat.h>

#include <string_view>

#include "fsops.h"
#include "memory.h"
#include "plugin.h"
#include "protocol.h"
#include "remembered_uploads.h"

namespace tqhost {

// An area the client may write: its table's write is no refusal.  The one
// place where the server asks a table for rights (requests.cpp).
bool writable_area(const tqsftp_funcs &t);

class Server {
public:
    // At most this many files and folders open at once.
    static constexpr uint32_t max_handles = 512;

    Server(const Plugin &plugin, int in, int out);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Serves until the client goes away or a stop signal comes (stop.h).  0
    // at end of input or when the client stops reading; 1 after a violation
    // of the protocol; 128 + the signal's number when stopped by one.
    // Handles still open are closed as failed transfers before it returns.
    int run();

private:
    // A slot of the handle table; all zeros is a free slot never used.
    struct Handle {
        enum class Kind : uint8_t { none, file, folder };
        Kind kind;
        bool dir_end;
        bool writable;  // a file opened for writing
        uint32_t generation;
        int fd;
        void *dir;
        const tqsftp_funcs *funcs;  // the table of its path at open
        char *path;                 // the client path, from malloc
    };

    // One request as the dispatcher hands it to its handler: its fields
    // parsed, its handle found, the table it is performed through chosen.
    struct Request {
        uint32_t id = 0;
        Text path, to;                    // the client paths it names
        Handle *h = nullptr;              // the handle it names
        const tqsftp_funcs *t = nullptr;  // its path's table, or its handle's
        uint64_t offset = 0;
        uint32_t pflags = 0;  // the client's open flags
        uint32_t length = 0;  // how much to read
        std::string_view data;
        sftp::Attrs attrs;
    };

    // A slot of the table, for the handler table to name.
    enum class Slot : uint8_t {
        none, open, stat, read, write, opendir, readdir, mkdir, rmdir, unlink, rename, link,
    };
    // What a request that names a path does to an upload remembered under it.
    enum class Remembered : uint8_t { forgotten, kept };

    // One row of the handler table (requests.cpp).
    struct Handler {
        uint8_t type;
        void (Server::*run)(Request &q);
        uint16_t fields;  // what the request carries (Field), in that order
        Slot slot;        // the slot it is performed through: absent, refused
        Remembered uploads = Remembered::forgotten;
        const char *extension = nullptr;  // FXP_EXTENDED: its name and version
        const char *version = nullptr;
    };
    struct Field {
        enum : uint16_t {
            path = 1 << 0,
            to = 1 << 1,      // a second path
            file = 1 << 2,    // the handle of a file
            folder = 1 << 3,  // the handle of a folder
            handle = file | folder,
            offset = 1 << 4,
            pflags = 1 << 5,
            length = 1 << 6,
            data = 1 << 7,
            attrs = 1 << 8,
        };
    };
    static const Handler handlers[];

    // The session (session.cpp).
    bool wait_for_input();
    bool packet(const uint8_t *p, uint32_t len);
    bool flush();
    int finish(int code);
    void close_all();

    // Replies (session.cpp).
    void status(uint32_t id, uint32_t code, const char *message);
    void status_ok(uint32_t id) { status(id, sftp::FX_OK, "Success"); }
    void status_errno(uint32_t id, int err);
    void status_result(uint32_t id, int r);
    void bad_request(uint32_t id, const sftp::Reader &r);
    void absent_slot(uint32_t id);
    void reply_attrs(uint32_t id, const struct stat64 &st);

    // The dispatcher (requests.cpp).
    void version_reply();
    void dispatch(uint8_t type, uint32_t id, sftp::Reader &r);
    bool parse(const Handler &row, sftp::Reader &r, Request &q, std::string_view &handle);
    static bool has(const tqsftp_funcs &t, Slot slot);

    // Handles (handles.cpp).
    Handle *lookup(std::string_view h, uint16_t kinds);
    Handle *new_handle(uint32_t id, uint32_t &slot);
    void reply_handle(uint32_t id, uint32_t slot);
    int close_handle(Handle &h);
    int close_file(Handle &h);

    // Attribute changes (attributes.cpp).
    int set_attrs(const tqsftp_funcs *t, const char *path, const sftp::Attrs &a);
    int set_size(const tqsftp_funcs *t, const char *path, uint64_t size);

    // Spliced reads (spliced_read.cpp).
    bool read_spliced(uint32_t id, Handle &h, uint64_t off, uint32_t len);
    bool send_spliced(size_t n);
    bool splice_ready();

    // The requests (requests.cpp, attributes.cpp, free_space.cpp).
    void do_open(Request &q);
    void do_close(Request &q);
    void do_read(Request &q);
    void do_write(Request &q);
    void do_stat(Request &q);
    void do_fstat(Request &q);
    void do_setstat(Request &q);
    void do_fsetstat(Request &q);
    void do_opendir(Request &q);
    void do_readdir(Request &q);
    void do_remove(Request &q);
    void do_mkdir(Request &q);
    void do_rmdir(Request &q);
    void do_realpath(Request &q);
    void do_rename(Request &q);
    void do_posix_rename(Request &q);
    void do_link(Request &q);
    void do_fsync(Request &q);
    void do_limits(Request &q);
    void do_statvfs(Request &q);
    void do_fstatvfs(Request &q);

    const Plugin &plugin_;
    int in_, out_;
    bool output_lost_ = false;  // a reply was cut off: the session is over
    enum class Splice { unknown, on, off } splice_ = Splice::unknown;
    Fd splice_r_, splice_w_;
    bool initialised_ = false;
    // The handle table, grown as handles are opened, up to max_handles.
    Handle *handles_ = nullptr;
    uint32_t handle_slots_ = 0;
    RememberedUploads uploads_;
    sftp::Buffer reply_;
    Bytes input_;
    size_t in_start_ = 0, in_end_ = 0;
    Text path_;  // scratch for the paths of listed names
};

}  // namespace tqhost

#endif
