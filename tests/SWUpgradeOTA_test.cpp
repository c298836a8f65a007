// OTA upload: the segment plan, and the frames that reach the "otaStream"
// socket, seen both by a listener of the test's own and by the reference daemon.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <locale>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "SWUInterfaceData.h"
#include "SWUpgradeInterface.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr size_t kFrame = 4096;
constexpr int kMaxPayload = 4080;

std::string Hl(const std::string& body) { return "\x1b[1m\x1b[33m" + body + "\x1b[0;m"; }

// Opens up the protected OTA state for the assertions.
struct OtaClient : SWUpgradeInterface {
    int32_t SentSize() const { return m_nOTASentSize; }
    const sockaddr_un& Address() const { return m_stSocketAddr; }
    // The plan's text, its total and the active flag.
    auto State() { return std::make_tuple(segmentsInfoToString(), otaTotalSize_, m_bOTAActive); }
    void Preset(std::map<int, int> plan, int32_t total = 0, bool active = false)
    {
        m_mapSegments = std::move(plan);
        otaTotalSize_ = total;
        m_bOTAActive = active;
    }
    bool Send(int arg1, const Bytes& data, int size, int arg4 = 0, int arg5 = 0)
    {
        return downloadOTAdata(arg1, const_cast<unsigned char*>(data.data()), size, arg4, arg5);
    }
};

sockaddr_un StreamAddress()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, "otaStream", 9);
    return address;
}

// Stands in for the daemon's end, in the test's own thread: bound to the full
// 110-byte abstract address, it keeps every byte of every connection.
class StreamListener {
public:
    struct Conn {
        int fd;
        Bytes bytes;
    };

    StreamListener()
    {
        const sockaddr_un a = StreamAddress();
        // The name is machine-wide; wait out a previous user that is closing.
        auto bound = [&] { return bind(m_fd, (const sockaddr*)&a, sizeof a) == 0; };
        if (!qztest::WaitUntil(bound, 20s) || listen(m_fd, 16) != 0)
            throw std::runtime_error("cannot listen on the OTA stream address");
    }
    ~StreamListener() { CloseAll(), close(m_fd); }

    // Accepts the waiting connections and reads what has arrived; a
    // connection that the client closed is closed here too.
    const std::vector<Conn>& Conns()
    {
        for (int fd; (fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;)
            m_conns.push_back({fd, {}});
        unsigned char buffer[8192];
        for (auto& c : m_conns) {
            ssize_t n = 0;
            while (c.fd >= 0 && (n = read(c.fd, buffer, sizeof buffer)) > 0)
                c.bytes.insert(c.bytes.end(), buffer, buffer + n);
            if (c.fd >= 0 && !(n < 0 && errno == EAGAIN))
                close(std::exchange(c.fd, -1));
        }
        return m_conns;
    }
    size_t Open()
    {
        const auto& conns = Conns();
        return std::count_if(conns.begin(), conns.end(), [](auto& c) { return c.fd >= 0; });
    }
    bool WaitForFrames(size_t frames)
    {
        return qztest::WaitUntil([&] {
            size_t total = 0;
            for (const auto& c : Conns())
                total += c.bytes.size();
            return total >= frames * kFrame;
        }, 10s);
    }
    void CloseAll()
    {
        for (auto& c : m_conns)
            if (c.fd >= 0)
                close(std::exchange(c.fd, -1));
    }

private:
    int m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    std::vector<Conn> m_conns;
};

struct Frame {
    int32_t size, arg4, arg5, arg1;
    Bytes payloadArea;  // all 4080 bytes after the header
};

std::vector<Frame> SplitFrames(const Bytes& stream)
{
    EXPECT_EQ(stream.size() % kFrame, 0u) << "stream holds a partial frame";
    auto be32 = [](const unsigned char* p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return static_cast<int32_t>(ntohl(v));
    };
    std::vector<Frame> frames;
    for (auto f = stream.data(); f + kFrame <= stream.data() + stream.size(); f += kFrame)
        frames.push_back(
            {be32(f), be32(f + 4), be32(f + 8), be32(f + 12), Bytes(f + 16, f + kFrame)});
    return frames;
}

Bytes Pattern(size_t length, unsigned seed)
{
    Bytes data(length);
    std::mt19937 gen(seed);
    std::generate(data.begin(), data.end(), [&] { return static_cast<unsigned char>(gen()); });
    return data;
}

bool AllZero(const Bytes& data, size_t from)
{
    return std::all_of(data.begin() + from, data.end(), [](unsigned char b) { return b == 0; });
}

size_t OpenDescriptors()
{
    namespace fs = std::filesystem;
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

// Writers start together, so that their first calls race for the connection.
// Writer t sends frames with arg4 = t, arg1 = its sequence number and arg5 =
// the size; pump runs meanwhile. Returns the payload total.
int64_t StreamConcurrently(OtaClient& client, int threads, int framesEach,
                           const std::function<void()>& pump)
{
    std::atomic<int64_t> total{0};
    std::atomic<int> finished{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int seq = 0; seq < framesEach; ++seq) {
                const int size = 1 + (t * 997 + seq * 131) % kMaxPayload;
                client.Send(seq, Bytes(size, static_cast<unsigned char>(t + 1)), size, t, size);
                total += size;
            }
            ++finished;
        });
    go = true;
    EXPECT_TRUE(qztest::WaitUntil([&] { return pump(), finished == threads; }, 60s));
    for (auto& w : writers)
        w.join();
    return total;
}

// Frames of StreamConcurrently: whole headers, each writer's frames in its
// order, the payload total, and the payload itself where it was seen.
void CheckConcurrentFrames(const std::vector<Frame>& frames, int threads, int framesEach,
                           int64_t expectedTotal)
{
    ASSERT_EQ(frames.size(), static_cast<size_t>(threads * framesEach));
    std::vector<int> nextSeq(threads, 0);
    int64_t total = 0;
    for (const auto& f : frames) {
        ASSERT_TRUE(f.arg4 >= 0 && f.arg4 < threads && f.size == f.arg5) << "torn header";
        EXPECT_EQ(f.arg1, nextSeq[f.arg4]++) << "frames of one writer arrive in its order";
        if (!f.payloadArea.empty()) {
            EXPECT_TRUE(std::all_of(f.payloadArea.begin(), f.payloadArea.begin() + f.size,
                                    [&](unsigned char b) { return b == f.arg4 + 1; }))
                << "payload mixed with another writer's";
            EXPECT_TRUE(AllZero(f.payloadArea, f.size));
        }
        total += f.size;
    }
    EXPECT_EQ(total, expectedTotal);
}

class Ota : public ::testing::Test {
protected:
    // A write to a closed peer must not kill us: keep the default SIGPIPE
    // disposition in force so that such a fault cannot hide.
    void SetUp() override { signal(SIGPIPE, SIG_DFL); }

    // Invalid pieces first (refused without connecting), then a 1-byte, a
    // 4080-byte and a negative-size piece, all on one connection.
    void CheckFrames()
    {
        StreamListener listener;
        const Bytes full = Pattern(kMaxPayload + 1, 2);
        EXPECT_TRUE(client.Send(1, full, 0));
        EXPECT_TRUE(client.downloadOTAdata(1, nullptr, 10, 0, 0));
        EXPECT_TRUE(client.Send(1, full, kMaxPayload + 1));
        const std::string refusal = "download information is wrong. Can not download this data.";
        EXPECT_EQ(log.Find("downloadOTAdata", Hl(refusal)).size(), 3u);

        EXPECT_TRUE(client.Send(258, {0xAA}, 1, 0x01020304, -2));
        EXPECT_TRUE(client.Send(2, full, kMaxPayload));
        EXPECT_TRUE(client.Send(3, full, -4, 7, 8));
        ASSERT_TRUE(listener.WaitForFrames(3));
        ASSERT_EQ(listener.Conns().size(), 1u) << "one connection, opened by the first frame";
        const Bytes& stream = listener.Conns()[0].bytes;
        // Length first, nArg4, nArg5, and nArg1 (258) last at offsets 12-15.
        EXPECT_EQ(qztest::Hex(stream.data(), 17), "00000001" "01020304" "fffffffe" "00000102" "aa");
        const auto frames = SplitFrames(stream);
        ASSERT_EQ(frames.size(), 3u);
        EXPECT_TRUE(AllZero(frames[0].payloadArea, 1));
        EXPECT_EQ(frames[1].size, kMaxPayload);
        EXPECT_EQ(frames[1].payloadArea, Bytes(full.begin(), full.end() - 1));
        // A negative size travels as a length without payload.
        const Frame& neg = frames[2];
        EXPECT_EQ(std::vector<int32_t>({neg.size, neg.arg4, neg.arg5, neg.arg1}),
                  std::vector<int32_t>({-4, 7, 8, 3}));
        EXPECT_TRUE(AllZero(neg.payloadArea, 0));
        EXPECT_EQ(client.SentSize(), 1 + kMaxPayload - 4) << "payload bytes counted, not frames";
        EXPECT_TRUE(log.Has('E', "startClient", Hl("Success to start client.")));

        const sockaddr_un expected = StreamAddress();
        static_assert(sizeof expected == 110, "the address is 110 bytes on this platform");
        EXPECT_EQ(qztest::Hex(&client.Address(), sizeof expected),
                  qztest::Hex(&expected, sizeof expected));
    }

    qztest::KvStoreRoot store;
    qztest::LogCapture log;
    OtaClient client;
};

class OtaPlan : public Ota {};
class OtaStream : public Ota {};
class NoBusOtaStream : public Ota {};  // the stream does not need the bus

TEST_F(OtaPlan, EmptyPlanIsRefusedAndChangesNothing)
{
    client.Preset({{4, 40}}, 40, true);
    EXPECT_FALSE(client.startOTAUpgrade({}));
    EXPECT_TRUE(
        log.Has('E', "startOTAUpgrade", Hl("segments can not be empty!. Can not start OTA.")));
    EXPECT_EQ(client.State(), std::make_tuple("4 40;", 40, true));
    EXPECT_EQ(log.Count("SWUpgradeInterface::SWUpdate"), 0u) << "nothing may be submitted";
}

// A locale that groups digits in threes, as some applications install.
struct GroupingPunct : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

TEST_F(OtaPlan, TextListsEntriesInAscendingKeyOrderWhateverTheGlobalLocale)
{
    const std::pair<std::map<int, int>, const char*> cases[] = {
        {{{10, 5}, {2, 7}}, "2 7;10 5;"},
        {{{5, 1}, {-3, -2}, {0, 0}}, "-3 -2;0 0;5 1;"},
        {{}, ""},
        {{{1, 4096}, {1000000, 123456}}, "1 4096;1000000 123456;"},
    };
    const std::locale saved =
        std::locale::global(std::locale(std::locale::classic(), new GroupingPunct));
    for (const auto& [plan, text] : cases) {
        client.Preset(plan);
        EXPECT_EQ(client.segmentsInfoToString(), text);
    }
    std::locale::global(saved);
}

TEST_F(OtaPlan, StopForgetsThePlanAndResetKeepsTheActiveFlag)
{
    client.Preset({{1, 4096}, {2, 100}}, 4196, true);
    client.reset();
    EXPECT_EQ(client.State(), std::make_tuple("", 0, true));
    client.Preset({{1, 4096}}, 4096, true);
    EXPECT_TRUE(client.stopOTAUpgrade());
    EXPECT_EQ(client.State(), std::make_tuple("", 0, false));
}

TEST_F(OtaStream, FramesAreWholeWithABigEndianHeaderAndZeroFill) { CheckFrames(); }

TEST_F(NoBusOtaStream, FramesFlowWithoutABus) { CheckFrames(); }

TEST_F(OtaStream, ReconnectsAfterAFailedFirstFrameAndAfterResetOnly)
{
    const Bytes data = Pattern(64, 5);
    const auto start = Clock::now();
    for (int i = 0; i < 3; ++i)  // nobody listens: every call tries again
        EXPECT_TRUE(client.Send(1, data, 64));
    EXPECT_GE(Clock::now() - start, 3 * 9ms) << "each failed connect pauses about 10 ms";
    EXPECT_EQ(log.Find("startClient", Hl("connect error")).size(), 3u);
    EXPECT_TRUE(log.Has('E', "startClient", Hl("connect error")));
    EXPECT_EQ(log.Find("downloadOTAdata", Hl("write error")).size(), 3u);
    EXPECT_EQ(log.Find("downloadOTAdata", Hl("write error:-1")).size(), 3u);
    EXPECT_EQ(client.SentSize(), 0) << "failed frames are not counted";

    StreamListener listener;
    EXPECT_TRUE(client.Send(2, data, 64));
    EXPECT_TRUE(client.Send(3, data, 50));
    ASSERT_TRUE(listener.WaitForFrames(2));
    listener.CloseAll();  // the peer goes away mid-stream
    EXPECT_TRUE(client.Send(4, data, 64));
    EXPECT_TRUE(client.Send(5, data, 64));
    EXPECT_EQ(log.Find("downloadOTAdata", Hl("write error")).size(), 5u);
    EXPECT_EQ(log.Find("downloadOTAdata", Hl("write error:-1")).size(), 5u);
    EXPECT_EQ(client.SentSize(), 114) << "dropped frames are not counted";
    EXPECT_EQ(listener.Conns().size(), 1u) << "a broken stream is not reopened before reset";

    client.reset();
    EXPECT_TRUE(client.Send(6, data, 20));
    ASSERT_TRUE(listener.WaitForFrames(3));
    ASSERT_EQ(listener.Conns().size(), 2u);
    EXPECT_EQ(listener.Conns()[0].bytes.size(), 2 * kFrame);
    EXPECT_EQ(SplitFrames(listener.Conns()[1].bytes).at(0).arg1, 6);
    EXPECT_EQ(client.SentSize(), 20);
}

TEST_F(OtaStream, ConcurrentWritersNeverInterleaveAndShareOneConnection)
{
    StreamListener listener;
    for (size_t round = 0; round < 20; ++round) {  // each round races for a fresh connection
        SCOPED_TRACE(round);
        client.reset();
        const int64_t total = StreamConcurrently(client, 8, 5, [&] { listener.Conns(); });
        ASSERT_TRUE(listener.WaitForFrames((round + 1) * 8 * 5));
        ASSERT_EQ(listener.Conns().size(), round + 1) << "the first calls raced into two";
        CheckConcurrentFrames(SplitFrames(listener.Conns()[round].bytes), 8, 5, total);
        EXPECT_EQ(client.SentSize(), total);
    }
}

TEST_F(OtaStream, ManySessionsLeakNoDescriptors)
{
    const Bytes byte{1};
    // Failed connects: each call opens a socket that the next one replaces.
    client.Send(1, byte, 1);
    const size_t afterFirstFailure = OpenDescriptors();
    for (int i = 0; i < 30; ++i)
        client.Send(1, byte, 1);
    EXPECT_EQ(OpenDescriptors(), afterFirstFailure);

    // Whole sessions: reset, then stream on a fresh connection.
    StreamListener listener;
    client.reset();
    client.Send(1, byte, 1);
    ASSERT_TRUE(listener.WaitForFrames(1));
    const size_t inSession = OpenDescriptors();
    for (int i = 0; i < 30; ++i) {
        client.reset();
        client.Send(1, byte, 1);
        listener.Conns();  // a full backlog would block the next connect
    }
    ASSERT_TRUE(listener.WaitForFrames(31));
    // The listener closes its end when ours is closed.
    EXPECT_TRUE(qztest::WaitUntil([&] { return listener.Open() == 1; }))
        << listener.Open() << " connections still open";
    EXPECT_EQ(OpenDescriptors(), inSession);
}

class OtaWithDaemon : public Ota {
protected:
    void SetUp() override
    {
        Ota::SetUp();
        if (qztest::DaemonProcess::BinaryPath().empty())
            GTEST_SKIP() << "the reference daemon is not built";
    }
    static std::vector<nlohmann::json> Submissions(const qztest::DaemonProcess& daemon)
    {
        auto calls = daemon.Events("call");
        calls.erase(std::remove_if(calls.begin(), calls.end(),
                                   [](const auto& e) { return e.value("command", 0) != 16386; }),
                    calls.end());
        return calls;
    }
};

TEST_F(OtaWithDaemon, AcceptedPlanIsAnnouncedThenTheImageIsReassembledByteForByte)
{
    qztest::TempDir dir;
    qztest::DaemonProcess daemon({"--ota-output", dir.File("image.bin")});
    const std::map<int, int> plan{{258, 10000}, {259, 5000}, {260, 1}};
    const auto start = Clock::now();
    ASSERT_TRUE(client.startOTAUpgrade(plan));
    EXPECT_GE(Clock::now() - start, 1900ms);
    EXPECT_EQ(client.State(), std::make_tuple("258 10000;259 5000;260 1;", 15001, true));

    const auto calls = Submissions(daemon);
    ASSERT_EQ(calls.size(), 1u);
    const Bytes bytes = qztest::Unhex(calls[0]["payload"]);
    QzPack pack;
    pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    SWUDataContainer record;
    record.Unserialize(pack);
    EXPECT_EQ(record.m_strSoftwareID, "258 10000;259 5000;260 1;");
    EXPECT_EQ(record.m_lTotalBytes, 15001u);
    EXPECT_EQ(record.m_nProductType, 7);
    EXPECT_TRUE(record.m_strFileName.empty() && record.m_strSWVersion.empty());
    EXPECT_FALSE(record.m_bIsURL);
    // The log folds the format's trailing "\n" into the record's line end.
    EXPECT_TRUE(log.Has('I', "startOTAUpgrade", "each segment size : [258/3]:[10000]"));
    EXPECT_TRUE(log.Has('I', "startOTAUpgrade", "each segment size : [260/3]:[1]"));
    EXPECT_TRUE(log.Has('E', "startOTAUpgrade", Hl("otaTotalSize_ :(15001)")));
    EXPECT_TRUE(log.Has('E', "startOTAUpgrade", Hl("OTA download will be started.")));

    const Bytes image = Pattern(15001, 42);
    unsigned char* next = const_cast<unsigned char*>(image.data());
    for (const auto& [segment, size] : plan)
        for (int done = 0, piece; done < size; done += piece, next += piece) {
            piece = std::min(kMaxPayload, size - done);
            EXPECT_TRUE(client.downloadOTAdata(segment, next, piece, done, -piece));
        }
    EXPECT_EQ(client.SentSize(), 15001);

    ASSERT_TRUE(qztest::WaitUntil([&] { return !daemon.Events("ota_image").empty(); }, 10s));
    const auto summary = daemon.Events("ota_image").at(0);
    EXPECT_EQ(summary["bytes"], 15001);
    g_autoptr(GChecksum) sum = g_checksum_new(G_CHECKSUM_SHA256);
    g_checksum_update(sum, image.data(), image.size());
    EXPECT_EQ(summary["sha256"], g_checksum_get_string(sum));
    EXPECT_TRUE(qztest::ReadFile(dir.File("image.bin")) == std::string(image.begin(), image.end()));

    // The daemon reads each header field as written, for 4080-byte and 1-byte pieces.
    const auto frames = daemon.Events("frame");
    ASSERT_EQ(frames.size(), 6u);
    auto fields = [&](size_t i) {
        const auto& f = frames[i];
        return std::vector<int>{f["arg1"], f["size"], f["payload_len"], f["arg4"], f["arg5"]};
    };
    EXPECT_EQ(fields(0), std::vector<int>({258, kMaxPayload, kMaxPayload, 0, -kMaxPayload}));
    EXPECT_EQ(fields(4), std::vector<int>({259, 920, 920, 4080, -920}));
    EXPECT_EQ(fields(5), std::vector<int>({260, 1, 1, 0, -1}));
}

TEST_F(OtaWithDaemon, RefusedPlanReturnsAtOnceAndKeepsThePlan)
{
    qztest::DaemonProcess daemon({"--reply", "16386=busy"});
    const auto start = Clock::now();
    EXPECT_FALSE(client.startOTAUpgrade({{1, -5}, {2, 3}}));
    EXPECT_LT(Clock::now() - start, 1500ms) << "no pause after a refusal";
    // Negative sizes are summed as they are.
    EXPECT_EQ(client.State(), std::make_tuple("1 -5;2 3;", -2, false));
    EXPECT_EQ(Submissions(daemon).size(), 1u);
    EXPECT_EQ(log.Count("OTA download will be started."), 0u);

    // A single empty segment is a plan, not an empty one.
    EXPECT_FALSE(client.startOTAUpgrade({{0, 0}}));
    EXPECT_EQ(client.State(), std::make_tuple("0 0;", 0, false));
    EXPECT_EQ(Submissions(daemon).size(), 2u);
}

TEST_F(OtaWithDaemon, DaemonDyingMidStreamLeavesTheCallerRunning)
{
    auto daemon = std::make_unique<qztest::DaemonProcess>();
    const Bytes data = Pattern(kMaxPayload, 8);
    EXPECT_TRUE(client.Send(1, data, kMaxPayload));
    ASSERT_TRUE(qztest::WaitUntil([&] { return daemon->Events("frame").size() == 1; }));
    daemon->Kill();

    // The first write after the peer vanished may still fit the socket
    // buffer; by the second the broken pipe shows.
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(client.Send(2, data, kMaxPayload));
    EXPECT_GE(log.Find("downloadOTAdata", Hl("write error:-1")).size(), 2u);
    EXPECT_LT(client.SentSize(), 4 * kMaxPayload);
}

TEST_F(OtaWithDaemon, EightThreadsDeliverOnlyWholeFramesOnOneConnection)
{
    qztest::DaemonProcess daemon;
    const int64_t total = StreamConcurrently(client, 8, 25, [] {});
    ASSERT_TRUE(qztest::WaitUntil([&] { return daemon.Events("frame").size() == 8 * 25; }, 10s));
    std::vector<Frame> frames;
    for (const auto& f : daemon.Events("frame")) {
        EXPECT_EQ(f["client"], 1) << "the first calls raced into two connections";
        EXPECT_EQ(f["payload_len"], f["size"]);
        frames.push_back({f["size"], f["arg4"], f["arg5"], f["arg1"], {}});
    }
    CheckConcurrentFrames(frames, 8, 25, total);
    EXPECT_EQ(client.SentSize(), total);
    EXPECT_TRUE(daemon.Events("error").empty()) << daemon.Events("error").at(0).dump();
}

}  // namespace
