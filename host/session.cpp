// The session: requests read and framed, replies queued and written out,
// and the end, when every handle still open is closed as a lost transfer.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "server.h"
#include "stop.h"

namespace tqhost {

using namespace sftp;

namespace {

// Room for two of the longest requests: a request begun and the next.
constexpr size_t input_size = 2 * (4 + size_t(max_packet));
// Replies are written out once this much is queued, or when no complete
// request is left to read.
constexpr size_t flush_size = 256 * 1024;
// A request: its type, then its id.
constexpr uint32_t type_and_id = 1 + 4;

}  // namespace

Server::Server(const Plugin &plugin, int in, int out)
    : plugin_(plugin), in_(in), out_(out), uploads_(plugin), input_(input_size)
{
}

Server::~Server()
{
    close_all();
    free(handles_);
}

int Server::run()
{
    for (;;) {
        while (in_end_ - in_start_ >= 4) {
            uint32_t len = get_u32(input_.get() + in_start_);
            if (len > max_packet) {
                fprintf(stderr, "tqsftp-server: packet of %u bytes is too long\n", len);
                return finish(1);
            }
            if (in_end_ - in_start_ - 4 < len)
                break;
            if (!packet(input_.get() + in_start_ + 4, len))
                return finish(1);
            if (output_lost_)
                return finish(0);
            in_start_ += 4 + size_t(len);
            if (reply_.size() >= flush_size && !flush())
                return finish(0);
        }
        if (!flush())
            return finish(0);

        // Keep room for the rest of the packet begun, and for the longest.
        if (in_start_ == in_end_) {
            in_start_ = in_end_ = 0;
        } else if (input_size - in_start_ < 4 + size_t(max_packet)) {
            memmove(input_.get(), input_.get() + in_start_, in_end_ - in_start_);
            in_end_ -= in_start_;
            in_start_ = 0;
        }
        if (!wait_for_input())
            return finish(0);
        // Of a request begun, only its rest: what follows stays queued, so
        // an upload's requests come one by one to the front of the buffer
        // and its second half is seldom touched.
        size_t want = input_size - in_end_;
        if (in_end_ - in_start_ >= 4) {
            size_t rest = 4 + size_t(get_u32(input_.get() + in_start_)) - (in_end_ - in_start_);
            want = rest < want ? rest : want;
        }
        ssize_t n;
        do
            n = read(in_, input_.get() + in_end_, want);
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return finish(0);
        in_end_ += size_t(n);
    }
}

// A read that sleeps on a socket is woken each time the client takes a reply
// (room to write again) and goes back to sleep; poll for input alone wakes
// once, when the next request is there.  False once a stop signal came.
bool Server::wait_for_input()
{
    struct pollfd p[] = {{in_, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
    while (stop_signal() == 0) {
        if (poll(p, 2, -1) >= 0 || errno != EINTR)
            break;
    }
    return stop_signal() == 0;
}

bool Server::packet(const uint8_t *p, uint32_t len)
{
    if (len == 0) {
        fprintf(stderr, "tqsftp-server: empty packet\n");
        return false;
    }
    uint8_t type = p[0];
    if (!initialised_) {
        if (type != FXP_INIT || len < type_and_id) {
            fprintf(stderr, "tqsftp-server: the session must begin with INIT\n");
            return false;
        }
        version_reply();
        initialised_ = true;
        return true;
    }
    if (type == FXP_INIT) {
        fprintf(stderr, "tqsftp-server: INIT in the middle of a session\n");
        return false;
    }
    if (len < type_and_id) {
        fprintf(stderr, "tqsftp-server: request without an id\n");
        return false;
    }
    Reader r(p + type_and_id, len - type_and_id);
    dispatch(type, get_u32(p + 1), r);
    end_of_request();
    return true;
}

// False when the client takes no more, or a stop signal came.
bool Server::flush()
{
    while (reply_.size() > 0) {
        ssize_t n = stop_signal() != 0 ? -1 : write(out_, reply_.data(), reply_.size());
        if (n < 0 && errno == EINTR && stop_signal() == 0)
            continue;
        if (n <= 0)
            return false;
        reply_.consume(size_t(n));
    }
    return true;
}

int Server::finish(int code)
{
    close_all();
    int sig = stop_signal();
    return sig != 0 ? 128 + sig : code;
}

// The client is gone: every transfer still open is incomplete.  The host's
// close reports that, so the plug-in treats it as a failed close.
void Server::close_all()
{
    set_connection_aborted(true);
    for (uint32_t slot = 0; slot < handle_slots_; slot++) {
        if (handles_[slot].kind != Handle::Kind::none)
            close_handle(handles_[slot]);
    }
    set_connection_aborted(false);
}

void Server::status(uint32_t id, uint32_t code, const char *message)
{
    size_t at = reply_.begin(FXP_STATUS);
    reply_.u32(id);
    reply_.u32(code);
    reply_.string(message, strlen(message));
    reply_.string("", 0);
    reply_.end(at);
}

void Server::status_errno(uint32_t id, int err)
{
    uint32_t code;
    switch (err) {
    case ENOENT: code = FX_NO_SUCH_FILE; break;
    case EACCES:
    case EPERM: code = FX_PERMISSION_DENIED; break;
    default: code = FX_FAILURE; break;
    }
    status(id, code, strerror(err));
}

void Server::status_result(uint32_t id, int r)
{
    if (r < 0)
        status_errno(id, errno);
    else
        status_ok(id);
}

// A path too long for any file is refused as such, anything else that
// cannot be parsed is a bad message.
void Server::bad_request(uint32_t id, const Reader &r)
{
    if (r.too_long())
        return status(id, FX_FAILURE, strerror(ENAMETOOLONG));
    status(id, FX_BAD_MESSAGE, "Bad message");
}

// A table without the slot a request needs (every slot is absent while the
// plug-in is not set up, for example during a forced password change).
void Server::absent_slot(uint32_t id)
{
    status(id, FX_PERMISSION_DENIED, "Permission denied");
}

void Server::reply_attrs(uint32_t id, const struct stat64 &st)
{
    size_t at = reply_.begin(FXP_ATTRS);
    reply_.u32(id);
    reply_.attrs(st);
    reply_.end(at);
}

}  // namespace tqhost
