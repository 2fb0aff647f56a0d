// The update service's profile install: the uploaded profile (gzip of an XML
// document) is checked and stored decompressed in /flash/cfg.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <zlib.h>

#include "tqdevice/tqupd.h"
#include "update.h"
#include "files.h"
#include "xml_check.h"

namespace tqdev
{

namespace
{

constexpr UpdKind config = {"config", "/tmp/sftp/nv/cfg", TQUPD_MAX_PROFILE};
constexpr const char *store_dir = "/flash/cfg";
// The two names of the upload control block lie back to back.
constexpr size_t name_size = 80;
constexpr size_t max_profile_name = 32;

// A profile name: letters, digits, '-' and '_', then ".xml".
bool is_profile_name(const std::string &name)
{
    constexpr size_t ext = 4;
    if (name.size() <= ext || name.size() > max_profile_name ||
        name.compare(name.size() - ext, ext, ".xml") != 0)
        return false;
    for (size_t i = 0; i < name.size() - ext; ++i) {
        char c = name[i];
        bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!fits)
            return false;
    }
    return true;
}

// An inflate stream that reads gzip only.
class Gunzip
{
  public:
    Gunzip() noexcept { ready_ = inflateInit2(&z_, 15 + 16) == Z_OK; }
    ~Gunzip()
    {
        if (ready_)
            inflateEnd(&z_);
    }
    Gunzip(const Gunzip &) = delete;
    Gunzip &operator=(const Gunzip &) = delete;

    bool ready() const noexcept { return ready_; }
    z_stream &z() noexcept { return z_; }

  private:
    z_stream z_{};
    bool ready_;
};

// Decompresses the upload from in, checks the XML as it goes and writes it
// to out.  0, or -1 with the reason in why.
class Unpacker
{
  public:
    Unpacker(int in, int out) : in_(in), out_(out) {}
    int run(std::string &why);
    uint64_t size() const noexcept { return size_; }

  private:
    int inflate_input(size_t len, std::string &why);
    int take_output(size_t len, std::string &why);

    int in_, out_;
    Gunzip gz_;
    XmlCheck xml_;
    bool any_input_ = false;
    bool member_ended_ = false;
    uint64_t size_ = 0;
    unsigned char inbuf_[io_chunk / 4];
    unsigned char outbuf_[io_chunk / 4];
};

int Unpacker::run(std::string &why)
{
    if (!gz_.ready() || !xml_.ready()) {
        why = "no memory to check the profile";
        return -1;
    }
    ssize_t n;
    while ((n = read_some(in_, inbuf_, sizeof inbuf_)) > 0) {
        any_input_ = true;
        if (inflate_input(static_cast<size_t>(n), why) < 0)
            return -1;
    }
    if (n < 0)
        why = "cannot read the upload: " + error_text(errno);
    else if (!any_input_)
        why = "the upload is empty";
    else if (!member_ended_)
        why = "the compressed data is truncated";
    else if (!xml_.feed(nullptr, 0, true))
        why = "not well-formed XML: " + xml_.error();
    else
        return 0;
    return -1;
}

int Unpacker::inflate_input(size_t len, std::string &why)
{
    z_stream &z = gz_.z();
    z.next_in = inbuf_;
    z.avail_in = static_cast<uInt>(len);
    while (z.avail_in > 0) {
        // Further data after a finished member is the next member, as in
        // the output of gzip with several files.
        if (member_ended_) {
            inflateReset(&z);
            member_ended_ = false;
        }
        int r;
        do {
            z.next_out = outbuf_;
            z.avail_out = sizeof outbuf_;
            r = inflate(&z, Z_NO_FLUSH);
            if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) {
                why = std::string("not valid gzip data: ") +
                      (z.msg != nullptr ? z.msg : "error " + std::to_string(r));
                return -1;
            }
            if (take_output(sizeof outbuf_ - z.avail_out, why) < 0)
                return -1;
        } while (z.avail_out == 0 && r != Z_STREAM_END);
        member_ended_ = r == Z_STREAM_END;
        if (r == Z_BUF_ERROR)
            break;
    }
    return 0;
}

int Unpacker::take_output(size_t len, std::string &why)
{
    if (!xml_.feed(outbuf_, len, false)) {
        why = "not well-formed XML: " + xml_.error();
        return -1;
    }
    if (size_ + len > TQUPD_MAX_PROFILE_XML) {
        why = "the profile is too large unpacked: more than " +
              std::to_string(TQUPD_MAX_PROFILE_XML) + " bytes";
        return -1;
    }
    if (write_all(out_, outbuf_, len) < 0) {
        why = "cannot write the profile: " + error_text(errno);
        return -1;
    }
    size_ += len;
    return 0;
}

// Unpacks the upload at temp into a new scratch file of the store and
// renames it to target: 0, or -1 with why.  The upload is judged by its
// size before it is read, and is never opened through a symbolic link.
int install(const std::string &temp, const std::string &target, uint64_t &size,
            std::string &why)
{
    Fd in(::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!in || ::fstat(in.get(), &st) < 0) {
        why = "cannot read the upload: " + error_text(errno);
        return -1;
    }
    why = upd_unfit(st, config.max_size, "the upload");
    if (!why.empty())
        return -1;
    std::string part;
    Fd out(make_scratch(store_dir, part));
    if (!out) {
        why = "cannot write " + target + ": " + error_text(errno);
        return -1;
    }
    Unpacker unpack(in.get(), out.get());
    int done = unpack.run(why);
    if (done == 0 && (::fsync(out.get()) < 0 || out.close() < 0 ||
                      ::rename(part.c_str(), target.c_str()) < 0)) {
        why = "cannot write " + target + ": " + error_text(errno);
        done = -1;
    }
    if (done < 0)
        ::unlink(part.c_str());
    size = unpack.size();
    return done;
}

int install_profile(const char *name, uint8_t param)
{
    if (name == nullptr)
        return upd_refuse(config, "", "no profile named");
    std::string client(name, strnlen(name, name_size));
    std::string temp(name + name_size, strnlen(name + name_size, name_size));
    std::string base = base_name(client);
    if (!is_profile_name(base))
        return upd_refuse(config, base,
                          "not a profile name (up to 32 characters: letters, "
                          "digits, '-' and '_', then \".xml\")");
    if (temp.empty())
        return upd_refuse(config, base, "no uploaded data");

    std::string target = std::string(store_dir) + "/" + base;
    uint64_t size = 0;
    std::string why;
    if (install(temp, target, size, why) < 0)
        return upd_refuse(config, base, why);
    ::unlink(temp.c_str());
    std::string bytes = std::to_string(size);
    upd_append_job(config.name, base, bytes, std::to_string(param));
    upd_report_ok(config, base + ": installed, " + bytes + " bytes");
    return 0;
}

} // namespace

} // namespace tqdev

TQDEVICE_API int tqupd_configDelayed(const char *name, uint8_t param)
{
    return tqdev::guarded(1,
                          [&] { return tqdev::install_profile(name, param); });
}
