// The XML service: a stored profile, checked for well-formedness, delivered
// to a sink in gzip form, one piece of at most 4 KiB at a time.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <zlib.h>

#include "tqdevice/tqxml.h"
#include "files.h"
#include "xml_check.h"

namespace tqdev
{

namespace
{

constexpr int compressed_mode = 2;
constexpr const char *compressed_tag = "CompressedData";
constexpr size_t piece_size = 4096;

// Compresses what it is given into gzip form and hands each full piece to
// the sink; the first argument of every sink call is the offset of the
// piece within the compressed form.
class GzipSink
{
  public:
    GzipSink(tqapi_xml_sink sink, void *context) noexcept;
    ~GzipSink();
    GzipSink(const GzipSink &) = delete;
    GzipSink &operator=(const GzipSink &) = delete;

    bool ready() const noexcept { return ready_; }
    // 0, or -1 with errno when the sink stopped the conversion.
    int put(const void *data, size_t len) noexcept;
    int finish() noexcept;

  private:
    int run(int flush) noexcept;
    int deliver() noexcept;

    tqapi_xml_sink sink_;
    void *context_;
    z_stream z_{};
    bool ready_;
    uint64_t offset_ = 0;
    unsigned char piece_[piece_size];
};

GzipSink::GzipSink(tqapi_xml_sink sink, void *context) noexcept
    : sink_(sink), context_(context)
{
    // Window 15 plus 16: a gzip header and trailer, time stamp 0, so the
    // same profile always gives the same bytes.
    ready_ = deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                          Z_DEFAULT_STRATEGY) == Z_OK;
    z_.next_out = piece_;
    z_.avail_out = piece_size;
}

GzipSink::~GzipSink()
{
    if (ready_)
        deflateEnd(&z_);
}

int GzipSink::put(const void *data, size_t len) noexcept
{
    z_.next_in = static_cast<Bytef *>(const_cast<void *>(data));
    z_.avail_in = static_cast<uInt>(len);
    return run(Z_NO_FLUSH);
}

int GzipSink::finish() noexcept
{
    z_.next_in = nullptr;
    z_.avail_in = 0;
    return run(Z_FINISH);
}

int GzipSink::run(int flush) noexcept
{
    for (;;) {
        int r = deflate(&z_, flush);
        if (r == Z_STREAM_ERROR) {
            errno = EIO;
            return -1;
        }
        bool done = flush == Z_FINISH ? r == Z_STREAM_END
                                      : z_.avail_in == 0 && z_.avail_out > 0;
        if (z_.avail_out == 0 || (done && flush == Z_FINISH))
            if (deliver() < 0)
                return -1;
        if (done)
            return 0;
    }
}

// Hands the piece gathered so far to the sink.  The sink must take it whole:
// a negative answer stops the conversion, and so does a short count.
int GzipSink::deliver() noexcept
{
    uint32_t len = static_cast<uint32_t>(piece_size - z_.avail_out);
    z_.next_out = piece_;
    z_.avail_out = piece_size;
    if (len == 0)
        return 0;
    int r = sink_(static_cast<uintptr_t>(offset_), context_, piece_, len);
    if (r < 0 || static_cast<uint32_t>(r) < len) {
        errno = r < 0 ? ECANCELED : EIO;
        return -1;
    }
    offset_ += len;
    return 0;
}

int open_profile(const char *path)
{
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) < 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    return fd.release();
}

int convert(const char *path, tqapi_xml_sink sink, void *context)
{
    Fd in(open_profile(path));
    if (!in)
        return -1;
    XmlCheck xml;
    GzipSink out(sink, context);
    if (!xml.ready() || !out.ready()) {
        errno = ENOMEM;
        return -1;
    }
    unsigned char buf[io_chunk / 4];
    ssize_t n;
    while ((n = read_some(in.get(), buf, sizeof buf)) > 0) {
        // The check comes first, so no piece of a part found broken is sent.
        if (!xml.feed(buf, static_cast<size_t>(n), false)) {
            errno = EBADMSG;
            return -1;
        }
        if (out.put(buf, static_cast<size_t>(n)) < 0)
            return -1;
    }
    if (n < 0)
        return -1;
    if (!xml.feed(nullptr, 0, true)) {
        errno = EBADMSG;
        return -1;
    }
    return out.finish();
}

} // namespace

} // namespace tqdev

TQDEVICE_API int tqapi_xml_convert_compress_XMLData_by_Callback(
    int module, const char *path, tqapi_xml_sink sink, void *context, int mode,
    const char *tag)
{
    (void)module;
    if (path == nullptr || sink == nullptr || mode != tqdev::compressed_mode ||
        tag == nullptr || strcmp(tag, tqdev::compressed_tag) != 0) {
        errno = EINVAL;
        return -1;
    }
    return tqdev::guarded(-1,
                          [&] { return tqdev::convert(path, sink, context); });
}
