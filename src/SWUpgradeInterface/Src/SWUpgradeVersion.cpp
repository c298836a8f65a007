// Version check: is an offered software version for this device's model
// newer than the one installed?
#include <glib.h>
#include <system_info.h>

#include <cstdint>
#include <cstdlib>
#include <tuple>

#include "QzLog.h"
#include "SWUpgradeInterface.h"

namespace {

// Two-part version number. The parts are compared unsigned, so a negative
// offered major ("-1.0") outranks every installed one.
struct VersionNumber {
    uint32_t major;
    uint32_t minor;
};

struct InstalledVersion {
    std::string model;
    VersionNumber number;
};

// strtol rules (leading blanks, sign, digits up to the first other
// character, 0 without digits), kept to 32 bits.
uint32_t ToNumber(const std::string& text)
{
    return static_cast<uint32_t>(std::strtol(text.c_str(), nullptr, 10));
}

// "major.minor", split at the last "."; a text without "." counts as 1.1.
VersionNumber ParseOfferedVersion(const std::string& text)
{
    const auto dot = text.rfind('.');
    if (dot == std::string::npos)
        return {1, 1};
    return {ToNumber(text.substr(0, dot)), ToNumber(text.substr(dot + 1))};
}

// "model-major.minor", split at the last "-" because model codes hold "-"
// themselves. Without "." the whole number is both parts; without "-"
// there is no model and the number is 1.1.
InstalledVersion ParseInstalledVersion(const std::string& text)
{
    const auto dash = text.rfind('-');
    if (dash == std::string::npos)
        return {std::string(), {1, 1}};

    const std::string number = text.substr(dash + 1);
    const auto dot = number.rfind('.');
    if (dot == std::string::npos) {
        const uint32_t whole = ToNumber(number);
        return {text.substr(0, dash), {whole, whole}};
    }
    return {text.substr(0, dash),
            {ToNumber(number.substr(0, dot)), ToNumber(number.substr(dot + 1))}};
}

// The major number decides; the minor one only between equal majors.
bool IsNewer(const VersionNumber& offered, const VersionNumber& installed)
{
    return std::tie(offered.major, offered.minor) > std::tie(installed.major, installed.minor);
}

}  // namespace

bool SWUpgradeInterface::isOTAUpgradeRequired(std::string newModelName, std::string newVersion)
{
    if (isSWUpgrading(SWU_PROCESS_OTA)) {
        QZ_LOGE(QZ_HL_BEGIN
                "SWUpgradeInterface::SWUpdate Another Instance of SWupgrade is Active" QZ_HL_END);
        return false;
    }
    QZ_LOGI("\n");

    if (newModelName.empty() || newVersion.empty()) {
        QZ_LOGE(QZ_HL_BEGIN "newModelName or newVersion string is empty" QZ_HL_END);
        return false;
    }

    const VersionNumber offered = ParseOfferedVersion(newVersion);
    QZ_LOGE(QZ_HL_BEGIN "New SW Version : [%s]-[%d].[%d]" QZ_HL_END, newModelName.c_str(),
            static_cast<int32_t>(offered.major), static_cast<int32_t>(offered.minor));

    g_autofree char* installedText = nullptr;
    const int status = system_info_get_value_string(SYSTEM_INFO_KEY_SW_VERSION, &installedText);
    // A success that hands back no text tells us as little as a failure.
    if (status != SYSTEM_INFO_ERROR_NONE || installedText == nullptr) {
        QZ_LOGE(QZ_HL_BEGIN "Failed to get GetDeviceSWVersion." QZ_HL_END);
        return false;
    }

    const InstalledVersion installed = ParseInstalledVersion(installedText);
    QZ_LOGE(QZ_HL_BEGIN "Current SW Version : [%s]-[%d].[%d]" QZ_HL_END, installed.model.c_str(),
            static_cast<int32_t>(installed.number.major),
            static_cast<int32_t>(installed.number.minor));

    // The model test comes first: a "0.0" offer for another model is no offer.
    if (newModelName != installed.model)
        return false;
    if (offered.major == 0 && offered.minor == 0) {
        QZ_LOGI(" Deployed Version is 0000.0\n");
        return true;
    }
    return IsNewer(offered, installed.number);
}
