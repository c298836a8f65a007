// Listens on the OTA stream socket and turns what clients write into frames
// and an image, all on the main loop so the bus keeps serving meanwhile.
#ifndef QZ_DAEMON_OTA_STREAM_SERVER_H
#define QZ_DAEMON_OTA_STREAM_SERVER_H

#include <gio/gio.h>

#include <map>
#include <memory>

#include "Journal.h"
#include "OtaFrameReader.h"
#include "OtaImage.h"

namespace qz {
namespace daemon {

class OtaStreamServer {
public:
    OtaStreamServer(OtaImage& image, Journal& journal, bool verbose);
    ~OtaStreamServer();
    OtaStreamServer(const OtaStreamServer&) = delete;
    OtaStreamServer& operator=(const OtaStreamServer&) = delete;

    // Binds and listens; while the name is taken (another daemon still
    // holds it) binding is retried in the background.
    void Start();

private:
    struct Client;

    bool TryListen();
    static gboolean OnRetryListen(gpointer self);
    static gboolean OnIncoming(GSocket* socket, GIOCondition condition, gpointer self);
    static gboolean OnClientReadable(GSocket* socket, GIOCondition condition, gpointer client);
    void Accept();
    // False once the client is gone (end of stream or error).
    bool ReadFrom(Client& client);
    void HandleFrame(Client& client, const OtaFrame& frame);
    void CloseClient(Client& client, const char* reason);
    void FinishImage(const char* trigger);

    OtaImage& m_image;
    Journal& m_journal;
    bool m_bVerbose;
    GSocket* m_pListener = nullptr;
    GSource* m_pListenSource = nullptr;
    guint m_nRetryTimer = 0;
    bool m_bReportedBusy = false;
    unsigned m_nNextClientId = 1;
    unsigned long m_nFramesWithoutPlan = 0;
    std::map<unsigned, std::unique_ptr<Client>> m_clients;
};

}  // namespace daemon
}  // namespace qz

#endif  // QZ_DAEMON_OTA_STREAM_SERVER_H
