// Client-private: the link to the upgrade daemon. The names both sides
// agree on are in SWUContract.h. Not installed, not exported.
#ifndef QZ_SWUPGRADE_INTERNAL_H
#define QZ_SWUPGRADE_INTERNAL_H

#include <unistd.h>

#include <string>

#include "QZGDBus.h"
#include "SWUContract.h"
#include "SWUInterfaceData.h"

namespace qz {
namespace swu {

// How much of an exchange the calling operation reports in the log.
enum class Report {
    Nothing,   // the caller draws its own conclusion from the reply
    Result,    // " Result is Success " when the daemon accepted
    Delivery,  // "Failed/Success Sending the Message", then as Result
};

// The daemon's answer to one command.
struct DaemonReply {
    bool sent = false;  // the bus call returned RET_OK
    std::string text;   // the whole reply; empty when not sent
    // "word number" replies only: the leading word and the number after it
    // (0 when there is none).
    std::string word;
    long long number = 0;
    // The daemon said "success": the whole text, or the word of a
    // "word number" reply.
    bool accepted = false;
};

// Sends commands to the daemon on the client's bus endpoint and writes the
// outcome lines on behalf of the public operation that asked.
class DaemonLink {
public:
    // operation: the name the log lines carry (the caller's __func__).
    DaemonLink(CQZGDBus* bus, const char* operation) : m_pBus(bus), m_szOperation(operation) {}

    // A command without data bytes.
    DaemonReply Send(int command, Report report);
    // A command whose payload is one packed record.
    DaemonReply Send(int command, const SWUDataContainer& record, Report report);
    // A "word number" query. Logs " Return value = %s" once the call went
    // through; the caller logs what it read, then calls ReportResult.
    DaemonReply Query(int command);

    // Writes " Result is Success " when the reply was accepted; returns
    // whether it was.
    bool ReportResult(const DaemonReply& reply) const;

private:
    DaemonReply Exchange(int command) const;  // with the empty array
    DaemonReply Exchange(int command, const void* data, int length) const;
    void WriteOutcome(const DaemonReply& reply, Report report) const;

    CQZGDBus* m_pBus;
    const char* m_szOperation;
};

// Records how a call to the daemon ended, for qz_swu_last_call_status():
// haveEndpoint false when there was no endpoint to call through, else the
// endpoint's result (a failure is told apart by the error it noted).
void NoteCallOutcome(bool haveEndpoint, CQZGDBus::enRetValue ret);

// A "word number" number narrowed to int the way reading an int from the
// text would: values out of range stop at the nearest limit.
int NarrowToInt(long long number);

// Closes the OTA stream socket, if one is open, and marks it finished (-1).
// Only the stream client ever stores a positive descriptor there (the
// initial 0 is not ours), so any positive one is ours to close.
inline void CloseOTAStream(int& socketFd)
{
    if (socketFd > 0)
        close(socketFd);
    socketFd = -1;
}

}  // namespace swu
}  // namespace qz

#endif  // QZ_SWUPGRADE_INTERNAL_H
