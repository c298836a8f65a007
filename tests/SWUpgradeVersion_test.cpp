// Version check: offered model and version against the installed text.
#include <vconf.h>

#include "SWUpgradeInterface.h"
#include "TestCommon.h"

namespace {

constexpr const char* kModel = "QR-KELTPNHAS";
constexpr const char* kInstalled = "QR-KELTPNHAS-1000.5";

// No stored result: the busy test says no.
class VersionCheck : public qztest::ClientFixture {
protected:
    bool Required(std::optional<std::string> installed, const std::string& model,
                  const std::string& version)
    {
        qztest::ScopedEnv sw("QZ_SW_VERSION", installed);
        return client.isOTAUpgradeRequired(model, version);
    }
    bool Has(char priority, const std::string& body)
    {
        return log.Has(priority, "isOTAUpgradeRequired", priority == 'E' ? qztest::Hl(body) : body);
    }

    SWUpgradeInterface client;
};

TEST_F(VersionCheck, MatrixAroundAnInstalledVersion)
{
    const struct {
        const char *installed, *model, *version;
        bool required;
    } cases[] = {
        {kInstalled, kModel, "1000.6", true},
        {kInstalled, kModel, "1000.5", false},
        {kInstalled, kModel, "999.9", false},
        {kInstalled, kModel, "0.0", true},
        {kInstalled, kModel, "1000", false},  // no dot: counts as 1.1
        {"QR-KELTPNHAS-1.0", kModel, "7", true},
        {kInstalled, kModel, "QR-KELTPNHAS-1000.6", false},  // the model name inside: 0.6
        {kInstalled, kModel, "-1.0", true},                  // the major compares unsigned
        {kInstalled, "QR-KEMTPNHAS", "0.0", false},          // the model test comes before "0.0"
        {"1000.5", kModel, "1001.0", false},                 // installed text without "-": no model
        {"QR-KELTPNHAS-1000", kModel, "1000.999", false},    // without ".": 1000.1000
        {"QR-KELTPNHAS-1000", kModel, "1000.1001", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.installed) + " vs " + c.model + " " + c.version);
        EXPECT_EQ(Required(c.installed, c.model, c.version), c.required);
    }
}

// Each step's line; then a pending result, with no daemon to call it settled,
// stops the check before the arguments are even looked at.
TEST_F(VersionCheck, LogLinesAndTheBusyTestFirst)
{
    EXPECT_TRUE(Required(kInstalled, kModel, "-1.7"));
    EXPECT_TRUE(Has('E', "New SW Version : [QR-KELTPNHAS]-[-1].[7]"));
    EXPECT_TRUE(Has('E', "Current SW Version : [QR-KELTPNHAS]-[1000].[5]"));
    EXPECT_FALSE(Required("1000.5", kModel, "1.1"));
    EXPECT_TRUE(Has('E', "Current SW Version : []-[1].[1]")) << "no \"-\": no model, 1.1";
    EXPECT_TRUE(Required(kInstalled, kModel, "0.0"));
    EXPECT_TRUE(Has('I', " Deployed Version is 0000.0"));
    EXPECT_FALSE(Required(std::nullopt, kModel, "0.0"));
    EXPECT_TRUE(Has('E', "Failed to get GetDeviceSWVersion."));
    EXPECT_FALSE(Required(kInstalled, kModel, ""));
    EXPECT_TRUE(Has('E', "newModelName or newVersion string is empty"));

    ASSERT_EQ(vconf_set_str("db/corvane/swupgrade/swu_result", "true&1&x&ProcJOR&x"), 0);
    EXPECT_FALSE(Required(kInstalled, "", ""));
    EXPECT_TRUE(Has('E', "SWUpgradeInterface::SWUpdate Another Instance of SWupgrade is Active"));
    EXPECT_EQ(log.Count("string is empty"), 1u) << "only from the call before";
}

}  // namespace
