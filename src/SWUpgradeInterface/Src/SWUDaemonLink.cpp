// The client's one way to the upgrade daemon: send a command or a packed
// record, read the reply, and write how it went.
#include <algorithm>
#include <climits>
#include <sstream>

#include "QzLog.h"
#include "SWUpgradeInternal.h"

namespace qz {
namespace swu {

DaemonReply DaemonLink::Send(int command, Report report)
{
    DaemonReply reply = Exchange(command);
    reply.accepted = reply.sent && reply.text == kReplySuccess;
    WriteOutcome(reply, report);
    return reply;
}

DaemonReply DaemonLink::Send(int command, const SWUDataContainer& record, Report report)
{
    QzPack pack;
    record.Serialize(pack);
    DaemonReply reply = Exchange(command, pack.GetData(), static_cast<int>(pack.GetSize()));
    reply.accepted = reply.sent && reply.text == kReplySuccess;
    WriteOutcome(reply, report);
    return reply;
}

DaemonReply DaemonLink::Query(int command)
{
    DaemonReply reply = Exchange(command);
    if (!reply.sent)
        return reply;
    QZ_LOG_PRINT_AS(DLOG_ERROR, m_szOperation, QZ_HL_BEGIN " Return value = %s" QZ_HL_END,
                    reply.text.c_str());
    // Stream extraction: a missing or unreadable number leaves 0.
    std::istringstream in(reply.text);
    in >> reply.word >> reply.number;
    reply.accepted = reply.word == kReplySuccess;
    return reply;
}

bool DaemonLink::ReportResult(const DaemonReply& reply) const
{
    if (reply.accepted)
        QZ_LOG_PRINT_AS(DLOG_ERROR, m_szOperation, QZ_HL_BEGIN " Result is Success " QZ_HL_END);
    return reply.accepted;
}

DaemonReply DaemonLink::Exchange(int command) const { return Exchange(command, nullptr, 0); }

// A failed call leaves the response as it was: the fresh reply's empty text.
DaemonReply DaemonLink::Exchange(int command, const void* data, int length) const
{
    DaemonReply reply;
    CQZGDBus::enRetValue ret = CQZGDBus::RET_FAILED;
    if (m_pBus != nullptr)
        ret = m_pBus->SendMessage(kDaemonBusName, command, data, length, reply.text);
    NoteCallOutcome(m_pBus != nullptr, ret);
    reply.sent = ret == CQZGDBus::RET_OK;
    return reply;
}

void DaemonLink::WriteOutcome(const DaemonReply& reply, Report report) const
{
    if (report == Report::Delivery) {
        if (!reply.sent) {
            QZ_LOG_PRINT_AS(DLOG_ERROR, m_szOperation,
                            QZ_HL_BEGIN "Failed Sending the Message" QZ_HL_END);
            return;
        }
        QZ_LOG_PRINT_AS(DLOG_ERROR, m_szOperation,
                        QZ_HL_BEGIN "Success Sending the Message" QZ_HL_END);
    }
    if (report != Report::Nothing)
        ReportResult(reply);
}

int NarrowToInt(long long number)
{
    return static_cast<int>(std::clamp<long long>(number, INT_MIN, INT_MAX));
}

}  // namespace swu
}  // namespace qz
