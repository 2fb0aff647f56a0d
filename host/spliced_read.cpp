// Spliced reads: a READ moves the file's pages to the client through a pipe,
// with no copy in this process: the file into the pipe, the replies before
// it and this one's header out, then the pipe out.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "server.h"
#include "stop.h"

namespace tqhost {

using namespace sftp;

namespace {

// What a DATA reply holds before its data: type, request id, data length.
constexpr uint32_t data_header = 1 + 4 + 4;

}  // namespace

// The reply holds the whole length asked for, up to the end of the file, as
// one pread would give it: clients take a short reply in the middle of a
// file for a reordered transfer (OpenSSH's scp then cuts the file).  False,
// with nothing sent, where the file cannot be spliced or is at its end: the
// read is then made the ordinary way, with its own answer.
bool Server::read_spliced(uint32_t id, Handle &h, uint64_t off, uint32_t len)
{
    if (!splice_ready())
        return false;
    loff_t at = static_cast<loff_t>(off);
    size_t n = 0;
    while (n < len) {
        ssize_t m = splice(h.fd, &at, splice_w_.get(), nullptr, len - n, SPLICE_F_MOVE);
        if (m < 0 && errno == EINTR)
            continue;
        if (m <= 0)
            break;  // the end of the file, or an error the next read reports
        n += size_t(m);
    }
    if (n == 0)
        return false;
    size_t head = reply_.begin(FXP_DATA);
    reply_.u32(id);
    reply_.u32(static_cast<uint32_t>(n));
    reply_.u32_at(head, static_cast<uint32_t>(data_header + n));
    if (!flush() || !send_spliced(n))
        output_lost_ = true;
    return true;
}

// False when the client takes no more, or a stop signal came.
bool Server::send_spliced(size_t n)
{
    while (n > 0) {
        ssize_t m = stop_signal() != 0 ? -1 : splice(splice_r_.get(), nullptr, out_, nullptr,
                                                     n, SPLICE_F_MOVE);
        if (m < 0 && errno == EINTR && stop_signal() == 0)
            continue;
        if (m <= 0)
            return false;
        n -= size_t(m);
    }
    return true;
}

// Splicing needs an output that takes it (a socket or a pipe) and a pipe
// that holds the longest read at any offset: a read that does not start on a
// page boundary spans one page more than its length; decided at the first
// read.
bool Server::splice_ready()
{
    if (splice_ != Splice::unknown)
        return splice_ == Splice::on;
    splice_ = Splice::off;
    struct stat64 st;
    if (fstat64(out_, &st) < 0 || !(S_ISSOCK(st.st_mode) || S_ISFIFO(st.st_mode)))
        return false;
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        return false;
    splice_r_ = Fd(p[0]);
    splice_w_ = Fd(p[1]);
    const int page = static_cast<int>(sysconf(_SC_PAGESIZE));
    const int need = static_cast<int>(max_data) + 2 * page;
    if (fcntl(p[1], F_SETPIPE_SZ, need) < need)
        return false;
    splice_ = Splice::on;
    return true;
}

}  // namespace tqhost
