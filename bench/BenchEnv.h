// Process set-up shared by the benchmark programs.
#ifndef QZ_BENCH_ENV_H
#define QZ_BENCH_ENV_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "TestSupport.h"

namespace qzbench {

// The figures measure the library's work, not the log sink's: the platform
// log is switched off for the whole benchmark process.
inline void QuietPlatformLog() { setenv("QZ_PLATFORM_LOG", "none", 1); }

// A private dbus-daemon standing in for the system bus for the lifetime of
// the object, so that a benchmark never touches the machine's own bus.
class BenchBus {
public:
    BenchBus() { setenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus.Address().c_str(), 1); }
    ~BenchBus() { unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }

    BenchBus(const BenchBus&) = delete;
    BenchBus& operator=(const BenchBus&) = delete;

private:
    qztest::PrivateBus m_bus;
};

// What every benchmark program's main does: the log off, Google Benchmark's
// own arguments, then `run`, which sets up what the benchmarks need and runs
// them (benchmark::RunSpecifiedBenchmarks) while that set-up lives. A set-up
// that throws ends the program with status 1.
template <typename Run>
int RunBenchmarks(int argc, char** argv, Run run)
{
    QuietPlatformLog();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    try {
        run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark setup failed: %s\n", e.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}

}  // namespace qzbench

#endif  // QZ_BENCH_ENV_H
