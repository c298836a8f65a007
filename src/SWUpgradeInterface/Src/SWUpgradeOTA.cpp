// OTA upload: the segment plan announced to the daemon, and the stream
// client that carries the image to the daemon's socket in fixed frames.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <boost/chrono/duration.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/thread.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

#include "QzLog.h"
#include "SWUpgradeInterface.h"
#include "SWUpgradeInternal.h"

namespace {

using qz::swu::kOTAFrameSize;
using qz::swu::kOTAHeaderSize;
using qz::swu::kOTAMaxPayload;

// Both pauses below are relative sleeps on the monotonic clock and are not
// interruption points: a caller's thread interrupt must not throw out of
// the library.
// The daemon gets ready for the image once it has accepted the plan; the
// caller's first frame must not arrive before that.
constexpr boost::chrono::microseconds kPlanSettleTime(2000000);
// A short breather after a failed connect keeps a caller that streams in a
// tight loop from hammering a daemon that is not listening yet.
constexpr boost::chrono::microseconds kConnectRetryPause(10000);

#ifndef QZ_SWU_DAEMON_USER
#define QZ_SWU_DAEMON_USER "qz-swu"
#endif

using Clock = std::chrono::steady_clock;

// How long one frame (its connection included) may take before it counts as
// failed: a daemon that stops reading must not hold the caller, nor, through
// the mutex, every other writer, for ever. QZ_SWU_OTA_WRITE_TIMEOUT_MS
// shortens it for tests.
std::chrono::milliseconds WriteBound()
{
    static const std::chrono::milliseconds bound = [] {
        const char* text = std::getenv("QZ_SWU_OTA_WRITE_TIMEOUT_MS");
        const long value = text ? std::strtol(text, nullptr, 10) : 0;
        return std::chrono::milliseconds(value > 0 ? value : 30000);
    }();
    return bound;
}

// The plan total and the sent count are 32-bit by contract; add to them
// modulo 2^32 so that an out-of-range plan wraps instead of being undefined.
void AddWrapping(int32_t& total, int32_t amount)
{
    total = static_cast<int32_t>(static_cast<uint32_t>(total) + static_cast<uint32_t>(amount));
}

void PutBigEndian32(unsigned char* out, int32_t value)
{
    const uint32_t networkOrder = htonl(static_cast<uint32_t>(value));
    std::memcpy(out, &networkOrder, sizeof networkOrder);
}

// Header order is the daemon's: length first, the caller's first argument last.
void BuildFrame(unsigned char (&frame)[kOTAFrameSize], int nArg1, const void* pData, int nSize,
                int nArg4, int nArg5)
{
    PutBigEndian32(frame + 0, nSize);
    PutBigEndian32(frame + 4, nArg4);
    PutBigEndian32(frame + 8, nArg5);
    PutBigEndian32(frame + 12, nArg1);
    // Each payload byte is written once: copied (none for a negative size;
    // pData is never null here), or zeroed after the payload.
    const size_t payload = static_cast<size_t>(std::max(nSize, 0));
    std::memcpy(frame + kOTAHeaderSize, pData, payload);
    std::memset(frame + kOTAHeaderSize + payload, 0, sizeof frame - kOTAHeaderSize - payload);
}

// Waits, at most until the deadline, for the socket to take more bytes;
// false once the deadline has passed. What poll reports does not matter:
// the next send tells whether there is room, and a poll cut short by a
// signal or the deadline only brings that send forward.
bool WaitWritable(int fd, Clock::time_point deadline)
{
    const Clock::time_point now = Clock::now();
    if (now >= deadline)
        return false;
    pollfd writable{fd, POLLOUT, 0};
    poll(&writable, 1,
         static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
    return true;
}

// Writes the buffer from `done` on before the deadline, resuming after short
// writes. Returns the length on success, or -1 (error or deadline) or 0
// (closed peer). MSG_NOSIGNAL: a daemon that went away must cost us a write
// error, not the application's life; the process-wide SIGPIPE disposition
// is not ours.
ssize_t SendAllBefore(int fd, const unsigned char* data, size_t length, size_t done,
                      Clock::time_point deadline)
{
    while (done < length) {
        const ssize_t n = send(fd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return 0;
        const bool mayGoOn = errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
        if (!mayGoOn || !WaitWritable(fd, deadline))
            return -1;
    }
    return static_cast<ssize_t>(length);
}

// A frame of a running stream. The first attempt blocks, as a plain write
// loop does: when the reader is behind, a non-blocking send finds the buffer
// full on nearly every frame and costs a poll and a second send, and the
// clock is read only when that attempt falls short. The socket's send
// time-out (half the bound, see SetRunningSendTimeout) ends the blocking
// attempt; whatever it leaves, after a time-out or a signal, gets the other
// half, so a frame still takes at most the bound. (A failed send fails again
// at once there: an error costs one more call, the fast path no test.)
ssize_t SendFrameOfRunningStream(int fd, const unsigned char* data, size_t length)
{
    const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(length) || n == 0)
        return n;
    const size_t done = n > 0 ? static_cast<size_t>(n) : 0;
    return SendAllBefore(fd, data, length, done, Clock::now() + WriteBound() / 2);
}

// Room for one account entry as getpw*_r fill it.
struct AccountEntry {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> text = std::vector<char>(4096);
};

// The daemon's account, looked up when a stream starts (it may be created
// after the library was built); -1 when there is no such user.
uid_t DaemonUid()
{
    AccountEntry account;
    if (getpwnam_r(QZ_SWU_DAEMON_USER, &account.entry, account.text.data(), account.text.size(),
                   &account.found) != 0 ||
        account.found == nullptr)
        return static_cast<uid_t>(-1);
    return account.found->pw_uid;
}

std::string DescribeUser(uid_t uid)
{
    AccountEntry account;
    if (getpwuid_r(uid, &account.entry, account.text.data(), account.text.size(), &account.found) ==
            0 &&
        account.found != nullptr)
        return std::to_string(uid) + " (" + account.found->pw_name + ")";
    return std::to_string(uid);
}

// Whoever binds the abstract name first receives the image: frames go only
// to a listener running as root, as this process's user or as the daemon's
// user. Logs who held the name when it is someone else.
bool ListenerMayReceive(int fd)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        QZ_LOGE(QZ_HL_BEGIN "cannot read the credentials of @%s: %s" QZ_HL_END,
                qz::swu::kOTASocketName, std::strerror(errno));
        return false;
    }
    if (peer.uid == 0 || peer.uid == geteuid() || peer.uid == DaemonUid())
        return true;
    QZ_LOGE(QZ_HL_BEGIN
            "@%s is held by uid %s, pid %d, not by the upgrade daemon: nothing sent" QZ_HL_END,
            qz::swu::kOTASocketName, DescribeUser(peer.uid).c_str(), static_cast<int>(peer.pid));
    return false;
}

void SetSendTimeout(int fd, std::chrono::microseconds limit)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
    timeval timeout{static_cast<time_t>(seconds.count()),
                    static_cast<suseconds_t>((limit - seconds).count())};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// Bounds connect as well: on a full backlog a local stream connect waits,
// for at most the send time-out.
void BoundConnect(int fd) { SetSendTimeout(fd, WriteBound()); }

// Once connected, the send time-out bounds the blocking first attempt of
// each frame to half the bound (never zero, which would mean no limit).
void SetRunningSendTimeout(int fd)
{
    SetSendTimeout(fd, std::chrono::duration_cast<std::chrono::microseconds>(WriteBound()) / 2);
}

// Descriptor 0 is what the object holds before its first stream, and what
// it never writes to or closes; with standard input closed the socket would
// get it, so it is moved up.
int OpenStreamSocket()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == 0) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        fd = moved;
    }
    return fd;
}

// The name leaves path byte 0 (the abstract namespace's mark) and at least
// one zero byte after it.
static_assert(std::char_traits<char>::length(qz::swu::kOTASocketName) <=
                  sizeof(sockaddr_un::sun_path) - 2,
              "the OTA socket name must fit the socket address");

void FillStreamAddress(sockaddr_un& address)
{
    // Abstract name: path byte 0 stays zero, and the zero fill after the name
    // is part of the address because connect is given the full length.
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, qz::swu::kOTASocketName,
                std::strlen(qz::swu::kOTASocketName));
}

}  // namespace

bool SWUpgradeInterface::startOTAUpgrade(std::map<int, int> segments)
{
    if (segments.empty()) {
        QZ_LOGE(QZ_HL_BEGIN "segments can not be empty!. Can not start OTA." QZ_HL_END);
        return false;
    }

    reset();
    m_mapSegments = std::move(segments);
    for (const auto& [segment, size] : m_mapSegments) {
        AddWrapping(otaTotalSize_, size);
        QZ_LOGI("each segment size : [%d/%zu]:[%d]\n", segment, m_mapSegments.size(), size);
    }
    QZ_LOGE(QZ_HL_BEGIN "otaTotalSize_ :(%d)" QZ_HL_END, otaTotalSize_);

    stSWUpgradeInfo request;
    request.szSoftwareID = segmentsInfoToString();
    request.lTotalBytes = static_cast<uint32_t>(otaTotalSize_);
    request.nProductType = SWU_PROCESS_OTA;  // the rest stays as a new request has it

    const bool accepted = SoftwareUpdate(&request);
    if (accepted) {
        m_bOTAActive = true;
        QZ_LOGE(QZ_HL_BEGIN "OTA download will be started." QZ_HL_END);
        boost::this_thread::no_interruption_point::sleep_for(kPlanSettleTime);
    }
    return accepted;
}

bool SWUpgradeInterface::stopOTAUpgrade()
{
    reset();
    m_bOTAActive = false;
    return true;
}

void SWUpgradeInterface::reset()
{
    otaTotalSize_ = 0;
    m_nOTASentSize = 0;
    m_mapSegments.clear();
}

std::string SWUpgradeInterface::segmentsInfoToString()
{
    // The daemon parses this text: no digit grouping whatever the
    // application's global locale says.
    std::ostringstream text;
    text.imbue(std::locale::classic());
    for (const auto& [segment, size] : m_mapSegments)
        text << segment << ' ' << size << ';';
    return text.str();
}

void SWUpgradeInterface::startClient()
{
    qz::swu::CloseOTAStream(m_nSocketFd);
    m_nSocketFd = OpenStreamSocket();
    if (m_nSocketFd == -1) {
        QZ_LOGE(QZ_HL_BEGIN "socket error" QZ_HL_END);
        return;
    }

    BoundConnect(m_nSocketFd);
    FillStreamAddress(m_stSocketAddr);
    if (connect(m_nSocketFd, reinterpret_cast<const sockaddr*>(&m_stSocketAddr),
                sizeof m_stSocketAddr) != 0) {
        QZ_LOGE(QZ_HL_BEGIN "connect error" QZ_HL_END);
    } else if (ListenerMayReceive(m_nSocketFd)) {
        SetRunningSendTimeout(m_nSocketFd);
        QZ_LOGE(QZ_HL_BEGIN "Success to start client." QZ_HL_END);
        return;
    }
    // Not connected, or to the wrong listener: the frame of this call fails
    // on the closed descriptor, and the next call tries again.
    qz::swu::CloseOTAStream(m_nSocketFd);
    boost::this_thread::no_interruption_point::sleep_for(kConnectRetryPause);
}

bool SWUpgradeInterface::downloadOTAdata(int nArg1, void* pData, int nSize, int nArg4, int nArg5)
{
    // A frame holds at most kOTAMaxPayload bytes; a larger piece is refused
    // whole rather than cut, so nothing is ever copied past the frame.
    if (nSize == 0 || pData == nullptr || nSize > kOTAMaxPayload) {
        QZ_LOGE(QZ_HL_BEGIN "download information is wrong. Can not download this data." QZ_HL_END);
        return !m_bStreamFailed;
    }

    // Locked before the connection step: two threads making the first call
    // together must share one connection, not open one each. The frame that
    // connects shares one deadline with the connection; every other frame is
    // bounded by SendFrameOfRunningStream. Either way the lock is held no
    // longer than the bound.
    boost::lock_guard<boost::mutex> lock(m_Mutex);
    const bool connecting = m_nOTASentSize == 0;
    const Clock::time_point deadline =
        connecting ? Clock::now() + WriteBound() : Clock::time_point();
    if (connecting)
        startClient();

    unsigned char frame[kOTAFrameSize];
    BuildFrame(frame, nArg1, pData, nSize, nArg4, nArg5);

    // A finished stream (-1) fails at once, without touching any socket.
    ssize_t written = -1;
    if (m_nSocketFd > 0)
        written = connecting ? SendAllBefore(m_nSocketFd, frame, sizeof frame, 0, deadline)
                             : SendFrameOfRunningStream(m_nSocketFd, frame, sizeof frame);
    if (written == static_cast<ssize_t>(sizeof frame)) {
        AddWrapping(m_nOTASentSize, nSize);
        return !m_bStreamFailed;
    }
    if (written < 0) {
        QZ_LOGE(QZ_HL_BEGIN "write error" QZ_HL_END);
        QZ_LOGE(QZ_HL_BEGIN "write error:%d" QZ_HL_END, static_cast<int>(written));
    } else {
        QZ_LOGE(QZ_HL_BEGIN "EOF\n" QZ_HL_END);
        QZ_LOGE(QZ_HL_BEGIN "write error:%d" QZ_HL_END, static_cast<int>(written));
    }
    // Part of the frame may have gone out: the stream is out of step with
    // the daemon's frame boundaries and is finished until the next plan.
    qz::swu::CloseOTAStream(m_nSocketFd);
    return !m_bStreamFailed;
}
