// Handles: a slot of the handle table and its generation, so that a handle
// kept after its close does not reach the next file opened in the slot.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "server.h"

namespace tqhost {

using namespace sftp;

namespace {

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// A handle is the slot and its generation, 4 bytes each.
constexpr size_t handle_size = 8;

}  // namespace

// The open handle h names, of one of the kinds (Field::file, Field::folder);
// null for any other.
Server::Handle *Server::lookup(std::string_view h, uint16_t kinds)
{
    if (h.size() != handle_size)
        return nullptr;
    auto p = reinterpret_cast<const uint8_t *>(h.data());
    uint32_t slot = get_u32(p);
    if (slot >= handle_slots_)
        return nullptr;
    Handle &found = handles_[slot];
    if (found.kind == Handle::Kind::none || found.generation != get_u32(p + 4))
        return nullptr;
    uint16_t kind = found.kind == Handle::Kind::file ? Field::file : Field::folder;
    return (kinds & kind) ? &found : nullptr;
}

// A free handle; null once the request has been refused for want of one.
Server::Handle *Server::new_handle(uint32_t id, uint32_t &slot)
{
    for (slot = 0; slot < handle_slots_; slot++) {
        if (handles_[slot].kind == Handle::Kind::none)
            return &handles_[slot];
    }
    if (handle_slots_ >= max_handles) {
        status(id, FX_FAILURE, strerror(EMFILE));
        return nullptr;
    }
    uint32_t slots = handle_slots_ != 0 ? 2 * handle_slots_ : 8;
    if (slots > max_handles)
        slots = max_handles;
    handles_ = static_cast<Handle *>(xrealloc(handles_, slots * sizeof *handles_));
    memset(&handles_[handle_slots_], 0, (slots - handle_slots_) * sizeof *handles_);
    handle_slots_ = slots;
    return &handles_[slot];
}

void Server::reply_handle(uint32_t id, uint32_t slot)
{
    uint8_t h[handle_size];
    put_be32(h, slot);
    put_be32(h + 4, handles_[slot].generation);
    size_t at = reply_.begin(FXP_HANDLE);
    reply_.u32(id);
    reply_.string(h, sizeof h);
    reply_.end(at);
}

int Server::close_handle(Handle &h)
{
    int r = 0;
    if (h.kind == Handle::Kind::file) {
        r = close_file(h);
    } else if (h.kind == Handle::Kind::folder) {
        close_dir(h.dir);
    }
    int e = errno;
    h.kind = Handle::Kind::none;
    h.generation++;
    h.fd = -1;
    h.writable = false;
    h.dir = nullptr;
    h.funcs = nullptr;
    free(h.path);
    h.path = nullptr;
    errno = e;
    return r;
}

// A file written and gone right after a successful close was handed over by
// the plug-in: its name keeps answering as the file the client left.
int Server::close_file(Handle &h)
{
    struct stat64 st;
    bool written = h.writable && fstat64(h.fd, &st) == 0;
    int r = (h.funcs->close ? h.funcs->close : host_funcs()->close)(h.fd);
    if (r < 0 || !written || h.funcs->stat == nullptr)
        return r;
    struct stat64 now;
    if (h.funcs->stat(h.path, &now) < 0 && errno == ENOENT)
        uploads_.remember(h.path, st);
    return 0;
}

}  // namespace tqhost
