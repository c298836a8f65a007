// OTA upload against the reference daemon: the plan, the frames, the failure paths.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <locale>
#include <random>

#include "ContractBytes.h"
#include "SWUpgradeInterface.h"
#include "TestCommon.h"

namespace {

using Clock = std::chrono::steady_clock;
using Daemon = std::unique_ptr<qztest::DaemonProcess>;
using OtaState = std::tuple<std::string, int32_t, bool>;  // plan text, total, active
constexpr int kMaxPayload = 4080;
constexpr auto kWriteBound = 2000ms;
// Read once by the library. Two seconds keep the stall tests short and put the running
// frames' send time-out at one whole second, where seconds and microseconds are easily mixed.
const bool kBoundShortened = setenv("QZ_SWU_OTA_WRITE_TIMEOUT_MS", "2000", 1) == 0;
const char* const kRefusal = "download information is wrong. Can not download this data.";

struct OtaClient : SWUpgradeInterface {
    int32_t SentSize() const { return m_nOTASentSize; }
    OtaState State() { return {segmentsInfoToString(), otaTotalSize_, m_bOTAActive}; }
    bool Send(int arg1, const Bytes& data, int size, int arg4 = 0, int arg5 = 0)
    {
        return downloadOTAdata(arg1, const_cast<unsigned char*>(data.data()), size, arg4, arg5);
    }
};

// A frame as the daemon parsed it: arg1, size, payload length, arg4, arg5.
std::vector<int> Fields(const nlohmann::json& f)
{
    return {f["arg1"], f["size"], f["payload_len"], f["arg4"], f["arg5"]};
}

size_t OpenDescriptors() { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); }
// What a descriptor is open on; throws when it is closed.
fs::path OpenedAs(int fd) { return fs::read_symlink("/proc/self/fd/" + std::to_string(fd)); }

class Ota : public qztest::ClientFixture {
protected:
    void SetUp() override
    {
        // Default SIGPIPE disposition, so that a write to a closed peer kills a faulty client.
        signal(SIGPIPE, SIG_DFL);
        if (qztest::DaemonProcess::BinaryPath().empty())
            GTEST_SKIP() << "the reference daemon is not built";
        ASSERT_TRUE(kBoundShortened);
    }
    static Daemon Start(const std::vector<std::string>& args = {})
    {
        auto daemon = std::make_unique<qztest::DaemonProcess>(args);
        EXPECT_TRUE(qztest::WaitUntil([&] { return !daemon->Events("ota_listening").empty(); }));
        return daemon;
    }
    size_t Logged(const std::string& function, const std::string& body)
    {
        const auto found = log.Find(function, qztest::Hl(body));
        return std::count_if(found.begin(), found.end(), [](auto& r) { return r.priority == 'E'; });
    }

    OtaClient client;
};

// Thousands grouped with commas, made the global locale for a scope as an application may.
struct GroupedThousands : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};
struct GlobalGroupedLocale {
    std::locale previous = std::locale::global({std::locale::classic(), new GroupedThousands});
    ~GlobalGroupedLocale() { std::locale::global(previous); }
};

// The plan text keeps plain digits whatever the application's global locale is.
TEST_F(Ota, AcceptedPlanPausesThenTheImageIsReassembledByteForByte)
{
    GlobalGroupedLocale grouped;
    qztest::TempDir dir;
    Daemon daemon = Start({"--ota-output", dir.File("image.bin")});
    const std::map<int, int> plan{{258, 10000}, {259, 5000}, {260, 1}};
    const std::string text = "258 10000;259 5000;260 1;";
    const auto start = Clock::now();
    ASSERT_TRUE(client.startOTAUpgrade(plan));
    EXPECT_GE(Clock::now() - start, 1900ms) << "the daemon gets ready";
    EXPECT_EQ(client.State(), OtaState(text, 15001, true));
    const auto request = qztest::RecordFromHex(daemon->Events("call").at(0).value("payload", ""));
    EXPECT_EQ(std::make_tuple(request.m_strSoftwareID, request.m_lTotalBytes,
                              request.m_nProductType, request.m_bIsURL, request.m_nVerifyHost),
              std::make_tuple(text, 15001u, SWU_PROCESS_OTA, false, 0));
    EXPECT_TRUE(log.Has('I', "startOTAUpgrade", "each segment size : [260/3]:[1]"));
    EXPECT_EQ(Logged("startOTAUpgrade", "OTA download will be started."), 1u);

    Bytes image(15001);
    std::generate(image.begin(), image.end(), std::mt19937(42));
    const unsigned char* next = image.data();
    for (const auto& [segment, size] : plan)
        for (int done = 0, piece; done < size; done += piece, next += piece) {
            piece = std::min(kMaxPayload, size - done);
            EXPECT_TRUE(client.Send(segment, Bytes(next, next + piece), piece, done, -piece));
        }
    ASSERT_TRUE(qztest::WaitUntil([&] { return !daemon->Events("ota_image").empty(); }, 10s));
    EXPECT_EQ(qztest::ReadFile(dir.File("image.bin")), std::string(image.begin(), image.end()));

    // Header order and byte order as the daemon reads them, for 4080- and 1-byte pieces.
    const auto frames = daemon->Events("frame");
    EXPECT_EQ(Fields(frames.at(0)), std::vector<int>({258, kMaxPayload, kMaxPayload, 0, -4080}));
    EXPECT_EQ(Fields(frames.at(5)), std::vector<int>({260, 1, 1, 0, -1}));
    // The daemon's summary: one line per segment, with its frames and bytes.
    std::vector<std::vector<int>> segments;
    for (const auto& s : daemon->Events("ota_segment"))
        segments.push_back({s["arg1"], s["frames"], s["payload_bytes"], s["last_arg4"]});
    EXPECT_EQ(segments, (std::vector<std::vector<int>>{
                            {258, 3, 10000, 8160}, {259, 2, 5000, 4080}, {260, 1, 1, 0}}));
    EXPECT_TRUE(client.stopOTAUpgrade());
    EXPECT_EQ(client.State(), OtaState("", 0, false));
}

TEST_F(Ota, EmptyOrRefusedPlanReturnsAtOnceAndStopForgetsIt)
{
    Daemon daemon = Start({"--reply", qztest::ForCommand(swu::kCmdSubmitRequest, "busy")});
    EXPECT_FALSE(client.startOTAUpgrade({}));
    EXPECT_EQ(Logged("startOTAUpgrade", "segments can not be empty!. Can not start OTA."), 1u);
    const auto start = Clock::now();
    EXPECT_FALSE(client.startOTAUpgrade({{1, -5}, {2, 3}}));
    EXPECT_LT(Clock::now() - start, 2s) << "no pause after a refusal";  // the pause is 2 s
    EXPECT_EQ(client.State(), OtaState("1 -5;2 3;", -2, false));
    EXPECT_EQ(daemon->Events("call").size(), 1u) << "only the non-empty plan is submitted";
    EXPECT_FALSE(client.startOTAUpgrade({{7, 10}}));
    EXPECT_EQ(client.State(), OtaState("7 10;", 10, false)) << "a new plan starts afresh";
    EXPECT_TRUE(client.stopOTAUpgrade());
    EXPECT_EQ(client.State(), OtaState("", 0, false));
}

// Each failed connect's socket is replaced by the next one's and must be closed;
// descriptors 0 and 1 are not the client's to close, whatever it holds before connecting.
TEST_F(Ota, EveryCallRetriesTheConnectWithoutLeaks)
{
    const auto standardFiles = std::make_pair(OpenedAs(STDIN_FILENO), OpenedAs(STDOUT_FILENO));
    const Bytes data(64, 0x5a);
    EXPECT_TRUE(client.Send(1, data, 64));
    const size_t afterFirst = OpenDescriptors();
    const auto start = Clock::now();
    for (int i = 0; i < 30; ++i)
        EXPECT_TRUE(client.Send(1, data, 64));
    EXPECT_GE(Clock::now() - start, 30 * 10ms) << "no pause after a connect error";
    EXPECT_EQ(OpenDescriptors(), afterFirst);
    EXPECT_EQ(std::make_pair(OpenedAs(STDIN_FILENO), OpenedAs(STDOUT_FILENO)), standardFiles)
        << "a descriptor the client never opened was closed";
    EXPECT_EQ(Logged("startClient", "connect error"), 31u);
    EXPECT_EQ(Logged("downloadOTAdata", "write error"), 31u);
    EXPECT_EQ(Logged("downloadOTAdata", "write error:-1"), 31u);

    Daemon daemon = Start();
    EXPECT_TRUE(client.Send(3, data, -4, 7, 8));  // a negative size travels without payload
    ASSERT_TRUE(qztest::WaitUntil([&] { return !daemon->Events("frame").empty(); }));
    EXPECT_EQ(Fields(daemon->Events("frame").at(0)), std::vector<int>({3, -4, 0, 7, 8}));
}

// Refused pieces (no data, no bytes, more than a frame holds) open no connection. The
// frames travel as a big-endian header (size, arg5, arg4, arg1), the payload and a zero
// tail to 4096 bytes, also after a fuller frame.
TEST_F(Ota, RefusedPiecesNeverConnectAndFramesOnTheSocketAreZeroPadded)
{
    qztest::OtaListener listener;
    const Bytes full(kMaxPayload, 0xff), over(kMaxPayload + 1, 0x5a);
    EXPECT_TRUE(client.downloadOTAdata(1, nullptr, 10, 0, 0));
    EXPECT_TRUE(client.Send(1, full, 0));
    EXPECT_TRUE(client.Send(1, over, kMaxPayload + 1));
    EXPECT_EQ(Logged("downloadOTAdata", kRefusal), 3u);
    EXPECT_FALSE(listener.Accept(300ms)) << "a refused piece opened a connection";

    for (const auto& c : qztest::kOtaFrames)  // a negative size carries no payload
        EXPECT_TRUE(client.Send(c.arg1, Bytes(kMaxPayload, c.fill), c.size, c.arg4, c.arg5));
    ASSERT_TRUE(listener.Accept(5s));
    for (const auto& c : qztest::kOtaFrames) {
        SCOPED_TRACE(c.header);
        const Bytes frame = listener.Read(4096);
        ASSERT_EQ(frame.size(), 4096u);
        EXPECT_EQ(qztest::Hex(frame.data(), 16), c.header);
        Bytes padded(std::max(c.size, 0), c.fill);
        padded.resize(kMaxPayload, 0);
        EXPECT_EQ(Bytes(frame.begin() + 16, frame.end()), padded) << "payload or zero tail";
    }
    EXPECT_EQ(client.SentSize(), kMaxPayload + 3 - 4);
}

// The process survives a vanished peer; a broken stream is reopened only after reset().
TEST_F(Ota, DaemonClosingMidStreamLeavesTheCallerRunningUntilReset)
{
    Daemon daemon = Start();
    const Bytes data(kMaxPayload, 0x5a);
    EXPECT_TRUE(client.Send(1, data, kMaxPayload));
    ASSERT_TRUE(qztest::WaitUntil([&] { return daemon->Events("frame").size() == 1; }));
    daemon->Kill();
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(client.Send(2, data, kMaxPayload));
    EXPECT_GE(Logged("downloadOTAdata", "write error:-1"), 2u);

    daemon = Start();
    EXPECT_TRUE(client.Send(3, data, 10));
    client.reset();
    EXPECT_TRUE(client.Send(4, data, 20));
    ASSERT_TRUE(qztest::WaitUntil([&] { return !daemon->Events("frame").empty(); }));
    EXPECT_EQ(daemon->Events("frame").at(0)["arg1"], 4);
    EXPECT_EQ(client.SentSize(), 20);
}

// Writers start together, so that their first calls race for the connection;
// after each reset() the next round races for a fresh one.
TEST_F(Ota, EightThreadsDeliverOnlyWholeFramesOnOneConnection)
{
    Daemon daemon = Start();
    constexpr int kThreads = 8, kFrames = 5, kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        client.reset();
        std::atomic<bool> go{false};
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([&, t] {
                while (!go)
                    std::this_thread::yield();
                for (int seq = 0; seq < kFrames; ++seq) {
                    const int size = 1 + (t * 997 + seq * 131 + round) % kMaxPayload;
                    client.Send(seq, Bytes(size, 1), size, t, size);
                }
            });
        go = true;
        for (auto& w : writers)
            w.join();
        const size_t expected = (round + 1) * kThreads * kFrames;
        ASSERT_TRUE(qztest::WaitUntil([&] { return daemon->Events("frame").size() == expected; }));
        const auto frames = daemon->Events("frame");
        int64_t received = 0;
        for (size_t i = expected - kThreads * kFrames; i < expected; ++i) {
            ASSERT_EQ(frames[i]["client"], round + 1) << "the first calls raced into two";
            ASSERT_EQ(frames[i]["size"], frames[i]["arg5"]) << "two writers' frames interleaved";
            received += frames[i]["payload_len"].get<int>();
        }
        EXPECT_EQ(received, client.SentSize()) << "payload bytes are counted under contention";
    }
}

TEST_F(Ota, ClientsDestroyedAfterStreamingLeaveNoDescriptorBehind)
{
    Daemon daemon = Start();
    const Bytes data(100, 1);
    OtaClient().Send(1, data, 100);  // the shared bus connection and the log file stay open
    const size_t before = OpenDescriptors();
    for (int i = 0; i < 300; ++i) {
        OtaClient streaming;
        ASSERT_TRUE(streaming.Send(1, data, 100));
        ASSERT_EQ(streaming.SentSize(), 100) << "the frame went through";
    }
    // A bus connection dropped with the last client closes on GLib's worker thread, a moment later.
    EXPECT_TRUE(qztest::WaitUntil([&] { return OpenDescriptors() <= before; }))
        << OpenDescriptors() << " descriptors open, " << before << " before";
}

// The listener takes the connection but never reads: the frame that does not fit fails
// within the bound, and so does a second writer queued on the mutex; later frames fail
// at once without a byte more, until reset() opens a new connection.
TEST_F(Ota, StalledListenerReleasesEveryWriterWithinTheBound)
{
    qztest::OtaListener listener;
    const Bytes data(kMaxPayload, 3);
    auto start = Clock::now();
    while (client.Send(1, data, kMaxPayload) && log.Count("write error") == 0 &&
           Clock::now() - start < 30s)
        start = Clock::now();
    const auto stalled = Clock::now() - start;
    // Half the bound for the blocking attempt, half for the rest, not one and a half bounds.
    EXPECT_GE(stalled, kWriteBound - 100ms);
    EXPECT_LT(stalled, kWriteBound * 3 / 2);
    EXPECT_EQ(Logged("downloadOTAdata", "write error:-1"), 1u);
    const int32_t sent = client.SentSize();
    // The broken stream's descriptor number goes to the next file opened: nothing may go there.
    int reused[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, reused), 0);
    ASSERT_TRUE(listener.Accept(1s));

    start = Clock::now();
    std::thread other([&] { client.Send(2, data, kMaxPayload); });
    client.Send(3, data, kMaxPayload);
    other.join();
    char stray = 0;
    EXPECT_EQ(read(reused[1], &stray, 1), -1) << "a frame went into a reused descriptor";
    for (int fd : reused)
        close(fd);
    EXPECT_LT(Clock::now() - start, kWriteBound) << "the stream is finished";  // not waited on
    EXPECT_EQ(Logged("downloadOTAdata", "write error:-1"), 3u);
    EXPECT_EQ(client.SentSize(), sent);
    EXPECT_LT(listener.Drain(), size_t(sent / kMaxPayload + 1) * 4096)
        << "nothing after the broken frame";

    client.reset();
    EXPECT_TRUE(client.Send(4, data, 10));
    EXPECT_EQ(client.SentSize(), 10) << "the next plan connects again";
}

// A frame whose blocking attempt ran out (the reader stalled for more than half the
// bound) is finished in the other half once the reader goes on: whole, nothing lost.
TEST_F(Ota, FrameStalledPastHalfTheBoundIsFinishedWhole)
{
    qztest::OtaListener listener;
    const Bytes data(kMaxPayload, 5);
    constexpr int kFrames = 200;  // far more than the socket buffers hold
    std::thread writer([&] {
        for (int i = 0; i < kFrames; ++i)
            client.Send(1, data, kMaxPayload, 0, i);
    });
    std::this_thread::sleep_for(kWriteBound / 2 + 300ms);  // the stall itself: nothing to poll
    ASSERT_TRUE(listener.Accept(1s));
    const size_t received = listener.Drain(1000ms);
    writer.join();
    EXPECT_EQ(Logged("downloadOTAdata", "write error:-1"), 0u);
    EXPECT_EQ(received, size_t(kFrames) * 4096);
}

// A listener that never accepts, with its queue full: the connect waits for at most
// the bound, and the frame fails as a connection that could not be made.
TEST_F(Ota, ConnectToAListenerWithAFullQueueIsBounded)
{
    qztest::OtaListener listener(0);
    listener.FillQueue();
    const auto start = Clock::now();
    client.Send(1, Bytes(10, 1), 10);
    EXPECT_LT(Clock::now() - start, 2 * kWriteBound);
    EXPECT_EQ(Logged("startClient", "connect error"), 1u);
    EXPECT_EQ(client.SentSize(), 0);
}

// No descriptor left for the socket: the frame fails with the socket error.
TEST_F(Ota, NoDescriptorForTheSocketIsLoggedAndTheFrameFails)
{
    qztest::OtaListener listener;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    const rlimit none{static_cast<rlim_t>(lowestFree), limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    client.Send(1, Bytes(10, 1), 10);
    setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_EQ(Logged("startClient", "socket error"), 1u);
    EXPECT_EQ(Logged("startClient", "connect error"), 0u) << "went on with no socket";
    EXPECT_EQ(client.SentSize(), 0);
}

// Descriptor 0, held by the object before its first stream, is never the stream's: the
// socket moves up to 1, and goes with the object (a local one, not to outlive the test's 0 and 1).
TEST_F(Ota, StreamWorksWithStandardInputAndOutputClosed)
{
    qztest::OtaListener listener;
    const int saved[] = {dup(0), dup(1)};
    ASSERT_GE(std::min(saved[0], saved[1]), 0);
    int32_t sent = 0;
    {
        OtaClient local;
        close(0);
        close(1);
        local.Send(1, Bytes(kMaxPayload, 7), kMaxPayload);
        sent = local.SentSize();
    }
    const bool closedWithTheObject = fcntl(0, F_GETFD) == -1 && fcntl(1, F_GETFD) == -1;
    for (int fd : {0, 1}) {
        dup2(saved[fd], fd);
        close(saved[fd]);
    }
    EXPECT_EQ(sent, kMaxPayload) << log.Text();
    EXPECT_TRUE(closedWithTheObject) << "descriptor 0 or 1 left open";
    ASSERT_TRUE(listener.Accept(5s));
    EXPECT_EQ(listener.Read(4096).size(), 4096u);
}

// Whoever takes the name first would receive the image: a listener running as another
// user gets nothing, and each attempt says who held the name.
TEST_F(Ota, ListenerOfAnotherUserReceivesNothing)
{
    int report[2];  // the child's listening flag, then the bytes it received
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = qztest::ForkAsUser(qztest::NobodyUid(), qztest::NobodyGid(), [&] {
        std::optional<qztest::OtaListener> listener;
        try {
            listener.emplace();
        } catch (const std::exception&) {
        }
        const char listening = listener.has_value();
        size_t received = 0;
        write(report[1], &listening, 1);
        for (int i = 0; listener && i < 3 && listener->Accept(5s); ++i)
            received += listener->Drain(2000ms);
        write(report[1], &received, sizeof received);
    });
    char listening = 0;
    ASSERT_EQ(read(report[0], &listening, 1), 1);
    ASSERT_EQ(listening, 1);
    const Bytes data(kMaxPayload, 9);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(client.Send(1, data, kMaxPayload));
    size_t received = 1;
    EXPECT_EQ(read(report[0], &received, sizeof received), ssize_t(sizeof received));
    EXPECT_EQ(received, 0u);
    qztest::WaitForChild(child);
    for (int fd : report)
        close(fd);
    EXPECT_EQ(client.SentSize(), 0);
    const passwd* nobody = getpwuid(qztest::NobodyUid());
    ASSERT_NE(nobody, nullptr);
    const std::string holder = "@otaStream is held by uid " + std::to_string(qztest::NobodyUid()) +
                               " (" + nobody->pw_name + "), pid " + std::to_string(child) +
                               ", not by the upgrade daemon";
    EXPECT_EQ(log.Count(holder), 3u) << log.Text();
    EXPECT_EQ(Logged("startClient", "Success to start client."), 0u);
}

}  // namespace
