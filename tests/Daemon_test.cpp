// The reference upgrade daemon, driven as a separate process over the
// private bus and through its OTA stream socket.
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
using nlohmann::json;
using qztest::WaitUntil;
namespace swu = qz::swu;

// A packed record; the requester doubles as the value of a cabinet report.
Bytes Request(int32_t requester, const std::string& fileName = "fw.bin", uint32_t total = 1000,
              const std::string& softwareId = "")
{
    SWUDataContainer record;
    record.m_strSoftwareID = softwareId, record.m_strFileName = fileName;
    record.m_lTotalBytes = total, record.m_nProductType = requester;
    QzPack pack;
    record.Serialize(pack);
    return Bytes(pack.GetData(), pack.GetData() + pack.GetSize());
}

std::string StoredKey(const char* key)
{
    g_autofree char* value = vconf_get_str(key);
    return value ? value : "";
}

Bytes Pattern(size_t length, unsigned seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>((i * 31 + seed) % 251);
    return bytes;
}

std::string Sha256(const Bytes& data)
{
    g_autofree gchar* hex =
        g_compute_checksum_for_data(G_CHECKSUM_SHA256, data.data(), data.size());
    return hex;
}

// One 4096-byte frame as the client library writes it: big-endian length,
// arg4, arg5, arg1, then at most 4080 payload bytes and zero fill.
Bytes Frame(int32_t size, int32_t arg4, int32_t arg5, int32_t arg1, const Bytes& payload)
{
    Bytes frame(4096, 0);
    const uint32_t header[] = {uint32_t(size), uint32_t(arg4), uint32_t(arg5), uint32_t(arg1)};
    for (size_t i = 0; i < 16; ++i)
        frame[i] = static_cast<unsigned char>(header[i / 4] >> (24 - 8 * (i % 4)));
    std::copy_n(payload.begin(), std::min<size_t>(payload.size(), 4080), frame.begin() + 16);
    return frame;
}

// Every field of want is in the journal event with the same value; for an
// array of wants, as many events, each with the fields of its want.
::testing::AssertionResult Fields(const json& event, const json& want)
{
    using ::testing::AssertionFailure;
    if (!want.is_array()) {
        for (const auto& [key, value] : want.items())
            if (!event.contains(key) || event[key] != value)
                return AssertionFailure() << event.dump() << " lacks " << key << "=" << value;
    } else if (!event.is_array() || event.size() != want.size()) {
        return AssertionFailure() << event.dump() << " is not " << want.size() << " events";
    }
    for (size_t i = 0; want.is_array() && i < want.size(); ++i)
        if (auto result = Fields(event[i], want[i]); !result)
            return result;
    return ::testing::AssertionSuccess();
}

// A stream connection to the OTA socket with the full sockaddr_un, as the
// client library connects, or a shorter one to probe the bound name.
struct OtaConnection {
    explicit OtaConnection(socklen_t addressLength = sizeof(sockaddr_un))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path + 1, swu::kOTASocketName, strlen(swu::kOTASocketName));
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), addressLength) != 0)
            error = errno;
    }
    ~OtaConnection() { close(fd); }
    // Writes in pieces of the given size, so that frames cross the daemon's reads.
    bool Write(const Bytes& data, size_t piece = SIZE_MAX)
    {
        for (size_t at = 0; at < data.size();) {
            ssize_t n = send(fd, &data[at], std::min(piece, data.size() - at), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int error = 0;
};

class DaemonTest : public ::testing::Test {
protected:
    // With the OTA socket, waits until this daemon, not another process,
    // holds the socket name.
    void Start(std::vector<std::string> args, bool otaSocket = false)
    {
        args.insert(args.end(), {"--ota-output", ImagePath()});
        if (!otaSocket)
            args.push_back("--no-ota-socket");
        m_daemon = std::make_unique<qztest::DaemonProcess>(args);
        if (otaSocket) {
            ASSERT_TRUE(WaitForEvents("ota_listening", 1, 10000ms)) << "no OTA socket name";
        }
    }

    std::string ImagePath() const { return m_dir.File("ota.bin"); }

    // The text reply, or a marker naming what came back instead.
    std::string Text(const char* method, GVariant* params, qztest::PeerConnection* peer = nullptr)
    {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply =
            (peer ? *peer : m_peer).Call(qztest::kDaemonBusName, method, params, &error);
        if (reply == nullptr)
            return std::string("<error: ") + error->message + ">";
        if (!g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)")))
            return std::string("<type ") + g_variant_get_type_string(reply) + ">";
        const char* text = nullptr;
        g_variant_get(reply, "(&s)", &text);
        return text;
    }

    std::string Reply(int command, const Bytes& payload = {}, qztest::PeerConnection* peer = {})
    {
        static const guchar kNone = 0;
        GVariant* bytes = g_variant_new_fixed_array(
            G_VARIANT_TYPE_BYTE, payload.empty() ? &kNone : payload.data(), payload.size(), 1);
        return Text("SendByteMessageWithRet", g_variant_new("(i@ay)", command, bytes), peer);
    }

    std::string Submit(const Bytes& record) { return Reply(swu::kCmdSubmitRequest, record); }

    bool WaitIdle()
    {
        return WaitUntil([&] { return Reply(swu::kCmdQueryState) == swu::kReplyIdle; });
    }

    std::vector<json> Events(const std::string& kind) const { return m_daemon->Events(kind); }

    bool WaitForEvents(const std::string& kind, size_t count, std::chrono::milliseconds t = 5000ms)
    {
        return WaitUntil([&] { return Events(kind).size() >= count; }, t);
    }

    qztest::KvStoreRoot m_kv;  // before the daemon, which inherits its root
    qztest::TempDir m_dir;
    qztest::PeerConnection m_peer;
    std::unique_ptr<qztest::DaemonProcess> m_daemon;
};

TEST_F(DaemonTest, IdleDaemonAnswersEveryCommandAndJournalsIt)
{
    Start({});
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
    EXPECT_EQ(Reply(swu::kCmdQueryProgress), "success 0");
    EXPECT_EQ(Reply(swu::kCmdQueryOffset), "success 0");
    EXPECT_NE(Reply(swu::kCmdNotifyResult), "success") << "nothing stored to notify";
    EXPECT_EQ(Reply(swu::kCmdCabinetProgress, Request(50)), "success");
    EXPECT_EQ(Reply(swu::kCmdCabinetComplete, Request(-1)), "success");
    EXPECT_EQ(Reply(12345), "unknown command");
    // A method the client never uses on the daemon gets an empty answer.
    EXPECT_EQ(Text("SendShortMessageWithRet", g_variant_new("(ii)", swu::kCmdQueryState, 0)), "");
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus") << "a cabinet report starts nothing";

    auto calls = Events("call");
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_TRUE(Fields(calls[0], {{"method", "SendByteMessageWithRet"}, {"command", 16393},
                                  {"payload", ""}, {"reply", "InitStatus"}}));
    EXPECT_TRUE(Fields(Events("cabinet"), json::array({{{"command", 16390}, {"value", 50}},
                                                       {{"command", 16391}, {"value", -1}}})));
    EXPECT_TRUE(Fields(Events("error"),
                       json::array({{{"command", 12345}, {"what", "unknown command"}},
                                    {{"command", 16393}, {"what", "unexpected short message"}}})));
}

TEST_F(DaemonTest, RequestRunsATimedUpgradeAndStoresItsResult)
{
    Start({"--upgrade-ms", "800"});
    EXPECT_EQ(Submit(Request(1)), "success");
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

    EXPECT_EQ(Events("call").at(0)["payload"], qztest::Hex(Request(1).data(), Request(1).size()));
    EXPECT_TRUE(Fields(Events("request"),
                       json::array({{{"file_name", "fw.bin"}, {"total_bytes", 1000},
                                     {"requester", 1}, {"accepted", true}},
                                    {{"accepted", false}}})));
}

TEST_F(DaemonTest, ResultLabelNotificationAndMalformedRecords)
{
    Start({"--upgrade-ms", "0"});
    const std::pair<int, std::string> cases[] = {
        {1, "ProcJOR"}, {8, "ProcJOR"}, {2, "ProcKAV"}, {9, "ProcKAV"}, {4, "ProcURL"}};
    int id = 0;
    for (const auto& [requester, label] : cases) {
        SCOPED_TRACE(requester);
        ASSERT_EQ(Submit(Request(requester, "a&b.bin")), "success");
        ASSERT_TRUE(WaitIdle());
        // '&' separates the stored fields, so it cannot come through a name.
        EXPECT_EQ(StoredKey(swu::kKeyResult),
                  "true&" + std::to_string(++id) + "&Success&" + label + "&ab.bin");
    }
    EXPECT_EQ(Reply(swu::kCmdNotifyResult), "success");
    EXPECT_EQ(StoredKey(swu::kKeyResult), "false&5&Success&ProcURL&ab.bin");

    // Malformed records: refused, nothing started, stored or recorded.
    Bytes trailer = Request(1), truncated = Request(1), flagTwo = Request(1);
    trailer.push_back(0xEE);
    truncated.resize(40);
    flagTwo[44] = 0x02;  // reads back, but does not pack back to the same bytes
    for (const Bytes& bad : {Bytes{1, 2, 3}, truncated, trailer, flagTwo, Bytes(4, 0xFF)})
        EXPECT_EQ(Reply(swu::kCmdSubmitRequest, bad), "invalid request") << bad.size();
    EXPECT_EQ(Reply(swu::kCmdCabinetProgress), "invalid request");
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
    EXPECT_EQ(Events("upgrade_started").size(), 5u);
    EXPECT_EQ(Events("cabinet").size(), 0u);
    EXPECT_EQ(StoredKey(swu::kKeyResult), "false&5&Success&ProcURL&ab.bin");
    EXPECT_EQ(Events("error").size(), 6u);
}

TEST_F(DaemonTest, ScriptedRepliesDelaysAndWrongTypes)
{
    Start({"--reply", "16393=Maintenance", "--reply", "16386=try later", "--reply", "16392=",
           "--wrong-type", "16389", "--delay", "16392=1500", "--delay", "12345=60000"});
    qztest::PeerConnection second;
    auto begin = std::chrono::steady_clock::now();
    auto delayed = std::async(std::launch::async,
                              [&] { return Reply(swu::kCmdQueryProgress, {}, &second); });
    // The held call is journaled on arrival; others are answered meanwhile.
    ASSERT_TRUE(WaitForEvents("call", 1));
    EXPECT_EQ(Reply(swu::kCmdQueryState), "Maintenance");
    EXPECT_EQ(Submit(Request(1)), "try later");
    EXPECT_EQ(Reply(swu::kCmdNotifyResult), "<type ()>");
    EXPECT_EQ(Reply(swu::kCmdQueryOffset), "success 0") << "other commands keep their answers";
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1400ms);
    EXPECT_EQ(delayed.get(), "");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 1400ms);
    EXPECT_TRUE(Events("upgrade_started").empty());
    auto calls = Events("call");
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_TRUE(Fields(calls[2], {{"command", 16386}, {"reply", "try later"}}));
    EXPECT_TRUE(Fields(calls[3], {{"command", 16389}, {"wrong_type", true}}));

    // A stop signal ends a held reply.
    auto held = std::async(std::launch::async, [&] { return Reply(12345, {}, &second); });
    ASSERT_TRUE(WaitForEvents("call", 6));
    kill(m_daemon->Pid(), SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return !m_daemon->Running(); }, 3000ms));
    held.get();
    EXPECT_FALSE(Events("stop").empty()) << "the daemon ended cleanly";
}

TEST_F(DaemonTest, ExitAfterOrLosingTheBusEndsTheDaemon)
{
    qztest::PrivateBus bus;  // its own, so that it can go away under the daemon
    qztest::ScopedEnv address("DBUS_SYSTEM_BUS_ADDRESS", bus.Address());
    Start({"--exit-after", "300"});
    EXPECT_TRUE(WaitUntil([&] { return !m_daemon->Running(); }));
    EXPECT_EQ(Events("stop").size(), 1u);

    Start({});
    bus.Stop();
    EXPECT_TRUE(WaitUntil([&] { return !m_daemon->Running(); }));
    auto errors = Events("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["what"], "bus connection closed");
}

// Needs no bus: every case ends while parsing, before the daemon connects.
TEST(NoBusDaemonCommandLine, RejectsUnusableOptionsWithUsageStatus)
{
    const std::pair<const char*, int> cases[] = {
        {"--help", 0},         {"--reply nonumber", 2},   {"--delay 16392=soon", 2},
        {"--wrong-type x", 2}, {"--upgrade-ms -5", 2},    {"stray", 2}};
    for (auto [args, code] : cases) {
        g_autofree gchar* binary = g_shell_quote(qztest::DaemonProcess::BinaryPath().c_str());
        g_autofree gchar* out = nullptr;
        g_autofree gchar* err = nullptr;
        gint status = -1;
        ASSERT_TRUE(g_spawn_command_line_sync((std::string(binary) + " " + args).c_str(), &out,
                                              &err, &status, nullptr));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == code) << args << " " << status;
    }
}

TEST_F(DaemonTest, PlannedImageIsReassembledByteForByte)
{
    Start({}, true);
    // The name is bound with the zero fill; without it, it is another address.
    OtaConnection shortName(offsetof(sockaddr_un, sun_path) + 1 + strlen(swu::kOTASocketName));
    EXPECT_EQ(shortName.error, ECONNREFUSED);

    ASSERT_EQ(Submit(Request(7, "", 4196, "1 4080;2 116;")), "success");
    EXPECT_TRUE(Fields(Events("ota_plan"),
                       json::array({{{"segments", "1 4080;2 116;"}, {"total", 4196}}})));
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus") << "an OTA upload runs no timed upgrade";

    Bytes image = Pattern(4196, 7);
    OtaConnection stream;
    ASSERT_EQ(stream.error, 0) << strerror(stream.error);
    // Odd-sized writes put frame boundaries in the middle of reads; the bus
    // is asked between the frames.
    ASSERT_TRUE(stream.Write(Frame(4080, -2, 0x01020304, 258, image), 1000));
    ASSERT_TRUE(WaitForEvents("frame", 1));
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
    ASSERT_TRUE(stream.Write(Frame(116, 0, 1, 2, Bytes(image.begin() + 4080, image.end())), 777));

    ASSERT_TRUE(WaitForEvents("ota_image", 1));
    EXPECT_TRUE(Fields(Events("frame"), json::array({{{"size", 4080}, {"arg4", -2},
                                                      {"arg5", 0x01020304}, {"arg1", 258},
                                                      {"payload_len", 4080}},
                                                     {{"payload_len", 116}, {"planned", true}}})));
    EXPECT_TRUE(Fields(Events("ota_image"), json::array({{{"bytes", 4196},
                                                          {"sha256", Sha256(image)},
                                                          {"path", ImagePath()},
                                                          {"trigger", "complete"}}})));
    EXPECT_TRUE(qztest::ReadFile(ImagePath()) == std::string(image.begin(), image.end()));
}

TEST_F(DaemonTest, UnplannedFramesAreClampedCountedAndEndWithTheirClient)
{
    Start({}, true);
    Bytes a = Pattern(10, 1), full = Pattern(4080, 5), partial = Frame(50, 0, 0, 4, Pattern(50, 3));
    partial.resize(100);
    {
        OtaConnection stream;
        ASSERT_TRUE(stream.Write(Frame(10, 0, 0, 1, a)));
        ASSERT_TRUE(stream.Write(Frame(5000, 0, 0, 2, full)));  // lengths out of range
        ASSERT_TRUE(stream.Write(Frame(-7, 0, 0, 3, {})));
        ASSERT_TRUE(stream.Write(partial));  // and the client leaves in the middle of a frame
        ASSERT_TRUE(WaitForEvents("frame", 3));
    }
    ASSERT_TRUE(WaitForEvents("ota_image", 1));
    EXPECT_TRUE(Fields(Events("error").at(0), {{"what", "partial frame dropped"}, {"bytes", 100}}));
    EXPECT_TRUE(Fields(Events("frame"),
                       json::array({{{"planned", false}},
                                    {{"size", 5000}, {"payload_len", 4080}},
                                    {{"size", -7}, {"payload_len", 0},
                                     {"frames_without_plan", 3}}})));
    a.insert(a.end(), full.begin(), full.end());
    EXPECT_TRUE(Fields(Events("ota_image").at(0),
                       {{"trigger", "disconnect"}, {"bytes", 4090}, {"sha256", Sha256(a)}}));

    // Still serving: the bus, and two new streams at once.
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
    OtaConnection one, two;
    ASSERT_TRUE(two.Write(Frame(3, 0, 0, 20, {1, 2, 3})));
    ASSERT_TRUE(one.Write(Frame(2, 0, 0, 10, {4, 5})));
    ASSERT_TRUE(WaitForEvents("frame", 5));
    auto frames = Events("frame");
    EXPECT_NE(frames[3]["client"], frames[4]["client"]);
    std::set<int> args{frames[3]["arg1"].get<int>(), frames[4]["arg1"].get<int>()};
    EXPECT_EQ(args, (std::set<int>{10, 20}));
}

}  // namespace
