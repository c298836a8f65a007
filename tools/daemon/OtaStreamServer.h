// Listens on the OTA stream socket and turns what clients write into frames
// and an image, all on the main loop so the bus keeps serving meanwhile.
#ifndef QZ_DAEMON_OTA_STREAM_SERVER_H
#define QZ_DAEMON_OTA_STREAM_SERVER_H

#include <gio/gio.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Journal.h"
#include "OtaFrameReader.h"
#include "OtaImage.h"

namespace qz {
namespace daemon {

class OtaStreamServer {
public:
    // Peers other than root and the daemon's own user must belong to
    // allowedGroup (a group name; empty or unknown: nobody else). The
    // journal gets one line per segment (a run of frames with the same
    // first argument), and with journalFrames one per frame as well.
    OtaStreamServer(OtaImage& image, Journal& journal, bool verbose, std::string allowedGroup = "",
                    bool journalFrames = false);
    ~OtaStreamServer();
    OtaStreamServer(const OtaStreamServer&) = delete;
    OtaStreamServer& operator=(const OtaStreamServer&) = delete;

    // Binds and listens; while the name is taken (another daemon still
    // holds it) binding is retried in the background.
    void Start();

private:
    struct Client;
    struct SegmentRun;

    bool TryListen();
    static gboolean OnRetryListen(gpointer self);
    static gboolean OnIncoming(GSocket* socket, GIOCondition condition, gpointer self);
    static gboolean OnResumeAccepting(gpointer self);
    void WatchListener();
    void PauseAccepting(const GError* error);
    bool PeerMayStream(GSocket* accepted, std::string& who) const;
    static gboolean OnClientReadable(GSocket* socket, GIOCondition condition, gpointer client);
    void Accept();
    // False once the client is gone (end of stream or error).
    bool ReadFrom(Client& client);
    bool ReadChunks(Client& client, std::vector<unsigned char>& buffer);
    void HandleFrame(Client& client, const OtaFrame& frame);
    bool ImageOwnedByOther(const Client& client) const;
    bool ReleaseIfOwnerLeft();
    void JournalFrame(const Client& client, const OtaFrame& frame, bool planned);
    void CountInSegment(Client& client, const OtaFrame& frame, bool planned);
    void JournalSegment(Client& client);
    void CloseClient(Client& client, const char* reason);
    void FinishImage(const char* trigger);

    OtaImage& m_image;
    Journal& m_journal;
    bool m_bVerbose;
    bool m_bJournalFrames;
    std::string m_strAllowedGroup;
    GSocket* m_pListener = nullptr;
    GSource* m_pListenSource = nullptr;
    guint m_nRetryTimer = 0;
    guint m_nResumeTimer = 0;
    bool m_bReportedBusy = false;
    bool m_bReportedNoDescriptors = false;
    // The connection whose frames make up the current image (0: none yet),
    // and that image's generation.
    unsigned m_nImageOwner = 0;
    unsigned m_nOwnerGeneration = 0;
    unsigned m_nNextClientId = 1;
    unsigned long m_nFramesWithoutPlan = 0;
    std::map<unsigned, std::unique_ptr<Client>> m_clients;
    // One read buffer for every client: reads happen one at a time.
    std::vector<unsigned char> m_readBuffer;
    bool m_bReadBufferInUse = false;
};

}  // namespace daemon
}  // namespace qz

#endif  // QZ_DAEMON_OTA_STREAM_SERVER_H
