// The exported entry as the host calls it, once per client path, after the
// set-up: nanoseconds per call for each path and for the whole list in turn,
// the plug-in's own work (the user manager answers at once here).
#include <benchmark/benchmark.h>

#include "paths.h"
#include "tqsftp.h"

namespace {

// The entry only copies the host's table, so an empty one serves.
const tqsftp_funcs host{};

void set_up()
{
    static tqsftp_funcs *first = tqsftp_get_sftp_func_cb("/", &host);
    benchmark::DoNotOptimize(first);
}

void BM_Entry(benchmark::State &state)
{
    set_up();
    const char *path = tqbench::paths[state.range(0)];
    state.SetLabel(path);
    for (auto _ : state)
        benchmark::DoNotOptimize(tqsftp_get_sftp_func_cb(path, &host));
}
BENCHMARK(BM_Entry)->DenseRange(0, tqbench::path_count - 1);

void BM_EntryAllPaths(benchmark::State &state)
{
    set_up();
    for (auto _ : state) {
        for (const char *path : tqbench::paths)
            benchmark::DoNotOptimize(tqsftp_get_sftp_func_cb(path, &host));
    }
    state.SetItemsProcessed(state.iterations() * tqbench::path_count);
}
BENCHMARK(BM_EntryAllPaths);

}  // namespace

BENCHMARK_MAIN();
