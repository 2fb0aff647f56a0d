// Converting a generated profile of 1, 5 and 50 MiB with the XML service.
// Counters: peak_rss_KiB, the peak resident memory of a process that does
// one conversion, and rss_growth_KiB, how much of it the conversion added
// to the same process doing nothing: the second must not grow with the file.
//
// usage: device_bench [--dir=FOLDER] [benchmark options]
//   FOLDER holds the generated profiles (default: a new folder in $TMPDIR or
//   /tmp, removed at the end).
#include <benchmark/benchmark.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tqdevice/tqxml.h"

namespace
{

std::string folder;

int count_sink(uintptr_t, void *context, const void *, uint32_t length)
{
    *static_cast<uint64_t *>(context) += length;
    return static_cast<int>(length);
}

int convert(const std::string &path, uint64_t &count)
{
    count = 0;
    return tqapi_xml_convert_compress_XMLData_by_Callback(
        24, path.c_str(), count_sink, &count, 2, "CompressedData");
}

// A profile of mib MiB: sections of parameters with varied values, written
// piece by piece so that generating it takes no memory either.
std::string make_profile(int mib)
{
    std::string path = folder + "/profile-" + std::to_string(mib) + ".xml";
    if (std::filesystem::exists(path))
        return path;
    std::ofstream out(path, std::ios::binary);
    const uint64_t size = static_cast<uint64_t>(mib) << 20;
    uint64_t written = 0, x = 88172645463325252ull;
    std::string chunk =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<profile>\n";
    for (unsigned s = 0; written + chunk.size() < size; ++s) {
        chunk += " <section name=\"s" + std::to_string(s) + "\">\n";
        for (int p = 0; p < 16; ++p) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            chunk += "  <param name=\"p" + std::to_string(p) +
                     "\" type=\"int\">" + std::to_string(x % 100000) +
                     "</param>\n";
        }
        chunk += " </section>\n";
        if (chunk.size() > 60000) {
            out << chunk;
            written += chunk.size();
            chunk.clear();
        }
    }
    out << chunk << "</profile>\n";
    return path;
}

// Peak resident memory (KiB) of a child process that converts path once, or
// that does nothing when path is empty.
long child_peak_rss(const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        uint64_t count;
        _exit(path.empty() || convert(path, count) == 0 ? 0 : 1);
    }
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0 || status != 0)
        return -1;
    return usage.ru_maxrss;
}

void Convert(benchmark::State &state)
{
    std::string path = make_profile(static_cast<int>(state.range(0)));
    uint64_t count = 0;
    for (auto _ : state)
        if (convert(path, count) != 0)
            state.SkipWithError("conversion failed");
    auto size = std::filesystem::file_size(path);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    long idle = child_peak_rss("");
    long peak = child_peak_rss(path);
    state.counters["profile_MiB"] = static_cast<double>(size) / (1 << 20);
    state.counters["gzip_KiB"] = static_cast<double>(count) / 1024;
    state.counters["peak_rss_KiB"] = static_cast<double>(peak);
    state.counters["rss_growth_KiB"] = static_cast<double>(peak - idle);
}

BENCHMARK(Convert)->Arg(1)->Arg(5)->Arg(50)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    bool own = true;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--dir=", 6) == 0) {
            folder = argv[i] + 6;
            own = false;
        } else {
            fprintf(stderr, "device_bench: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (own) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") +
                              "/tqdevice-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            perror("device_bench: mkdtemp");
            return 1;
        }
        folder = pattern;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (own)
        std::filesystem::remove_all(folder);
    return 0;
}
