// Listens on the OTA stream socket and turns what clients write into frames
// and an image, all on the main loop so the bus keeps serving meanwhile.
#ifndef QZ_DAEMON_OTA_STREAM_SERVER_H
#define QZ_DAEMON_OTA_STREAM_SERVER_H

#include <gio/gio.h>
#include <sys/socket.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Journal.h"
#include "OtaFrameReader.h"
#include "OtaImage.h"

namespace qz {
namespace daemon {

// Bounds on the stream connections: how many may be open at once, and how
// long one may stay without sending a byte (0: no limit).
struct OtaStreamLimits {
    int maxConnections = 16;
    int idleTimeoutMs = 60000;
};

class OtaStreamServer {
public:
    // Peers other than root and the daemon's own user must belong to
    // allowedGroup (a group name; empty or unknown: nobody else). The
    // journal gets one line per segment (a run of frames with the same
    // first argument), and with journalFrames one per frame as well.
    //
    // Frames enter the image only while a plan is open, and only from the
    // one connection that claims it: the first connection of the planning
    // process (same pid and uid), opened after the plan, to send a frame.
    // Every other frame is dropped, and counted.
    OtaStreamServer(OtaImage& image, Journal& journal, bool verbose, std::string allowedGroup = "",
                    bool journalFrames = false, OtaStreamLimits limits = {});
    ~OtaStreamServer();
    OtaStreamServer(const OtaStreamServer&) = delete;
    OtaStreamServer& operator=(const OtaStreamServer&) = delete;

    // Binds and listens; while the name is taken (another daemon still
    // holds it) binding is retried in the background.
    void Start();

private:
    struct Client;
    struct SegmentRun;
    enum class Verdict { kAccepted, kNoPlan, kNotPlanner, kForeign };

    bool TryListen();
    static gboolean OnRetryListen(gpointer self);
    static gboolean OnIncoming(GSocket* socket, GIOCondition condition, gpointer self);
    static gboolean OnResumeAccepting(gpointer self);
    void WatchListener();
    void PauseAccepting(const GError* error);
    bool PeerMayStream(const ucred& peer) const;
    bool MakeRoomFor(const ucred& peer);
    void RefuseConnection(GSocket* accepted, const std::string& who, const char* reason);
    static gboolean OnClientReadable(GSocket* socket, GIOCondition condition, gpointer client);
    static gboolean OnClientIdle(gpointer client);
    void Accept();
    void AddClient(GSocket* accepted, const ucred& peer);
    void WatchIdle(Client& client);
    // False once the client is gone (end of stream or error).
    bool ReadFrom(Client& client);
    void HandleFrame(Client& client, const OtaFrame& frame);
    Verdict Judge(const Client& client) const;
    bool IsPlanner(const ucred& peer) const;
    bool OwnsCurrentImage(const Client& client) const;
    void NoteDropped(Client& client, Verdict verdict);
    void JournalFrame(const Client& client, const OtaFrame& frame, bool planned, bool accepted);
    void CountInSegment(Client& client, const OtaFrame& frame);
    void JournalSegment(Client& client);
    void CloseClient(Client& client, const char* reason);

    OtaImage& m_image;
    Journal& m_journal;
    bool m_bVerbose;
    bool m_bJournalFrames;
    std::string m_strAllowedGroup;
    OtaStreamLimits m_limits;
    GSocket* m_pListener = nullptr;
    GSource* m_pListenSource = nullptr;
    guint m_nRetryTimer = 0;
    guint m_nResumeTimer = 0;
    bool m_bReportedBusy = false;
    bool m_bReportedNoDescriptors = false;
    bool m_bReportedFull = false;
    // The connection whose frames make up the current image (0: none yet),
    // and that image's generation.
    unsigned m_nImageOwner = 0;
    unsigned m_nOwnerGeneration = 0;
    unsigned m_nNextClientId = 1;
    unsigned long m_nFramesWithoutPlan = 0;
    std::map<unsigned, std::unique_ptr<Client>> m_clients;
    // One read buffer for every client: reads happen one at a time.
    std::vector<unsigned char> m_readBuffer;
};

}  // namespace daemon
}  // namespace qz

#endif  // QZ_DAEMON_OTA_STREAM_SERVER_H
