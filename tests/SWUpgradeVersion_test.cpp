// Version check: offered model and version against the installed text.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <vconf.h>

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
    static const Lookup next =
        reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "system_info_get_value_string"));
    return next(key, value);
}

namespace {

const std::string kHl = "\x1b[1m\x1b[33m";
const std::string kHlEnd = "\x1b[0;m";
std::string Hl(const std::string& body) { return kHl + body + kHlEnd; }

constexpr const char* kModel = "QR-KELTPNHAS";
constexpr const char* kResultKey = "db/corvane/swupgrade/swu_result";

class VersionCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_lookups = 0;
        g_lastKey = -1;
        g_succeedWithoutText = false;
    }
    void TearDown() override { g_succeedWithoutText = false; }

    bool Required(const std::string& installed, const std::string& model,
                  const std::string& version)
    {
        qztest::ScopedEnv sw("QZ_SW_VERSION", installed);
        return client.isOTAUpgradeRequired(model, version);
    }

    qztest::KvStoreRoot store;  // no stored result: the busy test says no
    qztest::LogCapture log;
    SWUpgradeInterface client;
};

struct Case {
    const char* installed;
    const char* model;
    const char* version;
    bool required;
};

TEST_F(VersionCheck, MatrixAroundAnInstalledVersion)
{
    const Case cases[] = {
        {"QR-KELTPNHAS-1000.5", kModel, "1000.6", true},
        {"QR-KELTPNHAS-1000.5", kModel, "1001.0", true},
        {"QR-KELTPNHAS-1000.5", kModel, "1000.5", false},
        {"QR-KELTPNHAS-1000.5", kModel, "1000.4", false},
        {"QR-KELTPNHAS-1000.5", kModel, "999.9", false},
        {"QR-KELTPNHAS-1000.5", kModel, "999.99", false},
        {"QR-KELTPNHAS-1000.5", kModel, "0.0", true},
        {"QR-KELTPNHAS-1000.5", kModel, "0000.0", true},
        {"QR-KELTPNHAS-1000.5", kModel, "1000", false},                // counts as 1.1
        {"QR-KELTPNHAS-1000.5", kModel, "QR-KELTPNHAS-1000.6", false},  // 0.6
        {"QR-KELTPNHAS-1000.5", kModel, "-1.0", true},                 // unsigned major
        {"QR-KELTPNHAS-1000.5", "QR-KEMTPNHAS", "1001.0", false},
        {"QR-KELTPNHAS-1000.5", "QR-KEMTPNHAS", "0.0", false},  // model test first
        {"QR-KELTPNHAS-1000.5", "qr-keltpnhas", "1001.0", false},
        {"1000.5", kModel, "1001.0", false},  // no model installed
        {"1000.5", kModel, "0.0", false},
        {"QR-KELTPNHAS-1000", kModel, "1000.999", false},  // installed 1000.1000
        {"QR-KELTPNHAS-1000", kModel, "1000.1001", true},
        {"QR-KELTPNHAS-1000", kModel, "1001.0", true},
        {"QR-KELTPNHAS-1000.5", kModel, " 1000.6", true},  // strtol skips blanks
        {"QR-KELTPNHAS-1000.5", kModel, "1000.6beta", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Required(c.installed, c.model, c.version), c.required)
            << "installed " << c.installed << ", offered " << c.model << " " << c.version;
    }
}

TEST_F(VersionCheck, LogsBothVersionsAsTheyWereRead)
{
    EXPECT_TRUE(Required("QR-KELTPNHAS-1000.5", kModel, "-1.7"));

    // The platform log folds a trailing "\n" into the record's line end.
    EXPECT_TRUE(log.Has('I', "isOTAUpgradeRequired", ""));
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired",
                        Hl("New SW Version : [QR-KELTPNHAS]-[-1].[7]")));
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired",
                        Hl("Current SW Version : [QR-KELTPNHAS]-[1000].[5]")));
    EXPECT_EQ(log.Count("Deployed Version"), 0u);
    EXPECT_EQ(g_lastKey.load(), 128);

    log.Clear();
    EXPECT_FALSE(Required("QR-KELTPNHAS-1000", kModel, "1000"));
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired", Hl("New SW Version : [QR-KELTPNHAS]-[1].[1]")));
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired",
                        Hl("Current SW Version : [QR-KELTPNHAS]-[1000].[1000]")));

    log.Clear();
    EXPECT_FALSE(Required("1000.5", kModel, "2000.1"));
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired", Hl("Current SW Version : []-[1].[1]")));
}

TEST_F(VersionCheck, VersionZeroIsDeployedOnlyForTheSameModel)
{
    EXPECT_TRUE(Required("QR-KELTPNHAS-1000.5", kModel, "0000.0"));
    EXPECT_TRUE(log.Has('I', "isOTAUpgradeRequired", " Deployed Version is 0000.0"));

    log.Clear();
    EXPECT_FALSE(Required("QR-KELTPNHAS-1000.5", "QR-ZOWAPLDHAF", "0.0"));
    EXPECT_EQ(log.Count("Deployed Version"), 0u);
}

TEST_F(VersionCheck, EmptyArgumentsAreRefusedBeforeTheInstalledVersionIsRead)
{
    EXPECT_FALSE(Required("QR-KELTPNHAS-1000.5", "", "1001.0"));
    EXPECT_FALSE(Required("QR-KELTPNHAS-1000.5", kModel, ""));

    EXPECT_EQ(log.Find("isOTAUpgradeRequired", Hl("newModelName or newVersion string is empty"))
                  .size(),
              2u);
    EXPECT_EQ(g_lookups.load(), 0);
    EXPECT_EQ(log.Count("New SW Version"), 0u);
}

TEST_F(VersionCheck, UnavailableInstalledVersionGivesFalse)
{
    {
        qztest::ScopedEnv sw("QZ_SW_VERSION", std::nullopt);
        EXPECT_FALSE(client.isOTAUpgradeRequired(kModel, "0.0"));
    }
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired", Hl("Failed to get GetDeviceSWVersion.")));
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired", Hl("New SW Version : [QR-KELTPNHAS]-[0].[0]")));
    EXPECT_EQ(log.Count("Current SW Version"), 0u);

    // Success that hands back no text is no better.
    log.Clear();
    g_succeedWithoutText = true;
    EXPECT_FALSE(client.isOTAUpgradeRequired(kModel, "0.0"));
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired", Hl("Failed to get GetDeviceSWVersion.")));
    EXPECT_EQ(log.Count("Current SW Version"), 0u);
}

TEST_F(VersionCheck, BusyUpgradeAnswersNoBeforeAnythingElse)
{
    // A pending result of another requester, and no daemon to say it is idle.
    ASSERT_EQ(vconf_set_str(kResultKey, "true&12&running&ProcJOR&x"), 0);

    EXPECT_FALSE(Required("QR-KELTPNHAS-1000.5", kModel, "1001.0"));
    EXPECT_FALSE(Required("QR-KELTPNHAS-1000.5", "", ""));

    EXPECT_EQ(log.Find("isOTAUpgradeRequired",
                       Hl("SWUpgradeInterface::SWUpdate Another Instance of SWupgrade is Active"))
                  .size(),
              2u);
    EXPECT_EQ(log.Count("string is empty"), 0u);
    EXPECT_EQ(log.Count("New SW Version"), 0u);
    EXPECT_EQ(g_lookups.load(), 0) << "the installed version must not be read while busy";
}

TEST_F(VersionCheck, SettledResultLetsTheCheckRun)
{
    ASSERT_EQ(vconf_set_str(kResultKey, "false&12&ok&ProcJOR&x"), 0);
    EXPECT_TRUE(Required("QR-KELTPNHAS-1000.5", kModel, "1000.6"));
    EXPECT_EQ(log.Count("Another Instance"), 0u);
}

TEST_F(VersionCheck, DaemonStateDecidesForAPendingResult)
{
    if (qztest::DaemonProcess::BinaryPath().empty())
        GTEST_SKIP() << "the reference daemon is not built";
    ASSERT_EQ(vconf_set_str(kResultKey, "true&12&ok&ProcKAV&x"), 0);
    {
        qztest::DaemonProcess idle({"--reply", "16393=InitStatus"});
        EXPECT_TRUE(Required("QR-KELTPNHAS-1000.5", kModel, "1000.6"));
    }
    {
        qztest::DaemonProcess busy({"--reply", "16393=InProgressStatus"});
        EXPECT_FALSE(Required("QR-KELTPNHAS-1000.5", kModel, "1000.6"));
        EXPECT_EQ(busy.Events("call").size(), 1u);
    }
    EXPECT_EQ(log.Count("Another Instance"), 1u);
}

// The check needs no bus while no result is pending.
class NoBusVersionCheck : public VersionCheck {};

TEST_F(NoBusVersionCheck, WorksWithoutABus)
{
    EXPECT_TRUE(Required("QR-KELTPNHAS-1000.5", kModel, "1000.6"));
    EXPECT_FALSE(Required("QR-KELTPNHAS-1000.5", kModel, "1000.5"));
}

}  // namespace
