// Version check: offered model and version against the installed text.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <vconf.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>

#include "SWUpgradeInterface.h"
#include "TestSupport.h"

// Sits in front of the platform's system-information service: counts the
// lookups, and can make the service report success without a text, which
// the real service never does.
namespace {
std::atomic<int> g_lookups{0};
std::atomic<int> g_lastKey{-1};
std::atomic<bool> g_succeedWithoutText{false};
}  // namespace

extern "C" int system_info_get_value_string(int key, char** value)
{
    ++g_lookups;
    g_lastKey = key;
    if (g_succeedWithoutText)
        return 0;
    using Lookup = int (*)(int, char**);
    static const auto next =
        reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "system_info_get_value_string"));
    return next(key, value);
}

namespace {

std::string Hl(const std::string& body) { return "\x1b[1m\x1b[33m" + body + "\x1b[0;m"; }

constexpr const char* kModel = "QR-KELTPNHAS";
constexpr const char* kInstalled = "QR-KELTPNHAS-1000.5";
constexpr const char* kResultKey = "db/corvane/swupgrade/swu_result";

class VersionCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_lookups = 0;
        g_lastKey = -1;
    }
    void TearDown() override { g_succeedWithoutText = false; }

    bool Required(const std::string& installed, const std::string& model,
                  const std::string& version)
    {
        qztest::ScopedEnv sw("QZ_SW_VERSION", installed);
        return client.isOTAUpgradeRequired(model, version);
    }
    // Lines of the check with this body and priority; 'E' lines are highlighted.
    size_t Logged(const std::string& body, char priority = 'E')
    {
        const auto found = log.Find("isOTAUpgradeRequired", priority == 'E' ? Hl(body) : body);
        return std::count_if(found.begin(), found.end(),
                             [&](const auto& r) { return r.priority == priority; });
    }

    qztest::KvStoreRoot store;  // no stored result: the busy test says no
    qztest::LogCapture log;
    SWUpgradeInterface client;
};

TEST_F(VersionCheck, MatrixAroundAnInstalledVersion)
{
    const struct {
        const char *installed, *model, *version;
        bool required;
    } cases[] = {
        {kInstalled, kModel, "1000.6", true},
        {kInstalled, kModel, "1001.0", true},
        {kInstalled, kModel, "1000.5", false},
        {kInstalled, kModel, "1000.4", false},
        {kInstalled, kModel, "999.9", false},
        {kInstalled, kModel, "0.0", true},
        {kInstalled, kModel, "0000.0", true},
        {kInstalled, kModel, "1000", false},                 // no dot: counts as 1.1
        {kInstalled, kModel, "QR-KELTPNHAS-1000.6", false},  // the model name inside: 0.6
        {kInstalled, kModel, "-1.0", true},                  // the major compares unsigned
        {kInstalled, kModel, " 1000.6", true},               // leading blanks are skipped
        {kInstalled, kModel, "1000.6beta", true},
        {kInstalled, "QR-KEMTPNHAS", "1001.0", false},
        {kInstalled, "QR-KEMTPNHAS", "0.0", false},  // the model test comes first
        {kInstalled, "qr-keltpnhas", "1001.0", false},
        {"1000.5", kModel, "1001.0", false},  // installed text without "-": no model
        {"1000.5", kModel, "0.0", false},
        {"QR-KELTPNHAS-1000", kModel, "1000.999", false},  // without ".": 1000.1000
        {"QR-KELTPNHAS-1000", kModel, "1000.1001", true},
        {"QR-KELTPNHAS-1000", kModel, "1001.0", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("installed ") + c.installed + ", offered " + c.model + " " +
                     c.version);
        EXPECT_EQ(Required(c.installed, c.model, c.version), c.required);
    }
}

TEST_F(VersionCheck, LogsBothVersionsAsReadAndTheDeployedLineOnlyForTheSameModel)
{
    EXPECT_TRUE(Required(kInstalled, kModel, "-1.7"));
    EXPECT_FALSE(Required("QR-KELTPNHAS-1000", kModel, "1000"));
    EXPECT_FALSE(Required("1000.5", kModel, "2000.1"));
    EXPECT_FALSE(Required(kInstalled, "QR-ZOWAPLDHAF", "0.0"));
    EXPECT_EQ(log.Count("Deployed Version"), 0u);
    EXPECT_TRUE(Required(kInstalled, kModel, "0000.0"));

    EXPECT_EQ(Logged("", 'I'), 5u);  // the log folds the trailing "\n" into the line end
    for (const char* line : {"New SW Version : [QR-KELTPNHAS]-[-1].[7]",
                             "Current SW Version : [QR-KELTPNHAS]-[1000].[5]",
                             "New SW Version : [QR-KELTPNHAS]-[1].[1]",
                             "Current SW Version : [QR-KELTPNHAS]-[1000].[1000]",
                             "Current SW Version : []-[1].[1]"})
        EXPECT_GE(Logged(line), 1u) << line;
    EXPECT_EQ(Logged(" Deployed Version is 0000.0", 'I'), 1u);
    EXPECT_EQ(g_lastKey.load(), 128);
}

TEST_F(VersionCheck, UnavailableInstalledVersionGivesFalse)
{
    {
        qztest::ScopedEnv sw("QZ_SW_VERSION", std::nullopt);
        EXPECT_FALSE(client.isOTAUpgradeRequired(kModel, "0.0"));
    }
    // Then a success that hands back no text, which is no better.
    g_succeedWithoutText = true;
    EXPECT_FALSE(client.isOTAUpgradeRequired(kModel, "0.0"));

    EXPECT_EQ(Logged("Failed to get GetDeviceSWVersion."), 2u);
    EXPECT_EQ(Logged("New SW Version : [QR-KELTPNHAS]-[0].[0]"), 2u);
    EXPECT_EQ(log.Count("Current SW Version"), 0u);
}

TEST_F(VersionCheck, BusyTestAndEmptyArgumentsComeBeforeTheInstalledVersionIsRead)
{
    EXPECT_FALSE(Required(kInstalled, "", "1001.0"));
    EXPECT_FALSE(Required(kInstalled, kModel, ""));
    EXPECT_EQ(Logged("newModelName or newVersion string is empty"), 2u);

    // A pending result of another requester, and no daemon to say it is idle.
    ASSERT_EQ(vconf_set_str(kResultKey, "true&12&running&ProcJOR&x"), 0);
    EXPECT_FALSE(Required(kInstalled, kModel, "1001.0"));
    EXPECT_FALSE(Required(kInstalled, "", ""));
    EXPECT_EQ(Logged("SWUpgradeInterface::SWUpdate Another Instance of SWupgrade is Active"), 2u);
    EXPECT_EQ(log.Count("string is empty"), 2u) << "the busy test comes first";
    EXPECT_EQ(log.Count("New SW Version"), 0u);
    EXPECT_EQ(g_lookups.load(), 0) << "the installed version must not be read";
}

TEST_F(VersionCheck, DaemonStateDecidesForAPendingResult)
{
    if (qztest::DaemonProcess::BinaryPath().empty())
        GTEST_SKIP() << "the reference daemon is not built";
    ASSERT_EQ(vconf_set_str(kResultKey, "true&12&ok&ProcKAV&x"), 0);
    {
        qztest::DaemonProcess idle({"--reply", "16393=InitStatus"});
        EXPECT_TRUE(Required(kInstalled, kModel, "1000.6"));
    }
    qztest::DaemonProcess busy({"--reply", "16393=InProgressStatus"});
    EXPECT_FALSE(Required(kInstalled, kModel, "1000.6"));
    EXPECT_EQ(busy.Events("call").size(), 1u);
    EXPECT_EQ(log.Count("Another Instance"), 1u);
}

// The check needs no bus while no result is pending, nor after a settled one.
class NoBusVersionCheck : public VersionCheck {};

TEST_F(NoBusVersionCheck, WorksWithoutABus)
{
    EXPECT_TRUE(Required(kInstalled, kModel, "1000.6"));
    EXPECT_FALSE(Required(kInstalled, kModel, "1000.5"));
    ASSERT_EQ(vconf_set_str(kResultKey, "false&12&ok&ProcJOR&x"), 0);
    EXPECT_TRUE(Required(kInstalled, kModel, "1000.6"));
    EXPECT_EQ(log.Count("Another Instance"), 0u);
}

}  // namespace
