#include "OtaStreamServer.h"

#include <optional>
#include <vector>

#include "DaemonLog.h"
#include "SWUContract.h"

namespace qz {
namespace daemon {

namespace {

constexpr guint kListenRetryMs = 200;
constexpr gsize kReadChunk = 64 * 1024;
// Reads per wake-up of one client: a fast sender must not starve the bus,
// which shares this main loop. The socket source fires again right away.
constexpr int kReadsPerDispatch = 16;

}  // namespace

struct OtaStreamServer::Client {
    OtaStreamServer* server = nullptr;
    unsigned id = 0;
    GSocket* socket = nullptr;
    GSource* source = nullptr;
    OtaFrameReader reader;
    unsigned long frames = 0;
    int64_t payloadBytes = 0;
    // Generation of the image this client last added bytes to.
    std::optional<unsigned> imageGeneration;

    ~Client()
    {
        if (source != nullptr) {
            g_source_destroy(source);
            g_source_unref(source);
        }
        if (socket != nullptr) {
            g_socket_close(socket, nullptr);
            g_object_unref(socket);
        }
    }
};

OtaStreamServer::OtaStreamServer(OtaImage& image, Journal& journal, bool verbose)
    : m_image(image), m_journal(journal), m_bVerbose(verbose)
{
}

OtaStreamServer::~OtaStreamServer()
{
    m_clients.clear();
    if (m_nRetryTimer != 0)
        g_source_remove(m_nRetryTimer);
    if (m_pListenSource != nullptr) {
        g_source_destroy(m_pListenSource);
        g_source_unref(m_pListenSource);
    }
    if (m_pListener != nullptr) {
        g_socket_close(m_pListener, nullptr);
        g_object_unref(m_pListener);
    }
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
    g_autoptr(GSocket) socket = g_socket_new(G_SOCKET_FAMILY_UNIX, G_SOCKET_TYPE_STREAM,
                                             G_SOCKET_PROTOCOL_DEFAULT, &error);
    // The client connects with the whole 110-byte address (a zero byte, the
    // name, zero fill), so the name is bound padded to the same length; a
    // shorter abstract address would be a different name.
    g_autoptr(GSocketAddress) address = g_unix_socket_address_new_with_type(
        swu::kOTASocketName, -1, G_UNIX_SOCKET_ADDRESS_ABSTRACT_PADDED);
    if (socket != nullptr && g_socket_bind(socket, address, FALSE, &error) &&
        g_socket_listen(socket, &error)) {
        g_socket_set_blocking(socket, FALSE);
        m_pListener = static_cast<GSocket*>(g_steal_pointer(&socket));
        m_pListenSource = g_socket_create_source(m_pListener, G_IO_IN, nullptr);
        g_source_set_callback(m_pListenSource, G_SOURCE_FUNC(OnIncoming), this,
                              nullptr);
        g_source_attach(m_pListenSource, nullptr);
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

gboolean OtaStreamServer::OnIncoming(GSocket*, GIOCondition, gpointer self)
{
    static_cast<OtaStreamServer*>(self)->Accept();
    return G_SOURCE_CONTINUE;
}

void OtaStreamServer::Accept()
{
    for (;;) {
        g_autoptr(GError) error = nullptr;
        GSocket* accepted = g_socket_accept(m_pListener, nullptr, &error);
        if (accepted == nullptr) {
            if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
                QZ_LOGE(QZ_HL_BEGIN "accept failed: %s" QZ_HL_END, error->message);
                m_journal.Error(std::string("accept failed: ") + error->message);
            }
            return;
        }
        g_socket_set_blocking(accepted, FALSE);
        auto client = std::make_unique<Client>();
        client->server = this;
        client->id = m_nNextClientId++;
        client->socket = accepted;
        client->source =
            g_socket_create_source(accepted, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                   nullptr);
        g_source_set_callback(client->source, G_SOURCE_FUNC(OnClientReadable),
                              client.get(), nullptr);
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
    std::vector<unsigned char> buffer(kReadChunk);
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
    bool planned = m_image.HasPlan();
    if (!planned)
        ++m_nFramesWithoutPlan;
    if (m_bVerbose)
        QZ_LOGI("frame size %d arg4 %d arg5 %d arg1 %d from client %u", frame.nSize, frame.nArg4,
                frame.nArg5, frame.nArg1, client.id);
    m_journal.Write({{"event", "frame"},
                     {"size", frame.nSize},
                     {"arg4", frame.nArg4},
                     {"arg5", frame.nArg5},
                     {"arg1", frame.nArg1},
                     {"payload_len", frame.payload.size()},
                     {"client", client.id},
                     {"planned", planned},
                     {"frames_without_plan", m_nFramesWithoutPlan}});
    client.payloadBytes += static_cast<int64_t>(frame.payload.size());
    bool complete = m_image.Append(frame.payload.data(), frame.payload.size());
    client.imageGeneration = m_image.Generation();
    if (complete)
        FinishImage("complete");
}

void OtaStreamServer::CloseClient(Client& client, const char* reason)
{
    unsigned id = client.id;
    if (size_t pending = client.reader.PendingBytes()) {
        QZ_LOGE(QZ_HL_BEGIN "OTA client %u left in the middle of a frame: %zu bytes dropped" QZ_HL_END,
                id, pending);
        m_journal.Write({{"event", "error"},
                         {"what", "partial frame dropped"},
                         {"client", id},
                         {"bytes", pending}});
    }
    QZ_LOGI("OTA client %u closed (%s) after %lu frames", id, reason, client.frames);
    m_journal.Write({{"event", "ota_client"},
                     {"client", id},
                     {"state", "closed"},
                     {"frames", client.frames},
                     {"payload_bytes", client.payloadBytes}});
    // A sender that leaves with its image unfinished ends that image: what
    // arrived is kept rather than silently merged into the next upload.
    bool ownsUnfinishedImage = client.imageGeneration == m_image.Generation() &&
                               m_image.ReceivedBytes() > 0;
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
