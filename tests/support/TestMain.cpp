// Test main: every test process gets a private bus in place of the system bus or, under
// QZ_TEST_NO_BUS (the "NoBus" suites), a bus address that nobody listens on.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "TestSupport.h"

namespace qztest {
namespace {
std::unique_ptr<PrivateBus> g_bus;

struct BusEnvironment : ::testing::Environment {
    void SetUp() override
    {
        if (getenv("QZ_TEST_NO_BUS") == nullptr)
            g_bus = std::make_unique<PrivateBus>();
        setenv("DBUS_SYSTEM_BUS_ADDRESS",
               g_bus ? g_bus->Address().c_str() : "unix:path=/nonexistent/qz-test-no-bus", 1);
    }
    void TearDown() override { g_bus.reset(); }
};
}  // namespace

PrivateBus* ProcessBus() { return g_bus.get(); }
}  // namespace qztest

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new qztest::BusEnvironment);
    // Never log to the machine's syslog from a test by accident.
    setenv("QZ_PLATFORM_LOG", "none", 0);
    const int status = RUN_ALL_TESTS();
    // A filter that selects nothing would pass having tested nothing.
    if (!GTEST_FLAG_GET(list_tests) &&
        ::testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        fprintf(stderr, "no test case matches the filter\n");
        return 1;
    }
    return status;
}
