// Cabinet upgrade reporting: progress and completion values handed to the
// daemon in an otherwise default request record.
#include <string>

#include "QzLog.h"
#include "SWUInterfaceData.h"
#include "SWUpgradeInterface.h"
#include "SWUpgradeInternal.h"

namespace {

enum class Delivery { NotSent, Declined, Accepted };

// The value travels in m_nProductType, unchanged and unchecked: what a
// cabinet value means is the daemon's business.
Delivery SendCabinetValue(CQZGDBus* bus, int command, int value)
{
    SWUDataContainer record;
    record.m_nProductType = value;
    std::string reply;
    if (qz::swu::SendDaemonRecord(bus, command, record, reply) != CQZGDBus::RET_OK)
        return Delivery::NotSent;
    return reply == qz::swu::kReplySuccess ? Delivery::Accepted : Delivery::Declined;
}

}  // namespace

// A macro, so that the lines carry the reporting operation's own name.
#define QZ_LOG_CABINET_DELIVERY(delivery)                                        \
    do {                                                                         \
        if ((delivery) == Delivery::NotSent) {                                   \
            QZ_LOGE(QZ_HL_BEGIN "Failed Sending the Message" QZ_HL_END);         \
            break;                                                               \
        }                                                                        \
        QZ_LOGE(QZ_HL_BEGIN "Success Sending the Message" QZ_HL_END);            \
        if ((delivery) == Delivery::Accepted)                                    \
            QZ_LOGE(QZ_HL_BEGIN " Result is Success " QZ_HL_END);               \
    } while (0)

bool SWUpgradeInterface::CabinetUpgradeProgress(int nProgress)
{
    QZ_LOGE(QZ_HL_BEGIN QZ_HL_END);
    const Delivery delivery =
        SendCabinetValue(m_pGDBus, qz::swu::kCmdCabinetProgress, nProgress);
    QZ_LOG_CABINET_DELIVERY(delivery);
    return delivery == Delivery::Accepted;
}

bool SWUpgradeInterface::OnCabinetUpgradeComplete(int nValue)
{
    QZ_LOGE(QZ_HL_BEGIN QZ_HL_END);
    const Delivery delivery = SendCabinetValue(m_pGDBus, qz::swu::kCmdCabinetComplete, nValue);
    QZ_LOG_CABINET_DELIVERY(delivery);
    return delivery == Delivery::Accepted;
}
