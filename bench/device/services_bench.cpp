// The answers that the plug-in asks of the device's services on its busy
// paths: the forced-password question (at every entry call) and one audit
// message (two per finished transfer).  Run in a device root, so the
// messages go to its /var/log/messages, emptied now and then.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "tqdevice/tqlog.h"
#include "tqdevice/tqusrmgr.h"

namespace
{

void ForcePasswordStatus(benchmark::State &state)
{
    for (auto _ : state) {
        int status = 0;
        benchmark::DoNotOptimize(tqusrMgr_GetForcePasswordStatus(&status));
    }
}
BENCHMARK(ForcePasswordStatus);

void AuditMessage(benchmark::State &state)
{
    tqlog_preInit();
    const char *path = "/upload/firmware/fw-4.2.1.bin";
    long sent = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tqlog_throwMsg(
            "lib/tqsftp_main", 116, 0x18000C, 109, 24, TQLOG_ARG_STRING,
            0x7FFFFFFF, "Copy", TQLOG_ARG_STRING, 0x7FFFFFFF, "remote",
            TQLOG_ARG_STRING, 0x7FFFFFFF, path, TQLOG_ARG_END));
        if (++sent % 16384 == 0)
            truncate("/var/log/messages", 0);
    }
}
BENCHMARK(AuditMessage);

} // namespace
