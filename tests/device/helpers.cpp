#include "helpers.h"

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tqdevice/tqxml.h"

namespace devtest
{

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void write_file(const std::string &path, const std::string &data)
{
    std::filesystem::create_directories(
        std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string &path)
{
    return std::filesystem::exists(path);
}

std::vector<std::string> lines_of(const std::string &path)
{
    std::vector<std::string> lines;
    if (!exists(path))
        return lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string gzip(const std::string &data)
{
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int r = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (r != Z_STREAM_END)
        throw std::runtime_error("deflate");
    return out;
}

std::string gunzip(const std::string &data)
{
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK)
        throw std::runtime_error("inflateInit2");
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buf[16384];
    int r;
    do {
        z.next_out = reinterpret_cast<Bytef *>(buf);
        z.avail_out = sizeof buf;
        r = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    } while (r == Z_OK);
    bool whole = r == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    if (!whole)
        throw std::runtime_error("not one whole gzip stream");
    return out;
}

std::string sample_profile(size_t size)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE profile [<!ENTITY site \"Zürich\">]>\n"
                      "<!-- written by the test -->\n"
                      "<profile version=\"2\" xmlns:x=\"urn:x\">\n";
    for (unsigned i = 0; xml.size() < size; ++i)
        xml += "  <param x:id=\"" + std::to_string(i) + "\" name='p" +
               std::to_string(i * 7919 % 1000) +
               "'>&site; &amp; &#x263A; "
               "<![CDATA[<raw> & ]]>" +
               std::to_string(i * i) + "</param>\r\n";
    return xml + "<?pi done?></profile>\n";
}

int record_sink(uintptr_t opaque, void *context, const void *data,
                uint32_t length)
{
    auto &r = *static_cast<Received *>(context);
    if (r.calls++ == r.stop_at)
        return -1;
    r.data.append(static_cast<const char *>(data), length);
    r.pieces.push_back(length);
    r.offsets.push_back(opaque);
    return static_cast<int>(length);
}

int convert(const std::string &path, Received &r)
{
    return tqapi_xml_convert_compress_XMLData_by_Callback(
        24, path.c_str(), record_sink, &r, 2, "CompressedData");
}

} // namespace devtest
