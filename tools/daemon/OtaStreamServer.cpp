#include "OtaStreamServer.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "DaemonLog.h"
#include "SWUContract.h"

namespace qz {
namespace daemon {

namespace {

constexpr guint kListenRetryMs = 200;
// Large reads: a 64 MiB image is some 16,000 frames, and each read costs a
// system call and a pass through the main loop.
constexpr gsize kReadChunk = 256 * 1024;
// Reads per wake-up of one client: a fast sender must not starve the bus,
// which shares this main loop. The socket source fires again right away.
constexpr int kReadsPerDispatch = 8;
// Out of descriptors, the listener would wake the loop at once again and
// again; it is left alone this long instead.
constexpr guint kNoDescriptorsPauseMs = 500;

// GLib reports both EMFILE and ENFILE this way.
bool IsOutOfDescriptors(const GError* error)
{
    return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TOO_MANY_OPEN_FILES);
}

std::string UserName(uid_t uid)
{
    const passwd* entry = getpwuid(uid);
    return entry ? entry->pw_name : std::to_string(uid);
}

// The peer's primary group, or one of the supplementary groups of its user.
bool IsInGroup(const ucred& peer, const std::string& groupName)
{
    const group* wanted = groupName.empty() ? nullptr : getgrnam(groupName.c_str());
    if (wanted == nullptr)
        return false;
    if (peer.gid == wanted->gr_gid)
        return true;
    const passwd* user = getpwuid(peer.uid);
    if (user == nullptr)
        return false;
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(static_cast<size_t>(count));
    return std::find(groups.begin(), groups.end(), wanted->gr_gid) != groups.end();
}

// Release functions for g_clear_pointer: a watch is taken off its context
// before our reference goes, a socket is closed before it is let go.
void DestroySource(GSource* source)
{
    g_source_destroy(source);
    g_source_unref(source);
}

void CloseSocket(GSocket* socket)
{
    g_socket_close(socket, nullptr);
    g_object_unref(socket);
}

bool PeerOf(GSocket* socket, ucred& peer)
{
    socklen_t length = sizeof peer;
    return getsockopt(g_socket_get_fd(socket), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
}

std::string Describe(const ucred& peer)
{
    return "uid " + std::to_string(peer.uid) + " (" + UserName(peer.uid) + "), pid " +
           std::to_string(peer.pid);
}

// A source that fires at the ready time its owner sets, and at no other.
gboolean DispatchAtReadyTime(GSource*, GSourceFunc callback, gpointer data)
{
    return callback(data);
}

GSource* NewDeadlineSource()
{
    static GSourceFuncs funcs = {nullptr, nullptr, DispatchAtReadyTime, nullptr, nullptr, nullptr};
    return g_source_new(&funcs, sizeof(GSource));
}

}  // namespace

// Frames in a row from one client with the same first argument (the
// sender's segment number), journalled as one line when the run ends.
struct OtaStreamServer::SegmentRun {
    bool open = false;
    int32_t arg1 = 0;
    unsigned long frames = 0;
    int64_t payloadBytes = 0;
    int32_t firstArg4 = 0;
    int32_t lastArg4 = 0;
    int32_t arg5 = 0;
    bool planned = false;
};

struct OtaStreamServer::Client {
    OtaStreamServer* server = nullptr;
    unsigned id = 0;
    ucred peer{};
    GSocket* socket = nullptr;
    GSource* source = nullptr;
    GSource* idleTimer = nullptr;
    gint64 acceptedAtUs = 0;
    gint64 lastActiveUs = 0;
    OtaFrameReader reader;
    unsigned long frames = 0;
    int64_t payloadBytes = 0;           // accepted into the image
    unsigned long foreignFrames = 0;    // dropped: the plan was another's
    unsigned long unplannedFrames = 0;  // dropped: no plan was open
    SegmentRun segment;

    ~Client()
    {
        g_clear_pointer(&idleTimer, DestroySource);
        g_clear_pointer(&source, DestroySource);
        g_clear_pointer(&socket, CloseSocket);
    }
};

OtaStreamServer::OtaStreamServer(OtaImage& image, Journal& journal, bool verbose,
                                 std::string allowedGroup, bool journalFrames,
                                 OtaStreamLimits limits)
    : m_image(image),
      m_journal(journal),
      m_bVerbose(verbose),
      m_bJournalFrames(journalFrames),
      m_strAllowedGroup(std::move(allowedGroup)),
      m_limits(limits),
      m_readBuffer(kReadChunk)
{
}

OtaStreamServer::~OtaStreamServer()
{
    m_clients.clear();
    g_clear_handle_id(&m_nRetryTimer, g_source_remove);
    g_clear_handle_id(&m_nResumeTimer, g_source_remove);
    g_clear_pointer(&m_pListenSource, DestroySource);
    g_clear_pointer(&m_pListener, CloseSocket);
}

void OtaStreamServer::Start()
{
    if (!TryListen())
        m_nRetryTimer = g_timeout_add(kListenRetryMs, OnRetryListen, this);
}

gboolean OtaStreamServer::OnRetryListen(gpointer self)
{
    auto* server = static_cast<OtaStreamServer*>(self);
    if (!server->TryListen())
        return G_SOURCE_CONTINUE;
    server->m_nRetryTimer = 0;
    return G_SOURCE_REMOVE;
}

bool OtaStreamServer::TryListen()
{
    g_autoptr(GError) error = nullptr;
    g_autoptr(GSocket) socket =
        g_socket_new(G_SOCKET_FAMILY_UNIX, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_DEFAULT, &error);
    // The client connects with the whole 110-byte address (a zero byte, the
    // name, zero fill), so the name is bound padded to the same length; a
    // shorter abstract address would be a different name.
    g_autoptr(GSocketAddress) address = g_unix_socket_address_new_with_type(
        swu::kOTASocketName, -1, G_UNIX_SOCKET_ADDRESS_ABSTRACT_PADDED);
    if (socket != nullptr && g_socket_bind(socket, address, FALSE, &error) &&
        g_socket_listen(socket, &error)) {
        g_socket_set_blocking(socket, FALSE);
        m_pListener = static_cast<GSocket*>(g_steal_pointer(&socket));
        WatchListener();
        QZ_LOGI("listening on @%s", swu::kOTASocketName);
        m_journal.Write({{"event", "ota_listening"}, {"name", swu::kOTASocketName}});
        return true;
    }
    // Typically another daemon still holds the name; say so once, then
    // keep retrying quietly.
    if (!m_bReportedBusy) {
        m_bReportedBusy = true;
        std::string what = std::string("cannot listen on the OTA socket, retrying: ") +
                           (error ? error->message : "unknown error");
        QZ_LOGE(QZ_HL_BEGIN "%s" QZ_HL_END, what.c_str());
        // Not an "error" event: the daemon recovers by itself once the name
        // is free.
        m_journal.Write({{"event", "ota_socket_busy"}, {"what", what}});
    }
    return false;
}

void OtaStreamServer::WatchListener()
{
    m_pListenSource = g_socket_create_source(m_pListener, G_IO_IN, nullptr);
    g_source_set_callback(m_pListenSource, G_SOURCE_FUNC(OnIncoming), this, nullptr);
    g_source_attach(m_pListenSource, nullptr);
}

gboolean OtaStreamServer::OnIncoming(GSocket*, GIOCondition, gpointer self)
{
    static_cast<OtaStreamServer*>(self)->Accept();
    return G_SOURCE_CONTINUE;
}

gboolean OtaStreamServer::OnResumeAccepting(gpointer self)
{
    auto* server = static_cast<OtaStreamServer*>(self);
    server->m_nResumeTimer = 0;
    server->WatchListener();
    return G_SOURCE_REMOVE;
}

// The pending connection stays in the backlog and readable; watching the
// listener now would only spin. Said once until an accept succeeds again.
void OtaStreamServer::PauseAccepting(const GError* error)
{
    g_clear_pointer(&m_pListenSource, DestroySource);
    m_nResumeTimer = g_timeout_add(kNoDescriptorsPauseMs, OnResumeAccepting, this);
    if (m_bReportedNoDescriptors)
        return;
    m_bReportedNoDescriptors = true;
    QZ_LOGE(QZ_HL_BEGIN "accept failed: %s; pausing new OTA connections" QZ_HL_END, error->message);
    m_journal.Error(std::string("accept failed: ") + error->message);
}

bool OtaStreamServer::PeerMayStream(const ucred& peer) const
{
    return peer.uid == 0 || peer.uid == geteuid() || IsInGroup(peer, m_strAllowedGroup);
}

bool OtaStreamServer::IsPlanner(const ucred& peer) const
{
    const OtaPlanner& planner = m_image.Planner();
    return m_image.HasPlan() && peer.pid == planner.pid && peer.uid == planner.uid;
}

bool OtaStreamServer::OwnsCurrentImage(const Client& client) const
{
    return m_nImageOwner == client.id && m_nOwnerGeneration == m_image.Generation();
}

// A full table must not keep the planner out: the connection idle longest
// that is not the planner's makes room, as it could not add to the image.
bool OtaStreamServer::MakeRoomFor(const ucred& peer)
{
    if (!IsPlanner(peer))
        return false;
    Client* idlest = nullptr;
    for (auto& [id, client] : m_clients)
        if (!IsPlanner(client->peer) &&
            (idlest == nullptr || client->lastActiveUs < idlest->lastActiveUs))
            idlest = client.get();
    if (idlest == nullptr)
        return false;
    CloseClient(*idlest, "evicted");
    return true;
}

void OtaStreamServer::RefuseConnection(GSocket* accepted, const std::string& who,
                                       const char* reason)
{
    m_journal.Write(
        {{"event", "ota_client"}, {"state", "refused"}, {"peer", who}, {"reason", reason}});
    CloseSocket(accepted);
}

void OtaStreamServer::Accept()
{
    for (;;) {
        g_autoptr(GError) error = nullptr;
        GSocket* accepted = g_socket_accept(m_pListener, nullptr, &error);
        if (accepted == nullptr) {
            if (IsOutOfDescriptors(error)) {
                PauseAccepting(error);
            } else if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
                QZ_LOGE(QZ_HL_BEGIN "accept failed: %s" QZ_HL_END, error->message);
                m_journal.Error(std::string("accept failed: ") + error->message);
            }
            return;
        }
        m_bReportedNoDescriptors = false;
        ucred peer{};
        const bool known = PeerOf(accepted, peer);
        const std::string who = known ? Describe(peer) : "unknown peer";
        if (!known || !PeerMayStream(peer)) {
            QZ_LOGE(QZ_HL_BEGIN "OTA connection from %s refused" QZ_HL_END, who.c_str());
            RefuseConnection(accepted, who, "not allowed");
            continue;
        }
        if (static_cast<int>(m_clients.size()) >= m_limits.maxConnections && !MakeRoomFor(peer)) {
            if (!m_bReportedFull)
                QZ_LOGE(QZ_HL_BEGIN "%d OTA connections open: refusing more" QZ_HL_END,
                        m_limits.maxConnections);
            m_bReportedFull = true;
            RefuseConnection(accepted, who, "too many connections");
            continue;
        }
        m_bReportedFull = false;
        AddClient(accepted, peer);
    }
}

void OtaStreamServer::AddClient(GSocket* accepted, const ucred& peer)
{
    g_socket_set_blocking(accepted, FALSE);
    auto client = std::make_unique<Client>();
    client->server = this;
    client->id = m_nNextClientId++;
    client->peer = peer;
    client->socket = accepted;
    client->acceptedAtUs = client->lastActiveUs = g_get_monotonic_time();
    client->source = g_socket_create_source(
        accepted, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
    g_source_set_callback(client->source, G_SOURCE_FUNC(OnClientReadable), client.get(), nullptr);
    g_source_attach(client->source, nullptr);
    WatchIdle(*client);
    QZ_LOGI("OTA client %u connected (%s)", client->id, Describe(peer).c_str());
    m_journal.Write({{"event", "ota_client"},
                     {"client", client->id},
                     {"state", "connected"},
                     {"pid", peer.pid},
                     {"uid", peer.uid}});
    m_clients[client->id] = std::move(client);
}

// One timer per connection, due when the connection has been quiet for the
// time-out. Reads only note the time; the timer looks at it when due.
void OtaStreamServer::WatchIdle(Client& client)
{
    if (m_limits.idleTimeoutMs <= 0)
        return;
    client.idleTimer = NewDeadlineSource();
    g_source_set_callback(client.idleTimer, OnClientIdle, &client, nullptr);
    g_source_set_ready_time(client.idleTimer,
                            client.lastActiveUs + gint64(m_limits.idleTimeoutMs) * 1000);
    g_source_attach(client.idleTimer, nullptr);
}

gboolean OtaStreamServer::OnClientIdle(gpointer clientData)
{
    auto* client = static_cast<Client*>(clientData);
    OtaStreamServer* server = client->server;
    const gint64 due = client->lastActiveUs + gint64(server->m_limits.idleTimeoutMs) * 1000;
    if (g_get_monotonic_time() < due) {
        g_source_set_ready_time(client->idleTimer, due);
        return G_SOURCE_CONTINUE;
    }
    server->CloseClient(*client, "idle");
    return G_SOURCE_REMOVE;
}

gboolean OtaStreamServer::OnClientReadable(GSocket*, GIOCondition, gpointer clientData)
{
    auto* client = static_cast<Client*>(clientData);
    OtaStreamServer* server = client->server;
    if (server->ReadFrom(*client))
        return G_SOURCE_CONTINUE;
    // Destroys the client and its source; GLib keeps the source alive until
    // this dispatch returns.
    server->CloseClient(*client, "disconnect");
    return G_SOURCE_REMOVE;
}

bool OtaStreamServer::ReadFrom(Client& client)
{
    client.lastActiveUs = g_get_monotonic_time();
    for (int i = 0; i < kReadsPerDispatch; ++i) {
        g_autoptr(GError) error = nullptr;
        gssize count =
            g_socket_receive(client.socket, reinterpret_cast<gchar*>(m_readBuffer.data()),
                             m_readBuffer.size(), nullptr, &error);
        if (count == 0)
            return false;
        if (count < 0) {
            if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK))
                return true;
            QZ_LOGE(QZ_HL_BEGIN "OTA client %u read failed: %s" QZ_HL_END, client.id,
                    error->message);
            m_journal.Error(std::string("read failed: ") + error->message);
            return false;
        }
        client.reader.Feed(m_readBuffer.data(), static_cast<size_t>(count),
                           [&](const OtaFrame& frame) { HandleFrame(client, frame); });
    }
    return true;
}

// The plan's image takes frames from one connection: the first of the
// planning process, opened after the plan, to send one. Checked by pid and
// uid, as the bus reported them for the plan and the socket for the peer.
OtaStreamServer::Verdict OtaStreamServer::Judge(const Client& client) const
{
    if (!m_image.HasPlan())
        return Verdict::kNoPlan;
    if (m_nOwnerGeneration == m_image.Generation() && m_nImageOwner != 0)
        return m_nImageOwner == client.id ? Verdict::kAccepted : Verdict::kForeign;
    if (!IsPlanner(client.peer) || client.acceptedAtUs < m_image.Planner().plannedAtUs)
        return Verdict::kNotPlanner;
    return Verdict::kAccepted;
}

void OtaStreamServer::HandleFrame(Client& client, const OtaFrame& frame)
{
    ++client.frames;
    const Verdict verdict = Judge(client);
    const bool planned = verdict != Verdict::kNoPlan;
    if (!planned)
        ++m_nFramesWithoutPlan;
    if (m_bVerbose)
        QZ_LOGI("frame size %d arg4 %d arg5 %d arg1 %d from client %u", frame.nSize, frame.nArg4,
                frame.nArg5, frame.nArg1, client.id);
    if (m_bJournalFrames)
        JournalFrame(client, frame, planned, verdict == Verdict::kAccepted);
    if (verdict != Verdict::kAccepted) {
        NoteDropped(client, verdict);
        return;
    }
    m_nImageOwner = client.id;
    m_nOwnerGeneration = m_image.Generation();
    CountInSegment(client, frame);
    client.payloadBytes += static_cast<int64_t>(frame.payload.size());
    if (m_image.Append(frame.payload.data(), frame.payload.size())) {
        JournalSegment(client);
        ReportImage(m_journal, m_image.Finish(), "complete");
    }
}

// Said once per connection and kind; every dropped frame is counted.
void OtaStreamServer::NoteDropped(Client& client, Verdict verdict)
{
    unsigned long& count =
        verdict == Verdict::kNoPlan ? client.unplannedFrames : client.foreignFrames;
    if (count++ != 0)
        return;
    const char* what = verdict == Verdict::kNoPlan    ? "frame without a plan dropped"
                       : verdict == Verdict::kForeign ? "frame from another connection dropped"
                                                      : "frame from outside the planning process "
                                                        "dropped";
    QZ_LOGE(QZ_HL_BEGIN "OTA client %u (%s): %s" QZ_HL_END, client.id,
            Describe(client.peer).c_str(), what);
    nlohmann::ordered_json entry = {{"event", "error"}, {"what", what}, {"client", client.id}};
    if (verdict == Verdict::kForeign)
        entry["owner"] = m_nImageOwner;
    m_journal.Write(entry);
}

void OtaStreamServer::JournalFrame(const Client& client, const OtaFrame& frame, bool planned,
                                   bool accepted)
{
    m_journal.Write({{"event", "frame"},
                     {"size", frame.nSize},
                     {"arg4", frame.nArg4},
                     {"arg5", frame.nArg5},
                     {"arg1", frame.nArg1},
                     {"payload_len", frame.payload.size()},
                     {"client", client.id},
                     {"planned", planned},
                     {"accepted", accepted},
                     {"frames_without_plan", m_nFramesWithoutPlan}});
}

void OtaStreamServer::CountInSegment(Client& client, const OtaFrame& frame)
{
    SegmentRun& run = client.segment;
    if (run.open && run.arg1 != frame.nArg1)
        JournalSegment(client);
    if (!run.open) {
        run = SegmentRun{};
        run.open = true;
        run.arg1 = frame.nArg1;
        run.firstArg4 = frame.nArg4;
        run.arg5 = frame.nArg5;
    }
    ++run.frames;
    run.payloadBytes += static_cast<int64_t>(frame.payload.size());
    run.lastArg4 = frame.nArg4;
}

void OtaStreamServer::JournalSegment(Client& client)
{
    SegmentRun& run = client.segment;
    if (!run.open)
        return;
    run.open = false;
    m_journal.Write({{"event", "ota_segment"},
                     {"client", client.id},
                     {"arg1", run.arg1},
                     {"frames", run.frames},
                     {"payload_bytes", run.payloadBytes},
                     {"first_arg4", run.firstArg4},
                     {"last_arg4", run.lastArg4},
                     {"first_arg5", run.arg5}});
}

void OtaStreamServer::CloseClient(Client& client, const char* reason)
{
    unsigned id = client.id;
    if (size_t pending = client.reader.PendingBytes()) {
        QZ_LOGE(QZ_HL_BEGIN
                "OTA client %u left in the middle of a frame: %zu bytes dropped" QZ_HL_END,
                id, pending);
        m_journal.Write({{"event", "error"},
                         {"what", "partial frame dropped"},
                         {"client", id},
                         {"bytes", pending}});
    }
    JournalSegment(client);
    QZ_LOGI("OTA client %u closed (%s) after %lu frames", id, reason, client.frames);
    m_journal.Write({{"event", "ota_client"},
                     {"client", id},
                     {"state", "closed"},
                     {"reason", reason},
                     {"frames", client.frames},
                     {"foreign_frames", client.foreignFrames},
                     {"unplanned_frames", client.unplannedFrames},
                     {"payload_bytes", client.payloadBytes}});
    // The plan's sender left before its total arrived: the image is cut
    // short, and what came of it is dropped, never stored.
    const bool abandonsImage = OwnsCurrentImage(client) && m_image.HasPlan();
    if (OwnsCurrentImage(client))
        m_nImageOwner = 0;
    m_clients.erase(id);
    if (abandonsImage)
        ReportImage(m_journal, m_image.Abandon(), reason);
}

}  // namespace daemon
}  // namespace qz
