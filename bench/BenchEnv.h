// Process set-up shared by the benchmark programs.
#ifndef QZ_BENCH_ENV_H
#define QZ_BENCH_ENV_H

#include <cstdlib>

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

}  // namespace qzbench

#endif  // QZ_BENCH_ENV_H
