// Files, gzip and a recording sink for the device service tests.
#ifndef TQDEVICE_TEST_HELPERS_H
#define TQDEVICE_TEST_HELPERS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace devtest
{

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
bool exists(const std::string &path);
std::vector<std::string> lines_of(const std::string &path);

std::string gzip(const std::string &data);
// The decompressed bytes; throws when data is not one whole gzip stream.
std::string gunzip(const std::string &data);

// A profile of about size bytes that uses most of what XML allows.
std::string sample_profile(size_t size);

// What the XML service handed to a sink.
struct Received {
    std::string data;
    std::vector<uint32_t> pieces;
    std::vector<uintptr_t> offsets;
    int stop_at = -1; // answer -1 to this call (0-based), when set
    int calls = 0;
};
int record_sink(uintptr_t opaque, void *context, const void *data,
                uint32_t length);
// Converts the profile at path into r: the service's answer.
int convert(const std::string &path, Received &r);

} // namespace devtest

#endif
