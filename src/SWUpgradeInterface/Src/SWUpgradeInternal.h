// Internal vocabulary of the upgrade client: bus names, daemon commands,
// key-value store keys, and the one way a command reaches the daemon.
// Not installed; the reference daemon and the tests share it.
#ifndef QZ_SWUPGRADE_INTERNAL_H
#define QZ_SWUPGRADE_INTERNAL_H

#include <unistd.h>

#include <string>

#include "QZGDBus.h"
#include "SWUInterfaceData.h"

namespace qz {
namespace swu {

constexpr const char* kLibraryBusName = "com.kestova.orvel.qz.swu.interface";
constexpr const char* kDaemonBusName = "com.kestova.orvel.qz.swu.daemon";

// Daemon commands, all sent with "SendByteMessageWithRet".
enum DaemonCommand : int {
    kCmdSubmitRequest = 0x4002,     // 16386: packed request record
    kCmdQueryOffset = 0x4004,       // 16388: "word offset"
    kCmdNotifyResult = 0x4005,      // 16389
    kCmdCabinetProgress = 0x4006,   // 16390: packed record, value in m_nProductType
    kCmdCabinetComplete = 0x4007,   // 16391: as 16390
    kCmdQueryProgress = 0x4008,     // 16392: "word progress"
    kCmdQueryState = 0x4009,        // 16393: "InProgressStatus" / "InitStatus"
};

// Replies compared whole and case-sensitively.
constexpr const char* kReplySuccess = "success";
constexpr const char* kReplyInProgress = "InProgressStatus";
constexpr const char* kReplyIdle = "InitStatus";

// Keys the daemon writes and the client reads.
constexpr const char* kKeyResult = "db/corvane/swupgrade/swu_result";
constexpr const char* kKeyProgress = "memory/corvane/swupgrade/swu_progress";
constexpr const char* kKeyPlayerMode = "db/home/lumora/lumora_mode";

// Labels of the requesters in a stored result.
constexpr const char* kLabelJOR = "ProcJOR";
constexpr const char* kLabelKAV = "ProcKAV";

// OTA stream: abstract socket name and frame geometry.
constexpr const char* kOTASocketName = "otaStream";
constexpr int kOTAFrameSize = 4096;
constexpr int kOTAHeaderSize = 16;
constexpr int kOTAMaxPayload = kOTAFrameSize - kOTAHeaderSize;  // 4080

// Closes the OTA stream socket, if one is open, and marks it finished (-1).
// Only the stream client ever stores a positive descriptor there (the
// initial 0 is not ours), so any positive one is ours to close.
inline void CloseOTAStream(int& socketFd)
{
    if (socketFd > 0)
        close(socketFd);
    socketFd = -1;
}

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
