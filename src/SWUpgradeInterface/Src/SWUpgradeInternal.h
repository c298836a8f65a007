// Client-private helpers: the one way a command reaches the daemon. The
// names both sides agree on are in SWUContract.h. Not installed.
#ifndef QZ_SWUPGRADE_INTERNAL_H
#define QZ_SWUPGRADE_INTERNAL_H

#include <string>

#include "QZGDBus.h"
#include "SWUContract.h"
#include "SWUInterfaceData.h"

namespace qz {
namespace swu {

// Sends one daemon command with a byte payload and takes the text reply.
// The reply is cleared first so that a failed call never leaves stale text.
inline CQZGDBus::enRetValue SendDaemonCommand(CQZGDBus* bus, int command, const void* data,
                                              int length, std::string& reply)
{
    reply.clear();
    if (bus == nullptr)
        return CQZGDBus::RET_FAILED;
    return bus->SendMessage(kDaemonBusName, command, data, length, reply);
}

// A command without data bytes.
inline CQZGDBus::enRetValue SendDaemonCommand(CQZGDBus* bus, int command, std::string& reply)
{
    return SendDaemonCommand(bus, command, nullptr, 0, reply);
}

// A command whose payload is one packed record.
inline CQZGDBus::enRetValue SendDaemonRecord(CQZGDBus* bus, int command,
                                             const SWUDataContainer& record, std::string& reply)
{
    QzPack pack;
    record.Serialize(pack);
    return SendDaemonCommand(bus, command, pack.GetData(), static_cast<int>(pack.GetSize()),
                             reply);
}

}  // namespace swu
}  // namespace qz

#endif  // QZ_SWUPGRADE_INTERNAL_H
