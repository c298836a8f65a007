// The OTA stream client against system calls that answer the way a loaded
// or unusual system may: short and zero-byte sends, interrupted and full
// sends, credentials that cannot be read and accounts other than root.
// The calls are faked for the OTA socket alone, by definitions in this
// executable that take the library's calls before the C library does.
#include <dlfcn.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "SWUpgradeInterface.h"
#include "TestCommon.h"

namespace {

// What the faked calls do, each counter counting down per call.
struct Faults {
    std::atomic<int> oneByteSends{0};  // sends that move one byte only
    std::atomic<int> emptySends{0};    // sends that report 0 and move nothing
    std::atomic<int> failedSends{0};   // sends that fail with sendErrno
    int sendErrno = 0;
    std::atomic<int> failedPolls{0};  // polls interrupted by a signal
    bool credentialsFail = false;
    std::optional<uid_t> peerUid;    // who the listener appears to run as
    std::optional<uid_t> daemonUid;  // the daemon account, nullopt: none
    std::optional<uid_t> ownUid;     // who this process appears to run as
};
Faults g_faults;
std::atomic<bool> g_faking{false};

template <typename Function>
Function* Real(const char* name)
{
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

bool TakeOne(std::atomic<int>& counter)
{
    int left = counter.load();
    while (left > 0 && !counter.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}

// Leaves errno as it was: the callers' callers may read it.
bool IsOtaStream(int fd)
{
    sockaddr_un peer{};
    socklen_t length = sizeof peer;
    const int savedErrno = errno;
    const bool named =
        g_faking && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
    errno = savedErrno;
    if (!named)
        return false;
    const size_t nameLength = std::strlen(swu::kOTASocketName);
    return peer.sun_family == AF_UNIX && peer.sun_path[0] == '\0' &&
           std::memcmp(peer.sun_path + 1, swu::kOTASocketName, nameLength) == 0;
}

}  // namespace

#define QZ_FAKE extern "C" __attribute__((visibility("default")))

QZ_FAKE ssize_t send(int fd, const void* data, size_t length, int flags)
{
    static auto* real = Real<ssize_t(int, const void*, size_t, int)>("send");
    if (IsOtaStream(fd)) {
        if (TakeOne(g_faults.emptySends))
            return 0;
        if (TakeOne(g_faults.failedSends)) {
            errno = g_faults.sendErrno;
            return -1;
        }
        if (length > 1 && TakeOne(g_faults.oneByteSends))
            length = 1;
    }
    return real(fd, data, length, flags);
}

QZ_FAKE int poll(pollfd* fds, nfds_t count, int timeout)
{
    static auto* real = Real<int(pollfd*, nfds_t, int)>("poll");
    if (count == 1 && IsOtaStream(fds[0].fd) && TakeOne(g_faults.failedPolls)) {
        errno = EINTR;
        return -1;
    }
    return real(fds, count, timeout);
}

QZ_FAKE int getsockopt(int fd, int level, int name, void* value, socklen_t* length)
{
    static auto* real = Real<int(int, int, int, void*, socklen_t*)>("getsockopt");
    const int result = real(fd, level, name, value, length);
    if (level != SOL_SOCKET || name != SO_PEERCRED || !IsOtaStream(fd))
        return result;
    if (g_faults.credentialsFail) {
        errno = EINVAL;
        return -1;
    }
    if (g_faults.peerUid)
        static_cast<ucred*>(value)->uid = *g_faults.peerUid;
    return result;
}

QZ_FAKE int getpwnam_r(const char* name, passwd* entry, char* text, size_t size, passwd** found)
{
    static auto* real = Real<int(const char*, passwd*, char*, size_t, passwd**)>("getpwnam_r");
    if (!g_faking || std::strcmp(name, "qz-swu") != 0)
        return real(name, entry, text, size, found);
    *found = nullptr;
    if (!g_faults.daemonUid)
        return 0;
    *entry = passwd{};
    entry->pw_uid = *g_faults.daemonUid;
    *found = entry;
    return 0;
}

QZ_FAKE uid_t geteuid()
{
    static auto* real = Real<uid_t()>("geteuid");
    return g_faking && g_faults.ownUid ? *g_faults.ownUid : real();
}

namespace {

struct StreamClient : SWUpgradeInterface {
    bool Send(const Bytes& data)
    {
        return downloadOTAdata(7, const_cast<unsigned char*>(data.data()),
                               static_cast<int>(data.size()), 0, 0);
    }
    int32_t SentSize() const { return m_nOTASentSize; }
};

// The frame the client must put on the wire for StreamClient::Send.
Bytes FrameOf(const Bytes& payload)
{
    return qztest::OtaFrame(static_cast<int32_t>(payload.size()), 0, 0, 7, payload);
}

class OtaSyscalls : public ::testing::Test {
protected:
    void SetUp() override { g_faking = true; }
    void TearDown() override
    {
        g_faking = false;
        g_faults.oneByteSends = g_faults.emptySends = g_faults.failedSends = 0;
        g_faults.failedPolls = 0;
        g_faults.credentialsFail = false;
        g_faults.peerUid = g_faults.daemonUid = g_faults.ownUid = std::nullopt;
    }
    // Sends a frame of a new stream (the connecting one), then one of the
    // running stream, each after `arm`: both must arrive unchanged.
    template <typename Arm>
    void ExpectWholeFrames(StreamClient& sender, Arm arm)
    {
        const Bytes first(100, 0xA1), second(4080, 0xB2);
        arm();
        EXPECT_TRUE(sender.Send(first));
        ASSERT_TRUE(listener.Accept(5s));
        EXPECT_EQ(listener.Read(swu::kOTAFrameSize), FrameOf(first));
        arm();
        EXPECT_TRUE(sender.Send(second));
        EXPECT_EQ(listener.Read(swu::kOTAFrameSize), FrameOf(second));
        EXPECT_EQ(sender.SentSize(), 4180);
    }

    qztest::LogCapture log;
    qztest::OtaListener listener;
};

TEST_F(OtaSyscalls, ShortOrInterruptedSendsAreResumed)
{
    const struct {
        const char* name;
        int oneByteSends, failedSends, error, polls;
    } cases[] = {
        {"short sends", 3, 0, 0, 0},
        {"interrupted send", 0, 1, EINTR, 0},
        {"full buffer", 0, 1, EAGAIN, 0},
        // Two, so that the running stream's retry after its blocking send polls too.
        {"full buffer, interrupted poll", 0, 2, EAGAIN, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StreamClient fresh;
        ExpectWholeFrames(fresh, [&] {
            EXPECT_EQ(g_faults.oneByteSends + g_faults.failedSends + g_faults.failedPolls, 0)
                << "every fault of the frame before was met";
            g_faults.oneByteSends = c.oneByteSends;
            g_faults.failedSends = c.failedSends;
            g_faults.sendErrno = c.error;
            g_faults.failedPolls = c.polls;
        });
        EXPECT_EQ(g_faults.oneByteSends + g_faults.failedSends + g_faults.failedPolls, 0);
    }
    EXPECT_EQ(log.Count("error"), 0u) << log.Text();
}

// A send that moves nothing ends the stream as end of file, in the
// connecting frame and in a running one alike.
TEST_F(OtaSyscalls, ASendOfNothingEndsTheStreamAsEndOfFile)
{
    for (bool running : {false, true}) {
        SCOPED_TRACE(running ? "running stream" : "connecting frame");
        StreamClient fresh;
        const Bytes payload(10, 0xD4);
        if (running) {
            EXPECT_TRUE(fresh.Send(payload));
            ASSERT_TRUE(listener.Accept(5s));
            EXPECT_EQ(listener.Read(swu::kOTAFrameSize).size(), 4096u);
        }
        log.Clear();
        g_faults.emptySends = 1;
        EXPECT_TRUE(fresh.Send(payload));
        if (!running) {
            ASSERT_TRUE(listener.Accept(5s));
        }
        EXPECT_TRUE(listener.Read(1, 2s).empty()) << "nothing after the failed frame";
        EXPECT_EQ(fresh.SentSize(), running ? 10 : 0);
        EXPECT_TRUE(log.Has('E', "downloadOTAdata", qztest::Hl("EOF\n")));
        EXPECT_TRUE(log.Has('E', "downloadOTAdata", qztest::Hl("write error:0")));
        EXPECT_FALSE(log.Has('E', "downloadOTAdata", qztest::Hl("write error"))) << log.Text();
    }
}

// Frames go to a listener running as root, as this process's user or as
// the daemon's account; to no one else, nor when the credentials cannot
// be read. Root and this process's user stand apart here: the process
// appears to run as 1000.
TEST_F(OtaSyscalls, OnlyTrustedListenersReceiveFrames)
{
    const struct {
        const char* name;
        bool credentialsFail;
        std::optional<uid_t> peer, daemon;
        bool received;
        const char* line;
    } cases[] = {
        {"root", false, 0, std::nullopt, true, "Success to start client."},
        {"this process's user", false, 1000, std::nullopt, true, "Success to start client."},
        {"the daemon's account", false, 4242, 4242, true, "Success to start client."},
        {"another account", false, 4243, 4242, false, "held by uid 4243"},
        {"no daemon account", false, 4242, std::nullopt, false, "held by uid 4242"},
        {"credentials unreadable", true, 0, std::nullopt, false,
         "cannot read the credentials of @otaStream"},
    };
    g_faults.ownUid = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_faults.credentialsFail = c.credentialsFail;
        g_faults.peerUid = c.peer;
        g_faults.daemonUid = c.daemon;
        log.Clear();
        StreamClient fresh;
        EXPECT_TRUE(fresh.Send(Bytes(10, 0xE5)));
        ASSERT_TRUE(listener.Accept(5s));
        EXPECT_EQ(listener.Read(swu::kOTAFrameSize, 2s).size(), c.received ? 4096u : 0u);
        EXPECT_EQ(fresh.SentSize(), c.received ? 10 : 0);
        EXPECT_EQ(log.Count(c.line), 1u) << log.Text();
    }
}

}  // namespace
