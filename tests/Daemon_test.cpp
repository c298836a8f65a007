// The reference upgrade daemon, driven as a separate process over the
// private bus and through its OTA stream socket.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vconf.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <set>

#include "SWUInterfaceData.h"
#include "SWUpgradeInternal.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using qztest::DaemonProcess;
using qztest::WaitUntil;
namespace swu = qz::swu;

constexpr size_t kFrameSize = 4096;
constexpr size_t kPayloadCapacity = 4080;

Bytes Packed(const SWUDataContainer& record)
{
    QzPack pack;
    record.Serialize(pack);
    return Bytes(pack.GetData(), pack.GetData() + pack.GetSize());
}

SWUDataContainer Request(int32_t requester, const std::string& fileName = "fw.bin",
                         uint32_t totalBytes = 1000)
{
    SWUDataContainer record;
    record.m_strFileName = fileName;
    record.m_strSWVersion = "2.0";
    record.m_lTotalBytes = totalBytes;
    record.m_nProductType = requester;
    record.m_nUpgradeType = 1;
    return record;
}

SWUDataContainer OtaPlanRequest(const std::string& plan, uint32_t total)
{
    SWUDataContainer record;
    record.m_strSoftwareID = plan;
    record.m_lTotalBytes = total;
    record.m_nProductType = 7;
    return record;
}

SWUDataContainer CabinetReport(int32_t value)
{
    SWUDataContainer record;
    record.m_nProductType = value;
    return record;
}

std::string StoredKey(const char* key)
{
    char* value = vconf_get_str(key);
    std::string text = value ? value : "";
    free(value);
    return text;
}

Bytes Pattern(size_t length, unsigned seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>((i * 31 + seed) % 251);
    return bytes;
}

void PutBigEndian(Bytes& out, size_t offset, int32_t value)
{
    auto v = static_cast<uint32_t>(value);
    out[offset] = static_cast<unsigned char>(v >> 24);
    out[offset + 1] = static_cast<unsigned char>(v >> 16);
    out[offset + 2] = static_cast<unsigned char>(v >> 8);
    out[offset + 3] = static_cast<unsigned char>(v);
}

// One frame as the client library writes it: big-endian length, arg4,
// arg5, arg1, then the payload and zero fill.
Bytes Frame(int32_t size, int32_t arg4, int32_t arg5, int32_t arg1, const Bytes& payload)
{
    Bytes frame(kFrameSize, 0);
    PutBigEndian(frame, 0, size);
    PutBigEndian(frame, 4, arg4);
    PutBigEndian(frame, 8, arg5);
    PutBigEndian(frame, 12, arg1);
    std::copy_n(payload.begin(), std::min(payload.size(), kPayloadCapacity), frame.begin() + 16);
    return frame;
}

std::string Sha256(const Bytes& data)
{
    g_autofree gchar* digest =
        g_compute_checksum_for_data(G_CHECKSUM_SHA256, data.data(), data.size());
    return digest;
}

// A stream connection to the daemon's OTA socket.
class OtaConnection {
public:
    // addressLength: the full sockaddr_un, as the client library connects,
    // or shorter to probe which name the daemon bound.
    explicit OtaConnection(socklen_t addressLength = sizeof(sockaddr_un))
    {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path + 1, swu::kOTASocketName, strlen(swu::kOTASocketName));
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), addressLength) != 0) {
            m_error = errno;
            Close();
        }
    }
    ~OtaConnection() { Close(); }

    bool Connected() const { return m_fd >= 0; }
    int Error() const { return m_error; }

    // Writes in pieces of the given size, so that frames cross read
    // boundaries on the daemon's side.
    bool Write(const Bytes& data, size_t piece = SIZE_MAX)
    {
        for (size_t offset = 0; offset < data.size();) {
            size_t length = std::min(piece, data.size() - offset);
            ssize_t written = send(m_fd, data.data() + offset, length, MSG_NOSIGNAL);
            if (written <= 0)
                return false;
            offset += static_cast<size_t>(written);
        }
        return true;
    }

    void Close()
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    int m_error = 0;
};

class DaemonTest : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& args = {})
    {
        m_daemon = std::make_unique<DaemonProcess>(args);
    }

    // Starts a daemon with the OTA socket and waits until it, and not some
    // other process, holds the socket name.
    void StartWithOtaSocket(std::vector<std::string> args = {})
    {
        args.insert(args.end(), {"--ota-output", ImagePath()});
        Start(args);
        ASSERT_TRUE(WaitUntil([&] { return !Events("ota_listening").empty(); }, 10000ms))
            << "the daemon never got the OTA socket name";
    }

    std::string ImagePath() const { return m_dir.File("ota.bin"); }

    GVariant* RawCall(int command, const Bytes& payload, GError** error,
                      qztest::PeerConnection* peer = nullptr, int timeoutMs = 5000)
    {
        static const guchar kNone = 0;
        GVariant* bytes = g_variant_new_fixed_array(
            G_VARIANT_TYPE_BYTE, payload.empty() ? &kNone : payload.data(), payload.size(), 1);
        return (peer ? *peer : m_peer)
            .Call(qztest::kDaemonBusName, "SendByteMessageWithRet",
                  g_variant_new("(i@ay)", command, bytes), error, timeoutMs);
    }

    // The text reply, or a marker naming what came back instead.
    std::string Reply(int command, const Bytes& payload = {},
                      qztest::PeerConnection* peer = nullptr)
    {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = RawCall(command, payload, &error, peer);
        if (reply == nullptr)
            return std::string("<error: ") + error->message + ">";
        if (!g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)")))
            return std::string("<type ") + g_variant_get_type_string(reply) + ">";
        const char* text = nullptr;
        g_variant_get(reply, "(&s)", &text);
        return text;
    }

    std::string Submit(const SWUDataContainer& record)
    {
        return Reply(swu::kCmdSubmitRequest, Packed(record));
    }

    bool WaitIdle(std::chrono::milliseconds timeout = 5000ms)
    {
        return WaitUntil([&] { return Reply(swu::kCmdQueryState) == swu::kReplyIdle; }, timeout);
    }

    std::vector<nlohmann::json> Events(const std::string& kind) const
    {
        return m_daemon->Events(kind);
    }

    std::vector<nlohmann::json> CallsOf(int command) const
    {
        std::vector<nlohmann::json> calls;
        for (auto& call : Events("call"))
            if (call["command"] == command)
                calls.push_back(call);
        return calls;
    }

    bool WaitForEvents(const std::string& kind, size_t count,
                       std::chrono::milliseconds timeout = 5000ms)
    {
        return WaitUntil([&] { return Events(kind).size() >= count; }, timeout);
    }

    qztest::KvStoreRoot m_kv;  // before the daemon, which inherits its root
    qztest::TempDir m_dir;
    qztest::PeerConnection m_peer;
    std::unique_ptr<DaemonProcess> m_daemon;
};

// ------------------------------------------------------------- commands

TEST_F(DaemonTest, IdleDaemonAnswersQueriesAndJournalsThem)
{
    Start({"--no-ota-socket"});
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
    EXPECT_EQ(Reply(swu::kCmdQueryProgress), "success 0");
    EXPECT_EQ(Reply(swu::kCmdQueryOffset), "success 0");
    EXPECT_NE(Reply(swu::kCmdNotifyResult), "success") << "nothing stored to notify";

    auto calls = Events("call");
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0]["method"], "SendByteMessageWithRet");
    EXPECT_EQ(calls[0]["command"], 16393);
    EXPECT_EQ(calls[0]["payload"], "");
    EXPECT_EQ(calls[0]["reply"], "InitStatus");
    EXPECT_EQ(calls[1]["reply"], "success 0");
}

TEST_F(DaemonTest, RequestRunsATimedUpgradeAndStoresItsResult)
{
    Start({"--no-ota-socket", "--upgrade-ms", "800"});
    SWUDataContainer request = Request(1, "fw.bin", 1000);
    EXPECT_EQ(Submit(request), "success");
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InProgressStatus");
    EXPECT_EQ(Submit(Request(2)), "busy") << "one upgrade at a time";

    // Progress rises through intermediate values, never backwards.
    std::vector<int> seen;
    ASSERT_TRUE(WaitUntil([&] {
        std::string text = StoredKey(swu::kKeyProgress);
        if (!text.empty())
            seen.push_back(std::stoi(text));
        return !seen.empty() && seen.back() == 100;
    }));
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int p) { return p > 0 && p < 100; }));

    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(StoredKey(swu::kKeyResult), "true&1&Success&ProcJOR&fw.bin");
    EXPECT_EQ(Reply(swu::kCmdQueryProgress), "success 100");
    EXPECT_EQ(Reply(swu::kCmdQueryOffset), "success 1000");

    auto submits = CallsOf(swu::kCmdSubmitRequest);
    ASSERT_EQ(submits.size(), 2u);
    Bytes packed = Packed(request);
    EXPECT_EQ(submits[0]["payload"], qztest::Hex(packed.data(), packed.size()));
    auto requests = Events("request");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["file_name"], "fw.bin");
    EXPECT_EQ(requests[0]["total_bytes"], 1000);
    EXPECT_EQ(requests[0]["requester"], 1);
    EXPECT_EQ(requests[0]["accepted"], true);
    EXPECT_EQ(requests[1]["accepted"], false);
}

TEST_F(DaemonTest, ResultLabelNamesTheRequester)
{
    Start({"--no-ota-socket", "--upgrade-ms", "0"});
    const std::vector<std::pair<int, std::string>> cases = {
        {1, "ProcJOR"}, {8, "ProcJOR"}, {2, "ProcKAV"}, {9, "ProcKAV"}, {4, "ProcURL"}};
    int id = 0;
    for (const auto& [requester, label] : cases) {
        ASSERT_EQ(Submit(Request(requester, "a&b.bin")), "success") << requester;
        ASSERT_TRUE(WaitIdle());
        // '&' separates the stored fields, so it cannot come through a name.
        EXPECT_EQ(StoredKey(swu::kKeyResult),
                  "true&" + std::to_string(++id) + "&Success&" + label + "&ab.bin")
            << requester;
    }
}

TEST_F(DaemonTest, NotificationMarksTheStoredResultAsSeen)
{
    Start({"--no-ota-socket", "--upgrade-ms", "0"});
    ASSERT_EQ(Submit(Request(2, "cab.bin")), "success");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Reply(swu::kCmdNotifyResult), "success");
    EXPECT_EQ(StoredKey(swu::kKeyResult), "false&1&Success&ProcKAV&cab.bin");
}

TEST_F(DaemonTest, CabinetValuesAreRecorded)
{
    Start({"--no-ota-socket"});
    EXPECT_EQ(Reply(swu::kCmdCabinetProgress, Packed(CabinetReport(50))), "success");
    EXPECT_EQ(Reply(swu::kCmdCabinetComplete, Packed(CabinetReport(-1))), "success");
    auto cabinet = Events("cabinet");
    ASSERT_EQ(cabinet.size(), 2u);
    EXPECT_EQ(cabinet[0]["command"], 16390);
    EXPECT_EQ(cabinet[0]["value"], 50);
    EXPECT_EQ(cabinet[1]["command"], 16391);
    EXPECT_EQ(cabinet[1]["value"], -1);
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus") << "a cabinet report starts nothing";
}

TEST_F(DaemonTest, UnknownCommandsAndMethodsAreJournaledAndServingGoesOn)
{
    Start({"--no-ota-socket"});
    EXPECT_EQ(Reply(12345), "unknown command");
    // A method the client never uses on the daemon gets an empty answer.
    g_autoptr(GVariant) shortReply =
        m_peer.Call(qztest::kDaemonBusName, "SendShortMessageWithRet",
                    g_variant_new("(ii)", swu::kCmdQueryState, 0), nullptr);
    ASSERT_NE(shortReply, nullptr);
    const char* text = nullptr;
    g_variant_get(shortReply, "(&s)", &text);
    EXPECT_STREQ(text, "");

    auto errors = Events("error");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0]["command"], 12345);
    EXPECT_EQ(errors[0]["what"], "unknown command");
    EXPECT_EQ(errors[1]["command"], 16393);
    EXPECT_EQ(errors[1]["what"], "unexpected short message");
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
}

TEST_F(DaemonTest, MalformedRecordsAreRefusedWithoutSideEffects)
{
    Start({"--no-ota-socket", "--upgrade-ms", "0"});
    Bytes withTrailer = Packed(Request(1));
    withTrailer.push_back(0xEE);
    Bytes truncated = Packed(Request(1));
    truncated.resize(40);

    EXPECT_NE(Submit(SWUDataContainer()), "");  // a well-formed record, for contrast
    ASSERT_TRUE(WaitIdle());
    const std::string resultBefore = StoredKey(swu::kKeyResult);

    EXPECT_EQ(Reply(swu::kCmdSubmitRequest, {0x01, 0x02, 0x03}), "invalid request");
    EXPECT_EQ(Reply(swu::kCmdSubmitRequest, truncated), "invalid request");
    EXPECT_EQ(Reply(swu::kCmdSubmitRequest, withTrailer), "invalid request");
    EXPECT_EQ(Reply(swu::kCmdSubmitRequest, {0xFF, 0xFF, 0xFF, 0xFF}), "invalid request");
    EXPECT_EQ(Reply(swu::kCmdCabinetProgress), "invalid request");
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
    EXPECT_EQ(Events("upgrade_started").size(), 1u);
    EXPECT_EQ(Events("cabinet").size(), 0u);
    EXPECT_EQ(StoredKey(swu::kKeyResult), resultBefore);
    EXPECT_EQ(Events("error").size(), 5u);
}

// ------------------------------------------------------------- scripting

TEST_F(DaemonTest, ForcedReplyReplacesTheAnswerAndTheEffect)
{
    Start({"--no-ota-socket", "--reply", "16393=Maintenance", "--reply", "16386=try later",
           "--reply", "16392="});
    EXPECT_EQ(Reply(swu::kCmdQueryState), "Maintenance");
    EXPECT_EQ(Submit(Request(1)), "try later");
    EXPECT_EQ(Reply(swu::kCmdQueryProgress), "");
    EXPECT_EQ(Reply(swu::kCmdQueryOffset), "success 0") << "other commands keep their answers";
    EXPECT_TRUE(Events("upgrade_started").empty());
    EXPECT_EQ(CallsOf(swu::kCmdSubmitRequest).at(0)["reply"], "try later");
}

TEST_F(DaemonTest, WrongTypeSendsAReplyWithoutValues)
{
    Start({"--no-ota-socket", "--wrong-type", "16393"});
    EXPECT_EQ(Reply(swu::kCmdQueryState), "<type ()>");
    EXPECT_EQ(Reply(swu::kCmdQueryProgress), "success 0");
    auto calls = CallsOf(swu::kCmdQueryState);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["wrong_type"], true);
}

TEST_F(DaemonTest, DelayedReplyDoesNotHoldUpOtherCalls)
{
    Start({"--no-ota-socket", "--delay", "16392=1500"});
    qztest::PeerConnection second;
    auto begin = std::chrono::steady_clock::now();
    auto delayed = std::async(std::launch::async,
                              [&] { return Reply(swu::kCmdQueryProgress, {}, &second); });

    // The held call is journaled on arrival; others are answered meanwhile.
    ASSERT_TRUE(WaitUntil([&] { return !CallsOf(swu::kCmdQueryProgress).empty(); }));
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1400ms);

    EXPECT_EQ(delayed.get(), "success 0");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 1400ms);
}

TEST_F(DaemonTest, StopSignalEndsAHeldReply)
{
    Start({"--no-ota-socket", "--delay", "16393=60000"});
    qztest::PeerConnection second;
    auto held = std::async(std::launch::async,
                           [&] { return Reply(swu::kCmdQueryState, {}, &second); });
    ASSERT_TRUE(WaitUntil([&] { return !CallsOf(swu::kCmdQueryState).empty(); }));
    kill(m_daemon->Pid(), SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return !m_daemon->Running(); }, 3000ms));
    held.get();
    EXPECT_FALSE(Events("stop").empty()) << "the daemon ended cleanly";
}

TEST_F(DaemonTest, ExitAfterEndsTheDaemonByItself)
{
    Start({"--no-ota-socket", "--exit-after", "300"});
    EXPECT_TRUE(WaitUntil([&] { return !m_daemon->Running(); }, 5000ms));
    EXPECT_EQ(Events("stop").size(), 1u);
}

TEST_F(DaemonTest, LosingTheBusEndsTheDaemon)
{
    // A bus of its own, so that this one can go away under the daemon.
    qztest::PrivateBus bus;
    qztest::ScopedEnv address("DBUS_SYSTEM_BUS_ADDRESS", bus.Address());
    Start({"--no-ota-socket"});
    bus.Stop();
    EXPECT_TRUE(WaitUntil([&] { return !m_daemon->Running(); }, 5000ms));
    auto errors = Events("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["what"], "bus connection closed");
}

// Exit status of the daemon run with args, or -1 when it did not exit.
int DaemonExitCode(std::vector<std::string> args)
{
    std::string binary = DaemonProcess::BinaryPath();
    std::vector<char*> argv{binary.data()};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    gint status = 0;
    auto quiet = static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
    if (!g_spawn_sync(nullptr, argv.data(), nullptr, quiet, nullptr, nullptr, nullptr, nullptr,
                      &status, nullptr))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Needs no bus: every case ends while parsing, before the daemon connects.
TEST(NoBusDaemonCommandLine, RejectsUnusableOptionsWithUsageStatus)
{
    EXPECT_EQ(DaemonExitCode({"--help"}), 0);
    EXPECT_EQ(DaemonExitCode({"--reply", "nonumber"}), 2);
    EXPECT_EQ(DaemonExitCode({"--delay", "16392=soon"}), 2);
    EXPECT_EQ(DaemonExitCode({"--wrong-type", "x"}), 2);
    EXPECT_EQ(DaemonExitCode({"--upgrade-ms", "-5"}), 2);
    EXPECT_EQ(DaemonExitCode({"stray"}), 2);
}

// ------------------------------------------------------------- OTA stream

TEST_F(DaemonTest, OtaSocketIsBoundToTheFullPaddedAddress)
{
    StartWithOtaSocket();
    OtaConnection full;
    EXPECT_TRUE(full.Connected()) << strerror(full.Error());
    // The same name without the zero fill is another abstract address.
    OtaConnection shortName(offsetof(sockaddr_un, sun_path) + 1 + strlen(swu::kOTASocketName));
    EXPECT_FALSE(shortName.Connected());
    EXPECT_EQ(shortName.Error(), ECONNREFUSED);
}

TEST_F(DaemonTest, PlannedImageIsReassembledByteForByte)
{
    StartWithOtaSocket();
    ASSERT_EQ(Submit(OtaPlanRequest("1 4080;2 116;", 4196)), "success");
    auto plans = Events("ota_plan");
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0]["segments"], "1 4080;2 116;");
    EXPECT_EQ(plans[0]["total"], 4196);
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus") << "an OTA upload runs no timed upgrade";

    Bytes image = Pattern(4196, 7);
    Bytes first(image.begin(), image.begin() + 4080);
    Bytes second(image.begin() + 4080, image.end());
    OtaConnection stream;
    ASSERT_TRUE(stream.Connected());
    // Odd-sized writes put frame boundaries in the middle of reads; the bus
    // is asked between them.
    ASSERT_TRUE(stream.Write(Frame(4080, -2, 0x01020304, 258, first), 1000));
    ASSERT_TRUE(WaitForEvents("frame", 1));
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
    ASSERT_TRUE(stream.Write(Frame(116, 0, 1, 2, second), 777));

    ASSERT_TRUE(WaitForEvents("ota_image", 1));
    auto frames = Events("frame");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0]["size"], 4080);
    EXPECT_EQ(frames[0]["arg4"], -2);
    EXPECT_EQ(frames[0]["arg5"], 0x01020304);
    EXPECT_EQ(frames[0]["arg1"], 258);
    EXPECT_EQ(frames[0]["payload_len"], 4080);
    EXPECT_EQ(frames[1]["payload_len"], 116);
    EXPECT_EQ(frames[1]["planned"], true);

    auto done = Events("ota_image").at(0);
    EXPECT_EQ(done["bytes"], 4196);
    EXPECT_EQ(done["sha256"], Sha256(image));
    EXPECT_EQ(done["path"], ImagePath());
    EXPECT_EQ(done["trigger"], "complete");
    std::string written = qztest::ReadFile(ImagePath());
    EXPECT_TRUE(written == std::string(image.begin(), image.end())) << "image differs";
}

TEST_F(DaemonTest, FramesWithoutAPlanAreCountedAndEndWithTheClient)
{
    StartWithOtaSocket();
    Bytes a = Pattern(10, 1);
    Bytes b = Pattern(20, 2);
    {
        OtaConnection stream;
        ASSERT_TRUE(stream.Connected());
        ASSERT_TRUE(stream.Write(Frame(10, 0, 0, 1, a)));
        ASSERT_TRUE(stream.Write(Frame(20, 0, 0, 2, b)));
        ASSERT_TRUE(WaitForEvents("frame", 2));
    }
    ASSERT_TRUE(WaitForEvents("ota_image", 1));
    auto frames = Events("frame");
    EXPECT_EQ(frames[0]["planned"], false);
    EXPECT_EQ(frames[1]["frames_without_plan"], 2);
    auto done = Events("ota_image").at(0);
    EXPECT_EQ(done["trigger"], "disconnect");
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(done["bytes"], 30);
    EXPECT_EQ(done["sha256"], Sha256(both));
}

TEST_F(DaemonTest, ClientLeavingMidFrameLosesOnlyThatFrame)
{
    StartWithOtaSocket();
    {
        OtaConnection stream;
        ASSERT_TRUE(stream.Connected());
        Bytes partial = Frame(50, 0, 0, 2, Pattern(50, 3));
        partial.resize(100);
        ASSERT_TRUE(stream.Write(Frame(8, 0, 0, 1, Pattern(8, 4))));
        ASSERT_TRUE(stream.Write(partial));
        ASSERT_TRUE(WaitForEvents("frame", 1));
    }
    ASSERT_TRUE(WaitUntil([&] {
        for (auto& e : Events("error"))
            if (e["what"] == "partial frame dropped")
                return e["bytes"] == 100;
        return false;
    }));
    EXPECT_EQ(Events("frame").size(), 1u);
    EXPECT_EQ(Events("ota_image").at(0)["bytes"], 8);

    // Still serving: the bus and a new stream.
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
    OtaConnection next;
    ASSERT_TRUE(next.Connected());
    ASSERT_TRUE(next.Write(Frame(1, 0, 0, 3, {0x42})));
    EXPECT_TRUE(WaitForEvents("frame", 2));
}

TEST_F(DaemonTest, OutOfRangeLengthsAreClampedToTheFrame)
{
    StartWithOtaSocket();
    OtaConnection stream;
    ASSERT_TRUE(stream.Connected());
    ASSERT_TRUE(stream.Write(Frame(5000, 0, 0, 1, Pattern(kPayloadCapacity, 5))));
    ASSERT_TRUE(stream.Write(Frame(-7, 0, 0, 2, {})));
    ASSERT_TRUE(WaitForEvents("frame", 2));
    auto frames = Events("frame");
    EXPECT_EQ(frames[0]["size"], 5000);
    EXPECT_EQ(frames[0]["payload_len"], 4080);
    EXPECT_EQ(frames[1]["size"], -7);
    EXPECT_EQ(frames[1]["payload_len"], 0);
}

TEST_F(DaemonTest, SeveralClientsAreServedAtOnce)
{
    StartWithOtaSocket();
    OtaConnection one;
    OtaConnection two;
    ASSERT_TRUE(one.Connected());
    ASSERT_TRUE(two.Connected());
    ASSERT_TRUE(two.Write(Frame(3, 0, 0, 20, {1, 2, 3})));
    ASSERT_TRUE(one.Write(Frame(2, 0, 0, 10, {4, 5})));
    ASSERT_TRUE(WaitForEvents("frame", 2));
    auto frames = Events("frame");
    EXPECT_NE(frames[0]["client"], frames[1]["client"]);
    std::set<int> args{frames[0]["arg1"].get<int>(), frames[1]["arg1"].get<int>()};
    EXPECT_EQ(args, (std::set<int>{10, 20}));
}

}  // namespace
