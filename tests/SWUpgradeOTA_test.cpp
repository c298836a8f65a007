// OTA upload: the segment plan, and the frames that reach the stream socket,
// seen both by a listener of the test's own and by the reference daemon.
#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstring>
#include <locale>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "SWUInterfaceData.h"
#include "SWUpgradeInterface.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr size_t kFrame = 4096;
constexpr size_t kHeader = 16;
constexpr int kMaxPayload = 4080;

const std::string kHl = "\x1b[1m\x1b[33m";
const std::string kHlEnd = "\x1b[0;m";
std::string Hl(const std::string& body) { return kHl + body + kHlEnd; }

// Opens up the protected OTA state for the assertions.
class OtaClient : public SWUpgradeInterface {
public:
    int32_t SentSize() const { return m_nOTASentSize; }
    int32_t TotalSize() const { return otaTotalSize_; }
    bool Active() const { return m_bOTAActive; }
    int SocketFd() const { return m_nSocketFd; }
    const sockaddr_un& Address() const { return m_stSocketAddr; }
    const std::map<int, int>& Plan() const { return m_mapSegments; }
    void Preset(std::map<int, int> plan, int32_t total, bool active)
    {
        m_mapSegments = std::move(plan);
        otaTotalSize_ = total;
        m_bOTAActive = active;
    }
};

sockaddr_un StreamAddress()
{
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, "otaStream", 9);
    return address;
}

// A stand-in for the daemon's end of the stream: bound to the full 110-byte
// abstract address, it keeps every byte of every accepted connection. With
// closeAfter set it drops each connection once that many bytes arrived.
class StreamListener {
public:
    explicit StreamListener(std::optional<size_t> closeAfter = std::nullopt)
        : m_closeAfter(closeAfter)
    {
        m_listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = StreamAddress();
        // The name is machine-wide; wait out a previous user that is closing.
        const bool bound = qztest::WaitUntil(
            [&] {
                return bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address),
                            sizeof address) == 0;
            },
            20s);
        if (!bound || listen(m_listenFd, 16) != 0 || pipe2(m_stopPipe, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot listen on the OTA stream address");
        m_thread = std::thread([this] { Run(); });
    }

    ~StreamListener()
    {
        const char stop = 'x';
        (void)!write(m_stopPipe[1], &stop, 1);
        m_thread.join();
        for (auto& c : m_conns)
            if (c.fd >= 0)
                close(c.fd);
        close(m_listenFd);
        close(m_stopPipe[0]);
        close(m_stopPipe[1]);
    }

    size_t Connections() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_conns.size();
    }
    Bytes Stream(size_t index) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_conns.at(index).bytes;
    }
    size_t TotalBytes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t total = 0;
        for (const auto& c : m_conns)
            total += c.bytes.size();
        return total;
    }
    size_t OpenConnections() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::count_if(m_conns.begin(), m_conns.end(), [](auto& c) { return c.fd >= 0; });
    }
    bool WaitForBytes(size_t total) const
    {
        return qztest::WaitUntil([&] { return TotalBytes() >= total; }, 10s);
    }

private:
    struct Connection {
        int fd;
        Bytes bytes;
    };

    void Run()
    {
        for (;;) {
            std::vector<pollfd> fds{{m_stopPipe[0], POLLIN, 0}, {m_listenFd, POLLIN, 0}};
            std::vector<size_t> owners;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (size_t i = 0; i < m_conns.size(); ++i)
                    if (m_conns[i].fd >= 0) {
                        fds.push_back({m_conns[i].fd, POLLIN, 0});
                        owners.push_back(i);
                    }
            }
            if (poll(fds.data(), fds.size(), -1) < 0)
                continue;
            if (fds[0].revents)
                return;
            if (fds[1].revents & POLLIN) {
                const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_conns.push_back({fd, {}});
                }
            }
            for (size_t i = 2; i < fds.size(); ++i)
                if (fds[i].revents)
                    Drain(owners[i - 2]);
        }
    }

    void Drain(size_t index)
    {
        unsigned char buffer[8192];
        std::lock_guard<std::mutex> lock(m_mutex);
        Connection& c = m_conns[index];
        size_t want = sizeof buffer;
        if (m_closeAfter)
            want = std::min(want, *m_closeAfter - c.bytes.size());
        const ssize_t n = read(c.fd, buffer, want);
        if (n > 0)
            c.bytes.insert(c.bytes.end(), buffer, buffer + n);
        if (n <= 0 || (m_closeAfter && c.bytes.size() >= *m_closeAfter)) {
            close(c.fd);
            c.fd = -1;
        }
    }

    std::optional<size_t> m_closeAfter;
    int m_listenFd = -1;
    int m_stopPipe[2] = {-1, -1};
    mutable std::mutex m_mutex;
    std::vector<Connection> m_conns;
    std::thread m_thread;
};

struct Frame {
    int32_t size;
    int32_t arg4;
    int32_t arg5;
    int32_t arg1;
    Bytes payloadArea;  // all 4080 bytes after the header
};

int32_t BigEndian32(const unsigned char* p)
{
    return static_cast<int32_t>((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
                                (uint32_t(p[2]) << 8) | uint32_t(p[3]));
}

std::vector<Frame> SplitFrames(const Bytes& stream)
{
    EXPECT_EQ(stream.size() % kFrame, 0u) << "stream holds a partial frame";
    std::vector<Frame> frames;
    for (size_t at = 0; at + kFrame <= stream.size(); at += kFrame) {
        const unsigned char* f = stream.data() + at;
        frames.push_back({BigEndian32(f), BigEndian32(f + 4), BigEndian32(f + 8),
                          BigEndian32(f + 12), Bytes(f + kHeader, f + kFrame)});
    }
    return frames;
}

Bytes Pattern(size_t length, unsigned seed)
{
    Bytes data(length);
    std::mt19937 gen(seed);
    for (auto& b : data)
        b = static_cast<unsigned char>(gen());
    return data;
}

bool AllZero(const Bytes& data, size_t from)
{
    return std::all_of(data.begin() + from, data.end(), [](unsigned char b) { return b == 0; });
}

size_t OpenDescriptors()
{
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

// ------------------------------------------------------------------ the plan

class OtaPlan : public ::testing::Test {
protected:
    qztest::LogCapture log;
    OtaClient client;
};

TEST_F(OtaPlan, EmptyPlanIsRefusedAndChangesNothing)
{
    client.Preset({{4, 40}}, 40, true);

    EXPECT_FALSE(client.startOTAUpgrade({}));

    EXPECT_TRUE(log.Has('E', "startOTAUpgrade",
                        Hl("segments can not be empty!. Can not start OTA.")));
    EXPECT_EQ(client.Plan(), (std::map<int, int>{{4, 40}}));
    EXPECT_EQ(client.TotalSize(), 40);
    EXPECT_TRUE(client.Active());
    EXPECT_EQ(log.Count("SWUpgradeInterface::SWUpdate"), 0u) << "nothing may be submitted";
}

TEST_F(OtaPlan, TextListsEntriesInAscendingKeyOrder)
{
    client.Preset({{10, 5}, {2, 7}}, 0, false);
    EXPECT_EQ(client.segmentsInfoToString(), "2 7;10 5;");

    client.Preset({{5, 1}, {-3, -2}, {0, 0}}, 0, false);
    EXPECT_EQ(client.segmentsInfoToString(), "-3 -2;0 0;5 1;");

    client.Preset({}, 0, false);
    EXPECT_EQ(client.segmentsInfoToString(), "");
}

// A locale that groups digits in threes, as some applications install.
struct GroupingPunct : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

TEST_F(OtaPlan, TextIgnoresTheApplicationsGlobalLocale)
{
    const std::locale saved =
        std::locale::global(std::locale(std::locale::classic(), new GroupingPunct));
    client.Preset({{1, 4096}, {1000000, 123456}}, 0, false);
    const std::string text = client.segmentsInfoToString();
    std::locale::global(saved);

    EXPECT_EQ(text, "1 4096;1000000 123456;");
}

TEST_F(OtaPlan, StopForgetsThePlanAndResetKeepsTheActiveFlag)
{
    client.Preset({{1, 4096}, {2, 100}}, 4196, true);
    client.reset();
    EXPECT_EQ(client.segmentsInfoToString(), "");
    EXPECT_EQ(client.TotalSize(), 0);
    EXPECT_EQ(client.SentSize(), 0);
    EXPECT_TRUE(client.Active());

    client.Preset({{1, 4096}}, 4096, true);
    EXPECT_TRUE(client.stopOTAUpgrade());
    EXPECT_EQ(client.segmentsInfoToString(), "");
    EXPECT_EQ(client.TotalSize(), 0);
    EXPECT_FALSE(client.Active());
}

// ------------------------------------------------- frames, own listener

class OtaStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A plain write to a closed peer would kill us: make sure the default
        // disposition is in force so that such a fault cannot hide.
        signal(SIGPIPE, SIG_DFL);
    }

    qztest::LogCapture log;
    OtaClient client;
};

TEST_F(OtaStream, HeaderIsBigEndianWithTheLengthFirstAndTheFirstArgumentLast)
{
    StreamListener listener;
    unsigned char payload[3] = {0xAA, 0xBB, 0xCC};

    EXPECT_TRUE(client.downloadOTAdata(258, payload, 3, 0x01020304, -2));

    ASSERT_TRUE(listener.WaitForBytes(kFrame));
    const Bytes stream = listener.Stream(0);
    ASSERT_EQ(stream.size(), kFrame);
    EXPECT_EQ(qztest::Hex(stream.data(), 16), "00000003" "01020304" "fffffffe" "00000102");
    EXPECT_EQ(qztest::Hex(stream.data() + 16, 3), "aabbcc");
    EXPECT_TRUE(AllZero(stream, kHeader + 3));
    EXPECT_EQ(client.SentSize(), 3);
    EXPECT_TRUE(log.Has('E', "startClient", Hl("Success to start client.")));
}

TEST_F(OtaStream, EveryPayloadTravelsInOneWholeFrame)
{
    StreamListener listener;
    const Bytes one = Pattern(1, 1);
    const Bytes full = Pattern(kMaxPayload, 2);

    EXPECT_TRUE(client.downloadOTAdata(1, const_cast<unsigned char*>(one.data()), 1, 0, 0));
    EXPECT_TRUE(client.downloadOTAdata(2, const_cast<unsigned char*>(full.data()), kMaxPayload,
                                       0, 0));

    ASSERT_TRUE(listener.WaitForBytes(2 * kFrame));
    ASSERT_EQ(listener.Connections(), 1u) << "later frames reuse the first connection";
    const auto frames = SplitFrames(listener.Stream(0));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].size, 1);
    EXPECT_EQ(frames[0].payloadArea[0], one[0]);
    EXPECT_TRUE(AllZero(frames[0].payloadArea, 1));
    EXPECT_EQ(frames[1].size, kMaxPayload);
    EXPECT_EQ(frames[1].payloadArea, full);
    EXPECT_EQ(client.SentSize(), 1 + kMaxPayload) << "payload bytes are counted, not frames";
}

TEST_F(OtaStream, NegativeSizeIsSentAsALengthWithoutPayload)
{
    StreamListener listener;
    Bytes data = Pattern(16, 3);

    EXPECT_TRUE(client.downloadOTAdata(1, data.data(), 10, 0, 0));
    EXPECT_TRUE(client.downloadOTAdata(2, data.data(), -4, 7, 8));

    ASSERT_TRUE(listener.WaitForBytes(2 * kFrame));
    const auto frames = SplitFrames(listener.Stream(0));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].size, -4);
    EXPECT_EQ(frames[1].arg1, 2);
    EXPECT_EQ(frames[1].arg4, 7);
    EXPECT_EQ(frames[1].arg5, 8);
    EXPECT_TRUE(AllZero(frames[1].payloadArea, 0));
    EXPECT_EQ(client.SentSize(), 6);
}

TEST_F(OtaStream, InvalidPiecesAreRefusedWithoutConnecting)
{
    StreamListener listener;
    Bytes big(kMaxPayload + 1, 0x55);

    EXPECT_TRUE(client.downloadOTAdata(1, big.data(), 0, 0, 0));
    EXPECT_TRUE(client.downloadOTAdata(1, nullptr, 10, 0, 0));
    EXPECT_TRUE(client.downloadOTAdata(1, big.data(), kMaxPayload + 1, 0, 0));

    EXPECT_EQ(log.Find("downloadOTAdata",
                       Hl("download information is wrong. Can not download this data."))
                  .size(),
              3u);
    EXPECT_EQ(log.Count("start client"), 0u);
    EXPECT_EQ(log.Count("connect error"), 0u);
    EXPECT_EQ(client.SentSize(), 0);
    EXPECT_EQ(listener.Connections(), 0u);
}

TEST_F(OtaStream, ResetStartsANewConnectionAndANewCount)
{
    StreamListener listener;
    Bytes data = Pattern(100, 4);

    client.downloadOTAdata(1, data.data(), 100, 0, 0);
    client.downloadOTAdata(2, data.data(), 50, 0, 0);
    ASSERT_TRUE(listener.WaitForBytes(2 * kFrame));
    EXPECT_EQ(client.SentSize(), 150);

    client.reset();
    client.downloadOTAdata(3, data.data(), 20, 0, 0);

    ASSERT_TRUE(listener.WaitForBytes(3 * kFrame));
    ASSERT_EQ(listener.Connections(), 2u);
    EXPECT_EQ(listener.Stream(0).size(), 2 * kFrame);
    EXPECT_EQ(SplitFrames(listener.Stream(1)).at(0).arg1, 3);
    EXPECT_EQ(client.SentSize(), 20);
}

TEST_F(OtaStream, ConnectsToTheFullLengthAbstractAddress)
{
    StreamListener listener;
    unsigned char byte = 1;
    client.downloadOTAdata(1, &byte, 1, 0, 0);

    const sockaddr_un expected = StreamAddress();
    static_assert(sizeof expected == 110, "the address is 110 bytes on this platform");
    EXPECT_EQ(qztest::Hex(&client.Address(), sizeof expected),
              qztest::Hex(&expected, sizeof expected));
}

TEST_F(OtaStream, WithoutAListenerEveryCallRetriesAndReturnsTrue)
{
    unsigned char byte = 9;
    const auto start = Clock::now();
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(client.downloadOTAdata(1, &byte, 1, 0, 0));
    const auto elapsed = Clock::now() - start;

    EXPECT_EQ(log.Find("startClient", Hl("connect error")).size(), 3u);
    EXPECT_EQ(log.Find("downloadOTAdata", Hl("write error")).size(), 3u);
    EXPECT_EQ(log.Find("downloadOTAdata", Hl("write error:-1")).size(), 3u);
    EXPECT_TRUE(log.Has('E', "startClient", Hl("connect error")));
    EXPECT_EQ(client.SentSize(), 0) << "failed frames are not counted";
    EXPECT_GE(elapsed, 3 * 9ms) << "each failed connect pauses about 10 ms";

    // The next call tries again, and now gets through.
    StreamListener listener;
    EXPECT_TRUE(client.downloadOTAdata(1, &byte, 1, 0, 0));
    ASSERT_TRUE(listener.WaitForBytes(kFrame));
    EXPECT_EQ(client.SentSize(), 1);
}

TEST_F(OtaStream, PeerClosingMidStreamCostsWriteErrorsOnly)
{
    StreamListener listener(kFrame);  // drops every connection after one frame
    Bytes data = Pattern(64, 5);

    EXPECT_TRUE(client.downloadOTAdata(1, data.data(), 64, 0, 0));
    ASSERT_TRUE(qztest::WaitUntil([&] {
        return listener.Connections() == 1 && listener.OpenConnections() == 0;
    }));

    EXPECT_TRUE(client.downloadOTAdata(2, data.data(), 64, 0, 0));
    EXPECT_TRUE(client.downloadOTAdata(3, data.data(), 64, 0, 0));

    EXPECT_EQ(log.Find("downloadOTAdata", Hl("write error")).size(), 2u);
    EXPECT_EQ(log.Find("downloadOTAdata", Hl("write error:-1")).size(), 2u);
    EXPECT_EQ(client.SentSize(), 64) << "dropped frames are not counted";
    EXPECT_EQ(listener.Connections(), 1u) << "a broken stream is not reopened before reset";

    client.reset();
    EXPECT_TRUE(client.downloadOTAdata(4, data.data(), 64, 0, 0));
    ASSERT_TRUE(listener.WaitForBytes(2 * kFrame));
    EXPECT_EQ(listener.Connections(), 2u);
    EXPECT_EQ(client.SentSize(), 64);
}

TEST_F(OtaStream, ConcurrentWritersNeverInterleaveAndShareOneConnection)
{
    StreamListener listener;
    constexpr int kThreads = 8;
    constexpr int kFramesEach = 40;
    std::atomic<int64_t> expectedTotal{0};
    std::atomic<bool> go{false};

    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int seq = 0; seq < kFramesEach; ++seq) {
                const int size = 1 + (t * 997 + seq * 131) % kMaxPayload;
                Bytes data(size, static_cast<unsigned char>(t + 1));
                client.downloadOTAdata(seq, data.data(), size, t, size);
                expectedTotal += size;
            }
        });
    }
    go = true;
    for (auto& w : writers)
        w.join();

    ASSERT_TRUE(listener.WaitForBytes(kThreads * kFramesEach * kFrame));
    ASSERT_EQ(listener.Connections(), 1u) << "the first calls raced into two connections";
    const auto frames = SplitFrames(listener.Stream(0));
    ASSERT_EQ(frames.size(), static_cast<size_t>(kThreads * kFramesEach));

    std::vector<int> nextSeq(kThreads, 0);
    int64_t total = 0;
    for (const auto& f : frames) {
        ASSERT_GE(f.arg4, 0);
        ASSERT_LT(f.arg4, kThreads);
        ASSERT_EQ(f.size, f.arg5);
        EXPECT_EQ(f.arg1, nextSeq[f.arg4]++) << "frames of one writer arrive in its order";
        const auto payloadEnd = f.payloadArea.begin() + f.size;
        EXPECT_TRUE(std::all_of(f.payloadArea.begin(), payloadEnd,
                                [&](unsigned char b) { return b == f.arg4 + 1; }))
            << "payload mixed with another writer's";
        EXPECT_TRUE(AllZero(f.payloadArea, f.size));
        total += f.size;
    }
    EXPECT_EQ(total, expectedTotal.load());
    EXPECT_EQ(client.SentSize(), expectedTotal.load());
}

TEST_F(OtaStream, ManySessionsLeakNoDescriptors)
{
    unsigned char byte = 1;
    // Failed connects: each call opens a socket that the next one replaces.
    client.downloadOTAdata(1, &byte, 1, 0, 0);
    const size_t afterFirstFailure = OpenDescriptors();
    for (int i = 0; i < 30; ++i)
        client.downloadOTAdata(1, &byte, 1, 0, 0);
    EXPECT_EQ(OpenDescriptors(), afterFirstFailure);

    // Whole sessions: reset, then stream on a fresh connection.
    StreamListener listener;
    client.reset();
    client.downloadOTAdata(1, &byte, 1, 0, 0);
    ASSERT_TRUE(listener.WaitForBytes(kFrame));
    const size_t inSession = OpenDescriptors();
    for (int i = 0; i < 30; ++i) {
        client.reset();
        client.downloadOTAdata(1, &byte, 1, 0, 0);
    }
    ASSERT_TRUE(listener.WaitForBytes(31 * kFrame));
    // The listener closes its end when ours is closed.
    EXPECT_TRUE(qztest::WaitUntil([&] { return listener.OpenConnections() == 1; }))
        << listener.OpenConnections() << " connections still open";
    EXPECT_EQ(OpenDescriptors(), inSession);
}

// The stream does not go over the bus: it works without one.
class NoBusOtaStream : public OtaStream {};

TEST_F(NoBusOtaStream, FramesFlowWithoutABus)
{
    StreamListener listener;
    Bytes data = Pattern(kMaxPayload, 7);

    EXPECT_TRUE(client.downloadOTAdata(1, data.data(), kMaxPayload, 0, 0));
    EXPECT_TRUE(client.downloadOTAdata(2, data.data(), 5, 0, 0));

    ASSERT_TRUE(listener.WaitForBytes(2 * kFrame));
    EXPECT_EQ(client.SentSize(), kMaxPayload + 5);
}

// --------------------------------------------- plan and image, with daemon

class OtaWithDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        signal(SIGPIPE, SIG_DFL);
        if (qztest::DaemonProcess::BinaryPath().empty())
            GTEST_SKIP() << "the reference daemon is not built";
    }

    qztest::KvStoreRoot store;
    qztest::LogCapture log;
    qztest::TempDir dir;
};

SWUDataContainer DecodeRecord(const std::string& hex)
{
    const Bytes bytes = qztest::Unhex(hex);
    QzPack pack;
    pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    SWUDataContainer record;
    record.Unserialize(pack);
    return record;
}

std::vector<nlohmann::json> CallsOf(const qztest::DaemonProcess& daemon, int command)
{
    std::vector<nlohmann::json> calls;
    for (auto& e : daemon.Events("call"))
        if (e.value("command", 0) == command)
            calls.push_back(e);
    return calls;
}

TEST_F(OtaWithDaemon, AcceptedPlanIsAnnouncedAndFollowedByAPause)
{
    qztest::DaemonProcess daemon;
    OtaClient client;

    const auto start = Clock::now();
    EXPECT_TRUE(client.startOTAUpgrade({{2, 100}, {1, 4096}}));
    EXPECT_GE(Clock::now() - start, 1900ms);

    EXPECT_TRUE(client.Active());
    EXPECT_EQ(client.TotalSize(), 4196);
    EXPECT_EQ(client.segmentsInfoToString(), "1 4096;2 100;");

    const auto calls = CallsOf(daemon, 16386);
    ASSERT_EQ(calls.size(), 1u);
    const SWUDataContainer record = DecodeRecord(calls[0]["payload"]);
    EXPECT_EQ(record.m_strSoftwareID, "1 4096;2 100;");
    EXPECT_EQ(record.m_lTotalBytes, 4196u);
    EXPECT_EQ(record.m_nProductType, 7);
    EXPECT_TRUE(record.m_strFileName.empty());
    EXPECT_TRUE(record.m_strSWVersion.empty());
    EXPECT_FALSE(record.m_bIsURL);

    // The platform log ends each record with one line end, folding the
    // format's own trailing "\n" into it.
    EXPECT_TRUE(log.Has('I', "startOTAUpgrade", "each segment size : [1/2]:[4096]"));
    EXPECT_TRUE(log.Has('I', "startOTAUpgrade", "each segment size : [2/2]:[100]"));
    EXPECT_TRUE(log.Has('E', "startOTAUpgrade", Hl("otaTotalSize_ :(4196)")));
    EXPECT_TRUE(log.Has('E', "startOTAUpgrade", Hl("OTA download will be started.")));
}

TEST_F(OtaWithDaemon, RefusedPlanReturnsAtOnceAndKeepsThePlan)
{
    qztest::DaemonProcess daemon({"--reply", "16386=busy"});
    OtaClient client;

    const auto start = Clock::now();
    EXPECT_FALSE(client.startOTAUpgrade({{1, -5}, {2, 3}}));
    EXPECT_LT(Clock::now() - start, 1500ms) << "no pause after a refusal";

    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.TotalSize(), -2) << "negative sizes are summed as they are";
    EXPECT_EQ(client.segmentsInfoToString(), "1 -5;2 3;");
    EXPECT_EQ(CallsOf(daemon, 16386).size(), 1u);
    EXPECT_EQ(log.Count("OTA download will be started."), 0u);

    // A single empty segment is a plan, not an empty one.
    EXPECT_FALSE(client.startOTAUpgrade({{0, 0}}));
    EXPECT_EQ(client.segmentsInfoToString(), "0 0;");
    EXPECT_EQ(client.TotalSize(), 0);
    EXPECT_EQ(CallsOf(daemon, 16386).size(), 2u);
}

std::string Sha256(const Bytes& data)
{
    g_autoptr(GChecksum) sum = g_checksum_new(G_CHECKSUM_SHA256);
    g_checksum_update(sum, data.data(), data.size());
    return g_checksum_get_string(sum);
}

TEST_F(OtaWithDaemon, WholeImageIsReassembledByteForByte)
{
    const std::string output = dir.File("image.bin");
    qztest::DaemonProcess daemon({"--ota-output", output});
    OtaClient client;

    const std::map<int, int> plan{{1, 10000}, {2, 5000}, {3, 1}};
    const Bytes image = Pattern(15001, 42);
    ASSERT_TRUE(client.startOTAUpgrade(plan));

    size_t offset = 0;
    for (const auto& [segment, size] : plan) {
        for (int done = 0; done < size;) {
            const int piece = std::min(kMaxPayload, size - done);
            EXPECT_TRUE(client.downloadOTAdata(
                segment, const_cast<unsigned char*>(image.data() + offset), piece, 0, 0));
            offset += piece;
            done += piece;
        }
    }
    EXPECT_EQ(client.SentSize(), 15001);

    ASSERT_TRUE(qztest::WaitUntil([&] { return !daemon.Events("ota_image").empty(); }, 10s));
    const auto done = daemon.Events("ota_image").at(0);
    EXPECT_EQ(done["bytes"], 15001);
    EXPECT_EQ(done["sha256"], Sha256(image));
    const std::string written = qztest::ReadFile(output);
    EXPECT_TRUE(written == std::string(image.begin(), image.end()));
}

TEST_F(OtaWithDaemon, DaemonSeesTheHeaderFieldsAsWritten)
{
    qztest::DaemonProcess daemon;
    OtaClient client;
    Bytes data = Pattern(kMaxPayload, 6);

    EXPECT_TRUE(client.downloadOTAdata(258, data.data(), 1, 11, 12));
    EXPECT_TRUE(client.downloadOTAdata(259, data.data(), kMaxPayload, 13, 14));

    ASSERT_TRUE(qztest::WaitUntil([&] { return daemon.Events("frame").size() == 2; }));
    const auto frames = daemon.Events("frame");
    EXPECT_EQ(frames[0]["size"], 1);
    EXPECT_EQ(frames[0]["arg1"], 258);
    EXPECT_EQ(frames[0]["arg4"], 11);
    EXPECT_EQ(frames[0]["arg5"], 12);
    EXPECT_EQ(frames[1]["size"], kMaxPayload);
    EXPECT_EQ(frames[1]["payload_len"], kMaxPayload);
    EXPECT_EQ(frames[1]["arg1"], 259);
}

TEST_F(OtaWithDaemon, DaemonDyingMidStreamLeavesTheCallerRunning)
{
    auto daemon = std::make_unique<qztest::DaemonProcess>();
    OtaClient client;
    Bytes data = Pattern(kMaxPayload, 8);

    EXPECT_TRUE(client.downloadOTAdata(1, data.data(), kMaxPayload, 0, 0));
    ASSERT_TRUE(qztest::WaitUntil([&] { return daemon->Events("frame").size() == 1; }));
    daemon->Kill();

    // The first write after the peer vanished may still fit the socket
    // buffer; by the second the broken pipe shows.
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(client.downloadOTAdata(2, data.data(), kMaxPayload, 0, 0));
    EXPECT_GE(log.Find("downloadOTAdata", Hl("write error:-1")).size(), 2u);
    EXPECT_LT(client.SentSize(), 4 * kMaxPayload);
}

TEST_F(OtaWithDaemon, EightThreadsDeliverOnlyWholeFrames)
{
    qztest::DaemonProcess daemon;
    OtaClient client;
    constexpr int kThreads = 8;
    constexpr int kFramesEach = 25;
    std::atomic<int64_t> expectedTotal{0};

    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int seq = 0; seq < kFramesEach; ++seq) {
                const int size = 1 + (t * 613 + seq * 89) % kMaxPayload;
                Bytes data(size, static_cast<unsigned char>(t));
                client.downloadOTAdata(t, data.data(), size, seq, 0);
                expectedTotal += size;
            }
        });
    }
    for (auto& w : writers)
        w.join();

    ASSERT_TRUE(qztest::WaitUntil(
        [&] { return daemon.Events("frame").size() == kThreads * kFramesEach; }, 10s));
    int64_t total = 0;
    for (const auto& f : daemon.Events("frame"))
        total += f["size"].get<int64_t>();
    EXPECT_EQ(total, expectedTotal.load());
    EXPECT_EQ(client.SentSize(), expectedTotal.load());
    EXPECT_TRUE(daemon.Events("error").empty()) << daemon.Events("error").at(0).dump();
}

}  // namespace
