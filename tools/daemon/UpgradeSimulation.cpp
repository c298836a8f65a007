#include "UpgradeSimulation.h"

#include <glib.h>
#include <vconf.h>

#include <algorithm>
#include <cstdlib>

#include "DaemonLog.h"
#include "SWUContract.h"

namespace qz {
namespace daemon {

namespace {

constexpr const char kResultText[] = "Success";
constexpr const char kPendingTrue[] = "true";
constexpr const char kPendingFalse[] = "false";

// Stored fields are "&"-separated without escaping, so a text taken from a
// request must not bring its own separators along.
std::string WithoutSeparators(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '&'), text.end());
    return text.empty() ? "-" : text;
}

}  // namespace

const char* RequesterLabel(int32_t requester)
{
    switch (requester) {
    case 1:
    case 8: return swu::kLabelJOR;
    case 2:
    case 9: return swu::kLabelKAV;
    case 4: return "ProcURL";
    case 7: return "ProcOTA";
    default: return "ProcOther";
    }
}

UpgradeSimulation::UpgradeSimulation(int durationMs, Journal& journal)
    : m_nDurationMs(durationMs),
      m_journal(journal)
{
}

UpgradeSimulation::~UpgradeSimulation() { g_clear_handle_id(&m_nTimer, g_source_remove); }

bool UpgradeSimulation::Start(const SWUDataContainer& request)
{
    if (Running())
        return false;
    m_request = request;
    m_nProgress = 0;
    m_nStartUs = g_get_monotonic_time();
    ++m_nUpgradeCount;
    PublishProgress();
    // A hundred steps over the whole duration; progress itself is computed
    // from the clock, so a late tick never stretches the upgrade.
    guint interval = static_cast<guint>(std::max(1, m_nDurationMs / 100));
    m_nTimer = g_timeout_add(interval, OnTick, this);
    QZ_LOGI("upgrade %u started for requester %d over %d ms", m_nUpgradeCount,
            m_request.m_nProductType, m_nDurationMs);
    m_journal.Write({{"event", "upgrade_started"},
                     {"id", m_nUpgradeCount},
                     {"requester", m_request.m_nProductType},
                     {"duration_ms", m_nDurationMs}});
    return true;
}

int64_t UpgradeSimulation::Offset() const
{
    return static_cast<int64_t>(m_request.m_lTotalBytes) * m_nProgress / 100;
}

gboolean UpgradeSimulation::OnTick(gpointer self)
{
    auto* simulation = static_cast<UpgradeSimulation*>(self);
    simulation->Advance();
    return simulation->Running() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void UpgradeSimulation::Advance()
{
    gint64 elapsedMs = (g_get_monotonic_time() - m_nStartUs) / 1000;
    int progress = m_nDurationMs <= 0
                       ? 100
                       : static_cast<int>(std::min<gint64>(100, elapsedMs * 100 / m_nDurationMs));
    if (progress != m_nProgress) {
        m_nProgress = progress;
        PublishProgress();
    }
    if (m_nProgress >= 100)
        Finish();
}

void UpgradeSimulation::Finish()
{
    // The timer source is removed by OnTick's return value.
    m_nTimer = 0;
    std::string result = std::string(kPendingTrue) + "&" + std::to_string(m_nUpgradeCount) + "&" +
                         kResultText + "&" + RequesterLabel(m_request.m_nProductType) + "&" +
                         WithoutSeparators(m_request.m_strFileName);
    if (vconf_set_str(swu::kKeyResult, result.c_str()) != 0) {
        QZ_LOGE(QZ_HL_BEGIN "cannot store the result [%s]" QZ_HL_END, result.c_str());
        m_journal.Error("cannot store the upgrade result");
    }
    QZ_LOGI("upgrade %u finished: %s", m_nUpgradeCount, result.c_str());
    m_journal.Write({{"event", "upgrade_done"}, {"id", m_nUpgradeCount}, {"result", result}});
}

void UpgradeSimulation::PublishProgress()
{
    if (vconf_set_str(swu::kKeyProgress, std::to_string(m_nProgress).c_str()) != 0)
        QZ_LOGE(QZ_HL_BEGIN "cannot store the progress %d" QZ_HL_END, m_nProgress);
}

bool UpgradeSimulation::MarkResultNotified()
{
    g_autofree char* stored = vconf_get_str(swu::kKeyResult);
    const std::string result = stored ? stored : "";
    if (result.empty())
        return false;
    size_t separator = result.find('&');
    std::string rest = separator == std::string::npos ? "" : result.substr(separator);
    std::string notified = kPendingFalse + rest;
    if (vconf_set_str(swu::kKeyResult, notified.c_str()) != 0)
        return false;
    m_journal.Write({{"event", "result_notified"}, {"result", notified}});
    return true;
}

}  // namespace daemon
}  // namespace qz
