#include "OtaStreamServer.h"

#include <grp.h>
#include <poll.h>
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
    GSocket* socket = nullptr;
    GSource* source = nullptr;
    OtaFrameReader reader;
    unsigned long frames = 0;
    int64_t payloadBytes = 0;
    unsigned long foreignFrames = 0;  // dropped: the image belonged to another client
    SegmentRun segment;

    ~Client()
    {
        g_clear_pointer(&source, DestroySource);
        g_clear_pointer(&socket, CloseSocket);
    }
};

OtaStreamServer::OtaStreamServer(OtaImage& image, Journal& journal, bool verbose,
                                 std::string allowedGroup, bool journalFrames)
    : m_image(image),
      m_journal(journal),
      m_bVerbose(verbose),
      m_bJournalFrames(journalFrames),
      m_strAllowedGroup(std::move(allowedGroup)),
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

bool OtaStreamServer::PeerMayStream(GSocket* accepted, std::string& who) const
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(g_socket_get_fd(accepted), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        who = "unknown peer";
        return false;
    }
    who = "uid " + std::to_string(peer.uid) + " (" + UserName(peer.uid) + "), pid " +
          std::to_string(peer.pid);
    return peer.uid == 0 || peer.uid == geteuid() || IsInGroup(peer, m_strAllowedGroup);
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
        std::string who;
        if (!PeerMayStream(accepted, who)) {
            QZ_LOGE(QZ_HL_BEGIN "OTA connection from %s refused" QZ_HL_END, who.c_str());
            m_journal.Write({{"event", "ota_client"}, {"state", "refused"}, {"peer", who}});
            CloseSocket(accepted);
            continue;
        }
        g_socket_set_blocking(accepted, FALSE);
        auto client = std::make_unique<Client>();
        client->server = this;
        client->id = m_nNextClientId++;
        client->socket = accepted;
        client->source = g_socket_create_source(
            accepted, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
        g_source_set_callback(client->source, G_SOURCE_FUNC(OnClientReadable), client.get(),
                              nullptr);
        g_source_attach(client->source, nullptr);
        QZ_LOGI("OTA client %u connected", client->id);
        m_journal.Write({{"event", "ota_client"}, {"client", client->id}, {"state", "connected"}});
        m_clients[client->id] = std::move(client);
    }
}

gboolean OtaStreamServer::OnClientReadable(GSocket*, GIOCondition, gpointer clientData)
{
    auto* client = static_cast<Client*>(clientData);
    OtaStreamServer* server = client->server;
    if (server->ReadFrom(*client))
        return G_SOURCE_CONTINUE;
    // Destroys the client and its source; GLib keeps the source alive until
    // this dispatch returns.
    server->CloseClient(*client, "end of stream");
    return G_SOURCE_REMOVE;
}

bool OtaStreamServer::ReadFrom(Client& client)
{
    // A frame handler may read another client to its end (see
    // ReleaseIfOwnerLeft) while this buffer still holds frames being
    // handed out: that nested read gets a buffer of its own.
    std::vector<unsigned char> nested;
    const bool outermost = !m_bReadBufferInUse;
    if (!outermost)
        nested.resize(kReadChunk);
    std::vector<unsigned char>& buffer = outermost ? m_readBuffer : nested;
    m_bReadBufferInUse = true;
    const bool open = ReadChunks(client, buffer);
    if (outermost)
        m_bReadBufferInUse = false;
    return open;
}

bool OtaStreamServer::ReadChunks(Client& client, std::vector<unsigned char>& buffer)
{
    for (int i = 0; i < kReadsPerDispatch; ++i) {
        g_autoptr(GError) error = nullptr;
        gssize count = g_socket_receive(client.socket, reinterpret_cast<gchar*>(buffer.data()),
                                        buffer.size(), nullptr, &error);
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
        client.reader.Feed(buffer.data(), static_cast<size_t>(count),
                           [&](const OtaFrame& frame) { HandleFrame(client, frame); });
    }
    return true;
}

void OtaStreamServer::HandleFrame(Client& client, const OtaFrame& frame)
{
    ++client.frames;
    // One image, one connection: a second sender's frames would be spliced
    // into the first one's image.
    if (ImageOwnedByOther(client) && !ReleaseIfOwnerLeft()) {
        if (client.foreignFrames++ == 0) {
            QZ_LOGE(QZ_HL_BEGIN
                    "OTA client %u: frames dropped, the image belongs to client %u" QZ_HL_END,
                    client.id, m_nImageOwner);
            m_journal.Write({{"event", "error"},
                             {"what", "frame from another connection dropped"},
                             {"client", client.id},
                             {"owner", m_nImageOwner}});
        }
        return;
    }
    m_nImageOwner = client.id;
    m_nOwnerGeneration = m_image.Generation();
    bool planned = m_image.HasPlan();
    if (!planned)
        ++m_nFramesWithoutPlan;
    if (m_bVerbose)
        QZ_LOGI("frame size %d arg4 %d arg5 %d arg1 %d from client %u", frame.nSize, frame.nArg4,
                frame.nArg5, frame.nArg1, client.id);
    if (m_bJournalFrames)
        JournalFrame(client, frame, planned);
    CountInSegment(client, frame, planned);
    client.payloadBytes += static_cast<int64_t>(frame.payload.size());
    bool complete = m_image.Append(frame.payload.data(), frame.payload.size());
    if (complete) {
        JournalSegment(client);
        FinishImage("complete");
    }
}

void OtaStreamServer::JournalFrame(const Client& client, const OtaFrame& frame, bool planned)
{
    m_journal.Write({{"event", "frame"},
                     {"size", frame.nSize},
                     {"arg4", frame.nArg4},
                     {"arg5", frame.nArg5},
                     {"arg1", frame.nArg1},
                     {"payload_len", frame.payload.size()},
                     {"client", client.id},
                     {"planned", planned},
                     {"frames_without_plan", m_nFramesWithoutPlan}});
}

void OtaStreamServer::CountInSegment(Client& client, const OtaFrame& frame, bool planned)
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
        run.planned = planned;
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
                     {"first_arg5", run.arg5},
                     {"planned", run.planned},
                     {"frames_without_plan", m_nFramesWithoutPlan}});
}

bool OtaStreamServer::ImageOwnedByOther(const Client& client) const
{
    return m_nImageOwner != 0 && m_nImageOwner != client.id &&
           m_nOwnerGeneration == m_image.Generation();
}

// A sender that reconnects (the library does so for every new plan) closes
// its old connection first, but the two may become readable in the same
// loop iteration: an owner that has hung up is read to its end and closed
// before the newcomer's frames are judged.
bool OtaStreamServer::ReleaseIfOwnerLeft()
{
    auto owner = m_clients.find(m_nImageOwner);
    if (owner == m_clients.end()) {
        m_nImageOwner = 0;
        return true;
    }
    pollfd hangup{g_socket_get_fd(owner->second->socket), POLLRDHUP, 0};
    if (poll(&hangup, 1, 0) <= 0 || (hangup.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0)
        return false;
    while (ReadFrom(*owner->second)) {
    }
    CloseClient(*owner->second, "end of stream");
    return true;
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
                     {"frames", client.frames},
                     {"foreign_frames", client.foreignFrames},
                     {"payload_bytes", client.payloadBytes}});
    // A sender that leaves with its image unfinished ends that image: what
    // arrived is kept rather than silently merged into the next upload.
    bool ownsImage = m_nImageOwner == id && m_nOwnerGeneration == m_image.Generation();
    bool ownsUnfinishedImage = ownsImage && m_image.ReceivedBytes() > 0;
    if (ownsImage)
        m_nImageOwner = 0;
    m_clients.erase(id);
    if (ownsUnfinishedImage)
        FinishImage("disconnect");
}

void OtaStreamServer::FinishImage(const char* trigger)
{
    OtaImageSummary summary = m_image.Finish();
    QZ_LOGI("OTA image complete (%s): %lld bytes, sha256 %s, written to %s", trigger,
            static_cast<long long>(summary.bytes), summary.sha256.c_str(), summary.path.c_str());
    if (!summary.written) {
        QZ_LOGE(QZ_HL_BEGIN "cannot write the OTA image to %s" QZ_HL_END, summary.path.c_str());
        m_journal.Error("cannot write the OTA image to " + summary.path);
    }
    m_journal.Write({{"event", "ota_image"},
                     {"bytes", summary.bytes},
                     {"sha256", summary.sha256},
                     {"path", summary.path},
                     {"trigger", trigger},
                     {"written", summary.written}});
}

}  // namespace daemon
}  // namespace qz
