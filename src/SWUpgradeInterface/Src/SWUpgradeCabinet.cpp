// Cabinet upgrade reporting: progress and completion values handed to the
// daemon in an otherwise default request record.
#include "QzLog.h"
#include "SWUInterfaceData.h"
#include "SWUpgradeInterface.h"
#include "SWUpgradeInternal.h"

namespace {

// The value travels in m_nProductType, unchanged and unchecked: what a
// cabinet value means is the daemon's business.
bool SendCabinetValue(CQZGDBus* bus, const char* operation, int command, int value)
{
    SWUDataContainer record;
    record.m_nProductType = value;
    return qz::swu::DaemonLink(bus, operation)
        .Send(command, record, qz::swu::Report::Delivery)
        .accepted;
}

}  // namespace

bool SWUpgradeInterface::CabinetUpgradeProgress(int nProgress)
{
    QZ_LOGE(QZ_HL_BEGIN QZ_HL_END);
    return SendCabinetValue(m_pGDBus, __func__, qz::swu::kCmdCabinetProgress, nProgress);
}

bool SWUpgradeInterface::OnCabinetUpgradeComplete(int nValue)
{
    QZ_LOGE(QZ_HL_BEGIN QZ_HL_END);
    return SendCabinetValue(m_pGDBus, __func__, qz::swu::kCmdCabinetComplete, nValue);
}
