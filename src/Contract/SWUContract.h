// What the upgrade client and the upgrade daemon agree on: bus names, the
// command interface, daemon commands and replies, key-value store keys,
// requester labels and the OTA stream's socket and frames.
//
// Both sides include this header (the client library, the reference daemon,
// the command-line tool, benchmarks, fuzz targets and tests); nothing else
// of the client's private files is theirs to include. Not installed.
#ifndef QZ_SWU_CONTRACT_H
#define QZ_SWU_CONTRACT_H

namespace qz {

// The command interface every endpoint exports.
namespace bus {

constexpr const char* kObjectPath = "/com/kestova/orvel/corvaneplatform";
constexpr const char* kInterfaceName = "interface.corvanemessage";

constexpr const char* kShortWithoutRet = "SendShortMessageWithoutRet";
constexpr const char* kShortWithRet = "SendShortMessageWithRet";
constexpr const char* kFullWithoutRet = "SendFullMessageWithoutRet";
constexpr const char* kFullWithRet = "SendFullMessageWithRet";
constexpr const char* kByteWithoutRet = "SendByteMessageWithoutRet";
constexpr const char* kByteWithRet = "SendByteMessageWithRet";
constexpr const char* kByteWithBytesRet = "SendByteMessageWithBytesRet";

// The seven methods, in the order the dispatch compares their names: the
// argument shape handed to m_OnDBusMessage (1 short, 2 full, 3 bytes with a
// text answer, 4 bytes with a byte answer) and the in and out tuples. The
// one list of them besides the interface document, which a test holds it to.
struct Method {
    const char* name;
    int shape;
    const char* in;
    const char* out;
    constexpr bool Answers() const { return out[1] != ')'; }
};

inline constexpr Method kMethods[] = {
    {kShortWithRet, 1, "(ii)", "(s)"},       {kFullWithRet, 2, "(iiiis)", "(s)"},
    {kByteWithRet, 3, "(iay)", "(s)"},       {kShortWithoutRet, 1, "(ii)", "()"},
    {kFullWithoutRet, 2, "(iiiis)", "()"},   {kByteWithoutRet, 3, "(iay)", "()"},
    {kByteWithBytesRet, 4, "(iay)", "(ay)"},
};

constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

}  // namespace bus

// The upgrade client and its daemon.
namespace swu {

constexpr const char* kLibraryBusName = "com.kestova.orvel.qz.swu.interface";
constexpr const char* kDaemonBusName = "com.kestova.orvel.qz.swu.daemon";

// Daemon commands, all sent with "SendByteMessageWithRet".
enum DaemonCommand : int {
    kCmdSubmitRequest = 0x4002,    // 16386: packed request record
    kCmdQueryOffset = 0x4004,      // 16388: "word offset"
    kCmdNotifyResult = 0x4005,     // 16389
    kCmdCabinetProgress = 0x4006,  // 16390: packed record, value in m_nProductType
    kCmdCabinetComplete = 0x4007,  // 16391: as 16390
    kCmdQueryProgress = 0x4008,    // 16392: "word progress"
    kCmdQueryState = 0x4009,       // 16393: "InProgressStatus" / "InitStatus"
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

}  // namespace swu
}  // namespace qz

#endif  // QZ_SWU_CONTRACT_H
