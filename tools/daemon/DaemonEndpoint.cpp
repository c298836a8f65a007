#include "DaemonEndpoint.h"

#include <cstring>

#include "DaemonLog.h"
#include "SWUContract.h"

namespace qz {
namespace daemon {

namespace {

constexpr int kRequesterOta = 7;

// Refusals: any text but "success" is a negative answer to the client.
constexpr const char kReplyBusy[] = "busy";
constexpr const char kReplyInvalidRequest[] = "invalid request";
constexpr const char kReplyInvalidPlan[] = "invalid plan";
constexpr const char kReplyNoResult[] = "no result";
constexpr const char kReplyUnknownPlanner[] = "unknown planner";
constexpr const char kReplyUnknown[] = "unknown command";

nlohmann::ordered_json RecordFields(const SWUDataContainer& record)
{
    return {{"software_id", record.m_strSoftwareID},
            {"file_name", record.m_strFileName},
            {"version", record.m_strSWVersion},
            {"url", record.m_strURL},
            {"certificate", record.m_strCertificatePath},
            {"cabinet_id", record.m_strCabinetID},
            {"total_bytes", record.m_lTotalBytes},
            {"requester", record.m_nProductType},
            {"is_url", record.m_bIsURL},
            {"upgrade_type", record.m_nUpgradeType},
            {"verify_host", record.m_nVerifyHost}};
}

gboolean MarkElapsed(gpointer flag)
{
    *static_cast<bool*>(flag) = true;
    return G_SOURCE_REMOVE;
}

// The calls that reach t_OnMessage with a byte array and a text response:
// both byte methods that answer with text or nothing share that handler.
// GDBus answers a call without an interface name, or with other arguments
// than the document declares, itself ("no object", "invalid args").
bool IsByteCallWithTextReply(GDBusMessage* message)
{
    const char* member = g_dbus_message_get_member(message);
    return g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL &&
           g_strcmp0(g_dbus_message_get_path(message), bus::kObjectPath) == 0 &&
           g_strcmp0(g_dbus_message_get_interface(message), bus::kInterfaceName) == 0 &&
           (g_strcmp0(member, bus::kByteWithRet) == 0 ||
            g_strcmp0(member, bus::kByteWithoutRet) == 0) &&
           g_strcmp0(g_dbus_message_get_signature(message), "iay") == 0;
}

bool LookUpUint(GVariant* dict, const char* key, guint32& value)
{
    return g_variant_lookup(dict, key, "u", &value);
}

}  // namespace

DaemonEndpoint::DaemonEndpoint(const DaemonOptions& options, Journal& journal,
                               UpgradeSimulation& upgrade, OtaImage& otaImage)
    : m_options(options),
      m_journal(journal),
      m_upgrade(upgrade),
      m_otaImage(otaImage)
{
}

DaemonEndpoint::~DaemonEndpoint()
{
    if (m_pFilteredConnection != nullptr) {
        g_dbus_connection_remove_filter(m_pFilteredConnection, m_nCallerFilter);
        g_clear_object(&m_pFilteredConnection);
    }
}

// Every call this filter records reaches t_OnMessage, in the order it
// arrived, since GDBus serves a connection's calls in order.
bool DaemonEndpoint::Serve(const char* busName)
{
    if (!Create(busName))
        return false;
    m_pFilteredConnection = static_cast<GDBusConnection*>(g_object_ref(m_pBusConnection));
    m_nCallerFilter = g_dbus_connection_add_filter(
        m_pFilteredConnection, RecordCaller, new std::shared_ptr<Callers>(m_pCallers),
        [](gpointer held) { delete static_cast<std::shared_ptr<Callers>*>(held); });
    return true;
}

GDBusMessage* DaemonEndpoint::RecordCaller(GDBusConnection*, GDBusMessage* message,
                                           gboolean incoming, gpointer held)
{
    if (incoming && IsByteCallWithTextReply(message)) {
        Callers& callers = **static_cast<std::shared_ptr<Callers>*>(held);
        const char* sender = g_dbus_message_get_sender(message);
        std::lock_guard<std::mutex> hold(callers.lock);
        callers.senders.emplace_back(sender != nullptr ? sender : "");
    }
    return message;
}

std::string DaemonEndpoint::TakeCaller()
{
    std::lock_guard<std::mutex> hold(m_pCallers->lock);
    if (m_pCallers->senders.empty())
        return "";
    std::string caller = std::move(m_pCallers->senders.front());
    m_pCallers->senders.pop_front();
    return caller;
}

// The bus knows the process and user behind each of its connections.
bool DaemonEndpoint::IdentifyCaller(const std::string& caller, OtaPlanner& planner)
{
    if (caller.empty())
        return false;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        m_pBusConnection, bus::kBusService, bus::kBusPath, bus::kBusService,
        "GetConnectionCredentials", g_variant_new("(s)", caller.c_str()), G_VARIANT_TYPE("(a{sv})"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (reply == nullptr)
        return false;
    g_autoptr(GVariant) credentials = g_variant_get_child_value(reply, 0);
    guint32 pid = 0;
    guint32 uid = 0;
    if (!LookUpUint(credentials, "ProcessID", pid) || !LookUpUint(credentials, "UnixUserID", uid))
        return false;
    planner.pid = static_cast<pid_t>(pid);
    planner.uid = static_cast<uid_t>(uid);
    return true;
}

bool DaemonEndpoint::t_OnMessage(int command, const void* data, int length, std::string& response)
{
    const std::string caller = TakeCaller();
    bool wrongType = m_options.wrongTypeCommands.count(command) != 0;
    auto forced = m_options.forcedReplies.find(command);
    if (wrongType)
        response.clear();
    else if (forced != m_options.forcedReplies.end())
        response = forced->second;
    else
        response = Dispatch(command, data, length, caller);

    if (m_options.verbose)
        QZ_LOGI("command %d with %d bytes -> [%s]", command, length, response.c_str());
    // The endpoint hands both byte forms to this handler; the client only
    // ever uses the one with a text reply.
    nlohmann::ordered_json entry = {
        {"event", "call"},
        {"method", "SendByteMessageWithRet"},
        {"command", command},
        {"payload", HexOf(data, length > 0 ? static_cast<size_t>(length) : 0)},
        {"reply", response}};
    if (wrongType)
        entry["wrong_type"] = true;
    // Written before any scripted delay: a test sees the call arrive while
    // its answer is still being held back.
    m_journal.Write(entry);
    HoldReply(command);
    // Returning false makes the endpoint send a reply without values.
    return !wrongType;
}

bool DaemonEndpoint::t_OnMessage(int command, int, std::string& response)
{
    RejectMethod("short", command);
    response.clear();
    return true;
}

bool DaemonEndpoint::t_OnMessage(int command, int, int, int, const std::string&,
                                 std::string& response)
{
    RejectMethod("full", command);
    response.clear();
    return true;
}

bool DaemonEndpoint::t_OnMessage(int command, const void*, int, std::vector<char>& response)
{
    RejectMethod("byte-array reply", command);
    response.clear();
    return true;
}

void DaemonEndpoint::RejectMethod(const char* shape, int command)
{
    // The client only ever sends byte messages with a text reply.
    QZ_LOGE(QZ_HL_BEGIN "unexpected %s message, command %d" QZ_HL_END, shape, command);
    m_journal.Write({{"event", "error"},
                     {"what", std::string("unexpected ") + shape + " message"},
                     {"command", command}});
}

std::string DaemonEndpoint::Dispatch(int command, const void* data, int length,
                                     const std::string& caller)
{
    switch (command) {
    case swu::kCmdSubmitRequest: return SubmitRequest(data, length, caller);
    case swu::kCmdQueryOffset: return ReportOffset();
    case swu::kCmdNotifyResult: return NotifyResult();
    case swu::kCmdCabinetProgress:
    case swu::kCmdCabinetComplete: return RecordCabinetValue(command, data, length);
    case swu::kCmdQueryProgress: return ReportProgress();
    case swu::kCmdQueryState: return ReportState();
    default:
        QZ_LOGE(QZ_HL_BEGIN "unknown command %d" QZ_HL_END, command);
        m_journal.Write({{"event", "error"}, {"what", "unknown command"}, {"command", command}});
        return kReplyUnknown;
    }
}

// A record is well formed when it reads back to exactly the bytes received:
// Unserialize alone accepts short or over-long data silently.
bool DaemonEndpoint::UnpackRecord(const void* data, int length, SWUDataContainer& record)
{
    uint32_t size = length > 0 ? static_cast<uint32_t>(length) : 0;
    QzPack received;
    received.PutBytes(data, size);
    if (!record.Unserialize(received))
        return false;
    QzPack rebuilt;
    record.Serialize(rebuilt);
    return rebuilt.GetSize() == size && received.GetSize() == 0 &&
           (size == 0 || memcmp(rebuilt.GetData(), data, size) == 0);
}

std::string DaemonEndpoint::SubmitRequest(const void* data, int length, const std::string& caller)
{
    SWUDataContainer request;
    if (!UnpackRecord(data, length, request)) {
        QZ_LOGE(QZ_HL_BEGIN "malformed request record (%d bytes)" QZ_HL_END, length);
        m_journal.Write({{"event", "error"},
                         {"what", "malformed record"},
                         {"command", swu::kCmdSubmitRequest}});
        return kReplyInvalidRequest;
    }
    nlohmann::ordered_json entry = {{"event", "request"}};
    entry.update(RecordFields(request));
    if (m_upgrade.Running()) {
        entry["accepted"] = false;
        m_journal.Write(entry);
        return kReplyBusy;
    }
    std::string reply = swu::kReplySuccess;
    if (request.m_nProductType == kRequesterOta)
        reply = AcceptOtaPlan(request, caller);
    else
        m_upgrade.Start(request);
    entry["accepted"] = reply == swu::kReplySuccess;
    m_journal.Write(entry);
    return reply;
}

// An OTA request announces the segment plan of the image that follows on
// the stream socket. It starts no timed upgrade: the daemon stays idle and
// the upload ends when the image is complete (see OtaStreamServer). The
// plan's sizes must add up to the request's total; the image is taken only
// from the process that sent the plan.
std::string DaemonEndpoint::AcceptOtaPlan(const SWUDataContainer& request,
                                          const std::string& caller)
{
    auto plan = ParseOtaPlan(request.m_strSoftwareID);
    std::optional<int64_t> total = plan ? PlannedTotal(*plan) : std::nullopt;
    if (!total || *total != static_cast<int64_t>(request.m_lTotalBytes)) {
        QZ_LOGE(QZ_HL_BEGIN "unusable OTA plan [%s] of %u bytes" QZ_HL_END,
                request.m_strSoftwareID.c_str(), request.m_lTotalBytes);
        m_journal.Write({{"event", "error"},
                         {"what", "unusable OTA plan"},
                         {"segments", request.m_strSoftwareID},
                         {"total", request.m_lTotalBytes}});
        return kReplyInvalidPlan;
    }
    OtaPlanner planner;
    if (!IdentifyCaller(caller, planner)) {
        QZ_LOGE(QZ_HL_BEGIN "OTA plan from %s: the bus cannot tell its process" QZ_HL_END,
                caller.c_str());
        m_journal.Write({{"event", "error"}, {"what", "unknown OTA planner"}, {"sender", caller}});
        return kReplyUnknownPlanner;
    }
    planner.plannedAtUs = g_get_monotonic_time();
    if (auto abandoned = m_otaImage.SetPlan(*total, planner))
        ReportImage(m_journal, *abandoned, "new plan");
    QZ_LOGI("OTA plan of %zu segments, %lld bytes, from pid %d", plan->size(),
            static_cast<long long>(*total), static_cast<int>(planner.pid));
    m_journal.Write({{"event", "ota_plan"},
                     {"segments", request.m_strSoftwareID},
                     {"count", plan->size()},
                     {"total", *total},
                     {"sender", caller},
                     {"pid", planner.pid},
                     {"uid", planner.uid}});
    return swu::kReplySuccess;
}

std::string DaemonEndpoint::RecordCabinetValue(int command, const void* data, int length)
{
    SWUDataContainer report;
    if (!UnpackRecord(data, length, report)) {
        QZ_LOGE(QZ_HL_BEGIN "malformed cabinet record (%d bytes)" QZ_HL_END, length);
        m_journal.Write({{"event", "error"}, {"what", "malformed record"}, {"command", command}});
        return kReplyInvalidRequest;
    }
    QZ_LOGI("cabinet %s %d", command == swu::kCmdCabinetProgress ? "progress" : "completion",
            report.m_nProductType);
    m_journal.Write({{"event", "cabinet"}, {"command", command}, {"value", report.m_nProductType}});
    return swu::kReplySuccess;
}

std::string DaemonEndpoint::ReportProgress() const
{
    return std::string(swu::kReplySuccess) + " " + std::to_string(m_upgrade.Progress());
}

std::string DaemonEndpoint::ReportOffset() const
{
    return std::string(swu::kReplySuccess) + " " + std::to_string(m_upgrade.Offset());
}

std::string DaemonEndpoint::ReportState() const
{
    return m_upgrade.Running() ? swu::kReplyInProgress : swu::kReplyIdle;
}

std::string DaemonEndpoint::NotifyResult()
{
    return m_upgrade.MarkResultNotified() ? swu::kReplySuccess : kReplyNoResult;
}

// Holds the answer back without stopping the daemon: the main loop keeps
// running (upgrade timer, OTA socket, other calls, signals) until the
// scripted delay has passed or a stop is requested.
void DaemonEndpoint::HoldReply(int command)
{
    auto delay = m_options.replyDelaysMs.find(command);
    if (delay == m_options.replyDelaysMs.end() || delay->second <= 0)
        return;
    bool elapsed = false;
    guint timer = g_timeout_add(static_cast<guint>(delay->second), MarkElapsed, &elapsed);
    while (!elapsed && !m_bStopping)
        g_main_context_iteration(nullptr, TRUE);
    if (!elapsed)
        g_clear_handle_id(&timer, g_source_remove);
}

}  // namespace daemon
}  // namespace qz
