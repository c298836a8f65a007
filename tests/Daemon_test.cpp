// The reference upgrade daemon as a separate process, driven over the bus and its OTA socket.
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vconf.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "SWUContract.h"
#include "SWUInterfaceData.h"
#include "TestSupport.h"

namespace {

using testing::HasSubstr;

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
namespace swu = qz::swu;
namespace fs = std::filesystem;

// A packed record; the requester doubles as the value of a cabinet report.
Bytes Request(int32_t requester, uint32_t total = 1000, const std::string& softwareId = "")
{
    SWUDataContainer record;
    record.m_strSoftwareID = softwareId;
    record.m_strFileName = "fw.bin";
    record.m_lTotalBytes = total;
    record.m_nProductType = requester;
    QzPack pack;
    record.Serialize(pack);
    return Bytes(pack.GetData(), pack.GetData() + pack.GetSize());
}

std::string StoredKey(const char* key)
{
    g_autofree char* value = vconf_get_str(key);
    return value ? value : "";
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One 4096-byte frame: big-endian length, arg4, arg5, arg1, payload, zero fill.
Bytes Frame(int32_t size, int32_t arg4, int32_t arg5, int32_t arg1, Bytes payload)
{
    Bytes frame;
    for (uint32_t word : {uint32_t(size), uint32_t(arg4), uint32_t(arg5), uint32_t(arg1)})
        for (int shift = 24; shift >= 0; shift -= 8)
            frame.push_back(static_cast<unsigned char>(word >> shift));
    payload.resize(4080);
    return frame + payload;
}
const Bytes kSmallFrame = Frame(10, 0, 0, 1, Bytes(10, 7));

// Bytes that differ from frame to frame, so that a lost or misplaced frame shows.
Bytes Image(size_t size)
{
    Bytes image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<unsigned char>(i * 31 % 251);
    return image;
}

// Full frames [first, first + count) of an image, in segment 1 with their offsets in arg4.
Bytes Frames(const Bytes& image, size_t first, size_t count = 1)
{
    Bytes stream;
    for (size_t at = first * 4080; at < (first + count) * 4080; at += 4080)
        stream =
            stream + Frame(4080, at, 0, 1, Bytes(image.begin() + at, image.begin() + at + 4080));
    return stream;
}

// Connects with the full address, zero fill included, as the client library does; -1 when
// nobody listens (or, for a non-blocking socket, the backlog is full).
int ConnectOta(int flags = 0)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, swu::kOTASocketName, strlen(swu::kOTASocketName));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends in pieces of the given size, so that frames cross the daemon's reads.
void SendAll(int fd, const Bytes& stream, size_t piece = 4096)
{
    for (size_t at = 0, n; at < stream.size(); at += n) {
        n = std::min(piece, stream.size() - at);
        EXPECT_EQ(send(fd, &stream[at], n, MSG_NOSIGNAL), ssize_t(n));
    }
}

// Whether the daemon closes the connection (the read sees its end) within a bounded wait.
bool ClosedByTheDaemon(int fd)
{
    pollfd readable{fd, POLLIN, 0};
    char byte;
    return poll(&readable, 1, 10000) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

int SendOta(const Bytes& stream, size_t piece = 4096)
{
    int fd = ConnectOta();
    EXPECT_GE(fd, 0);
    SendAll(fd, stream, piece);
    return fd;
}

class DaemonTest : public ::testing::Test {
protected:
    void Start(std::vector<std::string> args, bool withOutput = true)
    {
        if (withOutput)
            args.insert(args.end(), {"--ota-output", m_dir.File("ota.bin")});
        m_daemon = std::make_unique<qztest::DaemonProcess>(args);
        ASSERT_TRUE(Reaches("ota_listening", 1));
    }
    std::vector<nlohmann::json> Events(const char* kind) { return m_daemon->Events(kind); }
    // Announces an image of whole frames as one segment, as this process.
    void Plan(const Bytes& image)
    {
        const std::string size = std::to_string(image.size());
        ASSERT_EQ(Reply(swu::kCmdSubmitRequest, Request(7, image.size(), "1 " + size + ";")),
                  "success");
    }
    // Plans and sends a whole image on a connection of its own, and waits until it is stored.
    void Upload(const Bytes& image)
    {
        const size_t before = Events("ota_image").size();
        Plan(image);
        int fd = SendOta(Frames(image, 0, image.size() / 4080), 64 * 1024);
        ASSERT_TRUE(Reaches("ota_image", before + 1));
        close(fd);
        ASSERT_EQ(Events("ota_image").back()["state"], "complete");
    }
    // The client's "closed" line, once the daemon has closed it.
    std::optional<nlohmann::json> Closed(unsigned client)
    {
        for (const auto& entry : Events("ota_client"))
            if (entry.value("state", "") == "closed" && entry.value("client", 0u) == client)
                return entry;
        return std::nullopt;
    }
    bool ClosedIn(unsigned client, const char* reason)
    {
        return qztest::WaitUntil([&] {
            auto closed = Closed(client);
            return closed && (*closed)["reason"] == reason;
        });
    }
    // What the folder of the output holds besides the image: temporary files left behind.
    size_t FilesBesideTheImage()
    {
        return std::distance(fs::directory_iterator(m_dir.Path()), {}) -
               (fs::exists(m_dir.File("ota.bin")) ? 1 : 0);
    }
    bool Reaches(const char* kind, size_t count)
    {
        return qztest::WaitUntil([&] { return Events(kind).size() == count; });
    }
    // The image as the journal's hash of it and as the written file.
    void ExpectImage(const Bytes& image, size_t index = 0)
    {
        g_autofree gchar* sha =
            g_compute_checksum_for_data(G_CHECKSUM_SHA256, image.data(), image.size());
        EXPECT_EQ(Events("ota_image").at(index)["sha256"], sha);
        EXPECT_TRUE(qztest::ReadFile(m_dir.File("ota.bin")) ==
                    std::string(image.begin(), image.end()));
    }

    std::string Reply(int command, const Bytes& payload = {})
    {
        GVariant* bytes =
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, payload.data(), payload.size(), 1);
        g_autoptr(GVariant) reply = m_peer.Call(qztest::kDaemonBusName, "SendByteMessageWithRet",
                                                g_variant_new("(i@ay)", command, bytes), nullptr);
        const char* text = "<no text reply>";
        if (reply && g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)")))
            g_variant_get(reply, "(&s)", &text);
        return text;
    }

    qztest::KvStoreRoot m_kv;  // before the daemon, which inherits its root
    qztest::TempDir m_dir;
    qztest::PeerConnection m_peer;
    std::unique_ptr<qztest::DaemonProcess> m_daemon;
};

TEST_F(DaemonTest, CommandsDriveATimedUpgradeThatStoresItsResult)
{
    Start({"--upgrade-ms", "800"});
    EXPECT_EQ(Reply(swu::kCmdCabinetProgress, Request(50)), "success");
    EXPECT_EQ(Events("cabinet").at(0)["value"], 50);
    EXPECT_EQ(Reply(12345), "unknown command");
    EXPECT_EQ(Reply(swu::kCmdSubmitRequest, {1, 2, 3}), "invalid request");

    const std::pair<int, const char*> labels[] = {
        {1, "ProcJOR"}, {8, "ProcJOR"}, {2, "ProcKAV"}, {9, "ProcKAV"}};
    int id = 0;
    for (auto [requester, label] : labels) {
        SCOPED_TRACE(requester);
        ASSERT_EQ(Reply(swu::kCmdSubmitRequest, Request(requester)), "success");
        EXPECT_EQ(Reply(swu::kCmdQueryState), "InProgressStatus");
        EXPECT_EQ(Reply(swu::kCmdSubmitRequest, Request(requester)), "busy");
        ASSERT_TRUE(qztest::WaitUntil([&] { return Reply(swu::kCmdQueryState) == "InitStatus"; }));
        std::string rest = "&" + std::to_string(++id) + "&Success&" + label + "&fw.bin";
        EXPECT_EQ(StoredKey(swu::kKeyResult), "true" + rest);
        EXPECT_EQ(StoredKey(swu::kKeyProgress), "100");
        EXPECT_EQ(Reply(swu::kCmdQueryProgress), "success 100");
        EXPECT_EQ(Reply(swu::kCmdQueryOffset), "success 1000");
        EXPECT_EQ(Reply(swu::kCmdNotifyResult), "success");
        EXPECT_EQ(StoredKey(swu::kKeyResult), "false" + rest);
    }
}

// First a client without a plan whose frame is too long and that leaves in the middle of the
// next one: read and dropped. Then a planned image, in odd-sized pieces.
TEST_F(DaemonTest, OtaStreamSurvivesBadClientsAndReassemblesAPlannedImage)
{
    Start({});
    close(SendOta(Frame(5000, 0, 0, 1, Bytes(4080, 9)) + Bytes(100, 1)));
    ASSERT_TRUE(qztest::WaitUntil([&] { return Closed(1).has_value(); }));
    EXPECT_EQ(Closed(1)->value("unplanned_frames", 0), 1);
    auto unplanned = Events("frame").at(0);
    EXPECT_EQ(std::make_tuple(unplanned["payload_len"], unplanned["planned"], unplanned["accepted"],
                              unplanned["frames_without_plan"]),
              std::make_tuple(4080, false, false, 1));
    EXPECT_EQ(Events("error").at(0)["what"], "frame without a plan dropped");
    EXPECT_EQ(Events("error").at(1)["what"], "partial frame dropped");
    EXPECT_TRUE(Events("ota_image").empty());

    ASSERT_EQ(Reply(swu::kCmdSubmitRequest, Request(7, 4196, "1 4080;2 116;")), "success");
    Bytes image = Image(4196);
    int fd = SendOta(Frame(4080, -2, 0x01020304, 258, Bytes(image.begin(), image.begin() + 4080)) +
                         Frame(116, 0, 1, 2, Bytes(image.begin() + 4080, image.end())),
                     777);
    ASSERT_TRUE(Reaches("ota_image", 1)) << "the image is complete by its plan, client or not";
    close(fd);
    EXPECT_EQ(Events("frame").at(1)["arg5"], 0x01020304);
    EXPECT_EQ(Events("frame").at(1)["arg1"], 258);
    // One summary per run of frames with the same first argument, the last
    // one written when the image completes.
    const auto segments = Events("ota_segment");
    const auto summary = [](const nlohmann::json& s) {
        return std::vector<int64_t>{s["arg1"], s["frames"], s["payload_bytes"], s["first_arg4"],
                                    s["last_arg4"]};
    };
    ASSERT_EQ(segments.size(), 2u) << "dropped frames make no segment";
    EXPECT_EQ(summary(segments.at(0)), std::vector<int64_t>({258, 1, 4080, -2, -2}));
    EXPECT_EQ(summary(segments.at(1)), std::vector<int64_t>({2, 1, 116, 0, 0}));
    auto stored = Events("ota_image").at(0);
    EXPECT_EQ(std::make_tuple(stored["state"], stored["bytes"], stored["planned"],
                              stored["trigger"], stored["written"]),
              std::make_tuple("complete", 4196, 4196, "complete", true));
    ExpectImage(image);
}

// A plan must have something to receive, and its sizes must add up to the request's total.
TEST_F(DaemonTest, PlansThatCannotBeReceivedAreRefused)
{
    Start({});
    const std::pair<uint32_t, const char*> plans[] = {
        {0, "1 0;"}, {1, "1 -1;2 2;"}, {4000, "1 4080;"}, {10, "1 x;"}, {10, ""}};
    for (const auto& [total, text] : plans) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Reply(swu::kCmdSubmitRequest, Request(7, total, text)), "invalid plan");
    }
    EXPECT_TRUE(Events("ota_plan").empty());
    EXPECT_EQ(Events("error").size(), std::size(plans));
}

TEST_F(DaemonTest, SecondDaemonExitsAtOnceWhileTheFirstKeepsItsName)
{
    Start({});
    qztest::DaemonProcess second({"--ota-output", m_dir.File("second.bin")}, false);
    EXPECT_EQ(second.ExitStatus(5s), 1) << "the second daemon waits for the name";
    std::string holder = "cannot take the bus name: owned by " +
                         m_peer.NameOwner(qztest::kDaemonBusName) + " (pid " +
                         std::to_string(m_daemon->Pid()) + ")";
    EXPECT_EQ(second.Events("error").at(0)["what"], holder);
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus") << "the first daemon still serves";
}

// More than one of the writer's 1 MiB blocks (300 frames, 1,224,000 bytes), ending off the
// direct-write boundary: the file holds exactly the bytes sent.
TEST_F(DaemonTest, LargeImageIsWrittenWholeAcrossBlocks)
{
    Start({});
    Bytes image = Image(300 * 4080);
    Upload(image);
    ExpectImage(image);
}

// A second connection's frames while a planned image is being assembled: dropped, whether
// they come before the owner's last frame or in the middle of the stream.
TEST_F(DaemonTest, FramesFromASecondConnectionNeverEnterTheImage)
{
    Start({});
    ASSERT_EQ(Reply(swu::kCmdSubmitRequest, Request(7, 3 * 4080, "1 12240;")), "success");
    Bytes image = Image(3 * 4080), foreign = Frame(4080, 4080, 0, 1, Bytes(4080, 0xee));
    int owner = SendOta(Frames(image, 0));
    ASSERT_TRUE(Reaches("frame", 1));
    int intruder = SendOta(foreign, 100);
    ASSERT_TRUE(Reaches("error", 1));
    EXPECT_EQ(Events("error").at(0)["what"], "frame from another connection dropped");
    SendAll(owner, Frames(image, 1));
    SendAll(intruder, foreign);
    SendAll(owner, Frames(image, 2));
    ASSERT_TRUE(Reaches("ota_image", 1));
    ExpectImage(image);
    close(owner);
    close(intruder);
}

// Sends a stream from a process of its own, of the same user, on a connection it keeps open
// until the returned pipe end is closed.
struct ForkedSender {
    explicit ForkedSender(const Bytes& stream, int connections = 1)
    {
        int sent[2], hold[2];
        if (pipe(sent) != 0 || pipe(hold) != 0)
            throw std::runtime_error("pipe failed");
        pid = qztest::ForkChild([&] {
            close(sent[0]);
            close(hold[1]);
            for (int i = 0; i < connections; ++i)
                SendOta(stream);
            char done = 1;
            write(sent[1], &done, 1);
            read(hold[0], &done, 1);
        });
        close(sent[1]);
        close(hold[0]);
        char done = 0;
        ready = read(sent[0], &done, 1) == 1;
        close(sent[0]);
        release = hold[1];
    }
    ~ForkedSender()
    {
        close(release);
        qztest::WaitForChild(pid);
    }
    pid_t pid = -1;
    int release = -1;
    bool ready = false;
};

// Once a plan is open, frames sent before the planner's own connection is there (during the
// client's pause after the plan) come from another process of the same user, or from a
// connection of the planner opened before its plan: none of them takes the image.
TEST_F(DaemonTest, OnlyThePlanningProcessConnectionFeedsItsImage)
{
    Start({});
    const Bytes image = Image(3 * 4080), injected = Frames(Image(4 * 4080), 1, 2);
    int early = ConnectOta();
    ASSERT_TRUE(Reaches("ota_client", 1));
    Plan(image);
    auto other = std::make_unique<ForkedSender>(injected);
    ASSERT_TRUE(other->ready);
    SendAll(early, injected);
    ASSERT_TRUE(qztest::WaitUntil([&] { return Events("frame").size() == 4; }));
    int planner = SendOta(Frames(image, 0, 3));
    ASSERT_TRUE(Reaches("ota_image", 1));
    ExpectImage(image);
    close(planner);
    other.reset();  // its copy of the early connection goes with it
    close(early);
    ASSERT_TRUE(qztest::WaitUntil([&] { return Closed(1).has_value(); }));
    EXPECT_EQ(Closed(1)->value("foreign_frames", 0), 2) << "the planner's early connection";
    std::set<unsigned> refused;
    for (const auto& error : Events("error"))
        if (error["what"] == "frame from outside the planning process dropped")
            refused.insert(error.value("client", 0u));
    EXPECT_EQ(refused, std::set<unsigned>({1, 2}));
}

// Submits a request from a process of its own (dbus-send); its reply text, or "".
std::string ReplyFromAnotherProcess(int command, const Bytes& payload)
{
    std::string bytes;
    for (unsigned char b : payload)
        bytes += (bytes.empty() ? "" : ",") + std::to_string(b);
    std::vector<std::string> argv{"dbus-send",
                                  "--system",
                                  "--print-reply=literal",
                                  std::string("--dest=") + qztest::kDaemonBusName,
                                  qztest::kObjectPath,
                                  std::string(qztest::kInterfaceName) + ".SendByteMessageWithRet",
                                  "int32:" + std::to_string(command),
                                  "array:byte:" + bytes};
    std::vector<char*> cargv;
    for (auto& arg : argv)
        cargv.push_back(arg.data());
    cargv.push_back(nullptr);
    g_autofree gchar* out = nullptr;
    if (!g_spawn_sync(nullptr, cargv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                      nullptr, nullptr, nullptr))
        return "";
    return g_strstrip(out);
}

// The bus names the process behind each call: a plan sent by another process is that
// process's, whatever calls of other shapes (refused, malformed, without an interface name)
// arrive around it.
TEST_F(DaemonTest, PlanBelongsToTheProcessThatSentIt)
{
    Start({});
    const Bytes image = Image(2 * 4080);
    const std::string size = std::to_string(image.size());
    const Bytes plan = Request(7, image.size(), "1 " + size + ";");
    // Never served: GDBus finds no object for a call without an interface name.
    const auto callWithoutInterface = [&](const char* method, GVariant* args) -> std::string {
        g_autoptr(GDBusMessage) call = g_dbus_message_new_method_call(
            qztest::kDaemonBusName, qztest::kObjectPath, nullptr, method);
        g_dbus_message_set_body(call, args);
        g_autoptr(GDBusMessage) reply = g_dbus_connection_send_message_with_reply_sync(
            m_peer.Get(), call, G_DBUS_SEND_MESSAGE_FLAGS_NONE, 5000, nullptr, nullptr, nullptr);
        const bool answered = reply != nullptr && g_dbus_message_get_message_type(reply) ==
                                                      G_DBUS_MESSAGE_TYPE_METHOD_RETURN;
        GVariant* body = answered ? g_dbus_message_get_body(reply) : nullptr;
        const char* text = "";
        if (body != nullptr && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)")))
            g_variant_get(body, "(&s)", &text);
        return std::string(text);
    };
    GVariant* noBytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, nullptr, 0, 1);
    EXPECT_EQ(callWithoutInterface("SendByteMessageWithRet",
                                   g_variant_new("(i@ay)", swu::kCmdQueryState, noBytes)),
              "");
    GVariant* wrongShape = g_variant_new("(i)", swu::kCmdQueryState);
    g_autoptr(GVariant) refused =
        m_peer.Call(qztest::kDaemonBusName, "SendByteMessageWithRet", wrongShape, nullptr);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(Reply(swu::kCmdQueryState), "InitStatus");
    ASSERT_EQ(ReplyFromAnotherProcess(swu::kCmdSubmitRequest, plan), "success");
    EXPECT_NE(Events("ota_plan").at(0).value("pid", 0), getpid());

    int fd = SendOta(Frames(image, 0, 2));
    ASSERT_TRUE(Reaches("error", 1));
    EXPECT_EQ(Events("error").at(0)["what"], "frame from outside the planning process dropped");
    close(fd);

    ASSERT_EQ(Reply(swu::kCmdSubmitRequest, plan), "success");
    EXPECT_EQ(Events("ota_plan").at(1).value("pid", 0), getpid());
    fd = SendOta(Frames(image, 0, 2));
    ASSERT_TRUE(Reaches("ota_image", 1));
    ExpectImage(image);
    close(fd);
}

// The byte method without a reply runs the same handler as the plan's. One of them still
// waiting when another process's plan arrives (the daemon is stopped meanwhile, so that both
// wait) leaves that plan its own process's.
TEST_F(DaemonTest, ByteCallsWithoutReplyDoNotShiftWhoseThePlanIs)
{
    Start({});
    const Bytes plan = Request(7, 100, "1 100;");
    ASSERT_EQ(kill(m_daemon->Pid(), SIGSTOP), 0);
    g_autoptr(GDBusMessage) call =
        g_dbus_message_new_method_call(qztest::kDaemonBusName, qztest::kObjectPath,
                                       qztest::kInterfaceName, "SendByteMessageWithoutRet");
    GVariant* none = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, nullptr, 0, 1);
    g_dbus_message_set_body(call, g_variant_new("(i@ay)", swu::kCmdQueryState, none));
    g_dbus_message_set_flags(call, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    ASSERT_TRUE(g_dbus_connection_send_message(m_peer.Get(), call, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                               nullptr, nullptr));
    g_dbus_connection_flush_sync(m_peer.Get(), nullptr, nullptr);
    std::string answer;
    std::thread other([&] { answer = ReplyFromAnotherProcess(swu::kCmdSubmitRequest, plan); });
    // Time for the other process to start and send; there is nothing to poll for it.
    std::this_thread::sleep_for(500ms);
    kill(m_daemon->Pid(), SIGCONT);
    other.join();
    EXPECT_EQ(answer, "success");
    ASSERT_EQ(Events("ota_plan").size(), 1u);
    EXPECT_NE(Events("ota_plan").at(0).value("pid", 0), getpid());
}

// Frames with no plan open, before or after a stored image, never replace it.
TEST_F(DaemonTest, FramesWithoutAPlanNeverReplaceTheStoredImage)
{
    Start({});
    const Bytes image = Image(2 * 4080);
    Upload(image);
    const Bytes stray = Image(300 * 4080);
    close(SendOta(Frames(stray, 0, 300), 64 * 1024));
    ASSERT_TRUE(qztest::WaitUntil([&] { return Closed(2).has_value(); }));
    EXPECT_EQ(Closed(2)->value("unplanned_frames", 0), 300);
    EXPECT_EQ(Events("ota_image").size(), 1u);
    ExpectImage(image);
    EXPECT_EQ(FilesBesideTheImage(), 0u);
}

// However an image ends before its planned total, it is dropped: the stored image stays, no
// temporary file is left, and the journal says how far it got.
TEST_F(DaemonTest, ImageCutShortIsDroppedAndTheStoredOneKept)
{
    Start({});
    const Bytes stored = Image(2 * 4080);
    Upload(stored);
    const Bytes next = Image(5 * 4080);
    const std::pair<const char*, std::function<void(int)>> endings[] = {
        {"disconnect", [](int fd) { close(fd); }},
        {"new plan", [&](int) { Plan(next); }},
    };
    std::vector<int> open;
    for (const auto& [trigger, end] : endings) {
        SCOPED_TRACE(trigger);
        const size_t images = Events("ota_image").size();
        Plan(next);
        // A frame and a half: the half frame never counts.
        int fd = SendOta(Frames(next, 0, 1) + Bytes(2000, 1));
        ASSERT_TRUE(qztest::WaitUntil([&] { return FilesBesideTheImage() == 1; }));
        end(fd);
        open.push_back(fd);
        ASSERT_TRUE(Reaches("ota_image", images + 1));
        auto cut = Events("ota_image").back();
        EXPECT_EQ(std::make_tuple(cut["state"], cut["bytes"], cut["planned"], cut["trigger"],
                                  cut["written"]),
                  std::make_tuple("incomplete", 4080, 5 * 4080, trigger, false));
        EXPECT_FALSE(cut.contains("sha256"));
        EXPECT_EQ(FilesBesideTheImage(), 0u);
        ExpectImage(stored);
    }
    for (size_t i = 1; i < open.size(); ++i)
        close(open[i]);
    // The silent case is the idle time-out's (SilentConnectionsAreClosedAfterTheIdleTime).
}

// Past the cap a connection is closed at once; the planner's still gets in, in place of the
// connection that has been silent longest.
TEST_F(DaemonTest, ConnectionsBeyondTheCapAreRefusedExceptThePlanners)
{
    Start({"--ota-max-connections", "2"});
    ForkedSender holder(Bytes{}, 2);
    ASSERT_TRUE(holder.ready);
    ASSERT_TRUE(Reaches("ota_client", 2));
    int refused = ConnectOta();
    EXPECT_TRUE(ClosedByTheDaemon(refused));
    close(refused);
    EXPECT_EQ(Events("ota_client").back()["reason"], "too many connections");

    const Bytes image = Image(2 * 4080);
    Plan(image);
    int planner = SendOta(Frames(image, 0, 2));
    ASSERT_TRUE(Reaches("ota_image", 1));
    ExpectImage(image);
    EXPECT_TRUE(ClosedIn(1, "evicted"));
    close(planner);
}

// A connection silent for the idle time is closed, and the image it was sending is dropped;
// one that keeps sending, however slowly, is not closed.
TEST_F(DaemonTest, SilentConnectionsAreClosedAfterTheIdleTime)
{
    Start({"--ota-idle-ms", "1500"});
    const Bytes image = Image(3 * 4080);
    Plan(image);
    int silent = SendOta(Frames(image, 0) + Bytes(100, 1));
    ASSERT_TRUE(Reaches("frame", 1));
    int talking = ConnectOta();
    ASSERT_TRUE(Reaches("ota_client", 2));
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 2500ms && !Closed(2)) {
        SendAll(talking, kSmallFrame);
        std::this_thread::sleep_for(100ms);  // the pace of a slow sender, not a wait
    }
    EXPECT_TRUE(ClosedIn(1, "idle"));
    EXPECT_FALSE(Closed(2).has_value()) << "closed while it was sending";
    EXPECT_TRUE(ClosedByTheDaemon(silent));
    ASSERT_EQ(Events("ota_image").size(), 1u);
    auto cut = Events("ota_image").at(0);
    EXPECT_EQ(std::make_tuple(cut["state"], cut["bytes"], cut["trigger"]),
              std::make_tuple("incomplete", 4080, "idle"));
    EXPECT_EQ(FilesBesideTheImage(), 0u);
    EXPECT_FALSE(fs::exists(m_dir.File("ota.bin")));
    EXPECT_TRUE(ClosedIn(2, "idle"));
    close(silent);
    close(talking);
}

// A daemon killed in the middle of an image leaves its temporary file; the next one on the
// same output removes it, and only files of that name pattern.
TEST_F(DaemonTest, TemporaryFileOfAKilledDaemonIsRemovedByTheNext)
{
    Start({});
    const Bytes image = Image(3 * 4080);
    Plan(image);
    int fd = SendOta(Frames(image, 0, 1));
    ASSERT_TRUE(qztest::WaitUntil([&] { return FilesBesideTheImage() == 1; }));
    m_daemon->Kill();
    close(fd);
    ASSERT_EQ(FilesBesideTheImage(), 1u) << "the killed daemon's temporary file";
    for (const char* kept : {".ota.bin.longer1", ".ota.bin", "other.XXXXXX"})
        qztest::WriteFile(m_dir.File(kept), "keep");
    fs::create_directory(m_dir.File(".ota.bin.folder"));
    Start({});
    EXPECT_EQ(Events("ota_leftovers").at(0)["removed"], 1);
    EXPECT_EQ(FilesBesideTheImage(), 4u);
}

// The tests' daemon keeps what it receives in a state folder of its own, never the machine's.
TEST_F(DaemonTest, ImageGoesToTheTestsOwnStateFolderByDefault)
{
    Start({}, false);
    const Bytes image = Image(4080);
    Plan(image);
    int fd = SendOta(Frames(image, 0));
    ASSERT_TRUE(Reaches("ota_image", 1));
    close(fd);
    EXPECT_EQ(Events("ota_image").at(0)["path"], m_daemon->StateDir() + "/qz-ota-image.bin");
    EXPECT_TRUE(qztest::ReadFile(m_daemon->StateDir() + "/qz-ota-image.bin") ==
                std::string(image.begin(), image.end()));
}

// Root, the daemon's own user and members of its group may stream; nobody may not.
TEST_F(DaemonTest, PeersOutsideTheAllowedUsersAndGroupAreRefused)
{
    const group* nobodyGroup = getgrgid(qztest::NobodyGid());
    ASSERT_NE(nobodyGroup, nullptr);
    const std::pair<std::string, bool> cases[] = {{"qz-no-such-group", false},
                                                  {nobodyGroup->gr_name, true}};
    for (const auto& [allowedGroup, accepted] : cases) {
        SCOPED_TRACE(allowedGroup);
        Start({"--ota-group", allowedGroup});
        pid_t child = qztest::ForkAsUser(qztest::NobodyUid(), qztest::NobodyGid(), [&] {
            int fd = ConnectOta();
            send(fd, kSmallFrame.data(), kSmallFrame.size(), MSG_NOSIGNAL);
            char end;
            recv(fd, &end, 1, 0);  // until the daemon closes (refused) or the parent kills
        });
        ASSERT_TRUE(Reaches("ota_client", 1));
        const auto client = Events("ota_client").at(0);
        if (accepted) {
            EXPECT_TRUE(Reaches("frame", 1));
            kill(child, SIGKILL);
        } else {
            EXPECT_EQ(client["state"], "refused");
            EXPECT_THAT(client["peer"].get<std::string>(),
                        HasSubstr("uid " + std::to_string(qztest::NobodyUid())));
        }
        qztest::WaitForChild(child);
        EXPECT_EQ(Events("frame").size(), accepted ? 1u : 0u);
        m_daemon.reset();
    }
}

// CPU time the process has used (user + system), in clock ticks.
long CpuTicks(pid_t pid)
{
    std::string stat = qztest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    long user = 0, system = 0;
    sscanf(stat.c_str() + stat.rfind(')'), ") %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
           &user, &system);
    return user + system;
}

TEST_F(DaemonTest, OutOfDescriptorsPausesAcceptingWithOneLogLineAndRecovers)
{
    Start({});
    const pid_t pid = m_daemon->Pid();
    const auto open =
        std::distance(fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"), {});
    rlimit wide{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &wide), 0);
    rlimit tight{rlim_t(open + 1), wide.rlim_max};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
    std::vector<int> waiting;
    for (int i = 0; i < 6; ++i)
        waiting.push_back(ConnectOta(SOCK_NONBLOCK));
    ASSERT_TRUE(Reaches("error", 1));
    const long ticks = CpuTicks(pid);
    std::this_thread::sleep_for(1500ms);  // what is measured is the absence of activity
    EXPECT_LT(CpuTicks(pid) - ticks, sysconf(_SC_CLK_TCK) / 5) << "the daemon spins";
    EXPECT_EQ(Events("error").size(), 1u);

    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &wide, nullptr), 0);
    for (int fd : waiting)
        close(fd);
    int fd = SendOta(kSmallFrame);
    EXPECT_TRUE(Reaches("frame", 1));
    close(fd);
}

// Started by hand (no --ota-output) the image goes to the state folder; a link planted at
// its path is replaced, never written through, and no temporary file stays behind.
TEST_F(DaemonTest, ImageIsWrittenUnderTheStateFolderAsANewFile)
{
    const std::string state = m_dir.File("state"), victim = m_dir.File("victim");
    const std::string imagePath = state + "/qz-ota-image.bin";
    qztest::WriteFile(victim, "keep");
    fs::create_directory(state);
    ASSERT_EQ(symlink(victim.c_str(), imagePath.c_str()), 0);
    Start({"--state-dir", state}, false);
    ASSERT_EQ(Reply(swu::kCmdSubmitRequest, Request(7, 10, "1 10;")), "success");
    close(SendOta(kSmallFrame));
    ASSERT_TRUE(Reaches("ota_image", 1));
    EXPECT_EQ(qztest::ReadFile(victim), "keep");
    struct stat info {};
    ASSERT_EQ(lstat(imagePath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & (S_IFMT | 0777), S_IFREG | 0600u) << "a regular file, private";
    EXPECT_EQ(qztest::ReadFile(imagePath), std::string(10, 7));
    EXPECT_EQ(std::distance(fs::directory_iterator(state), {}), 1);
}

// The wire values pinned once: everything else names them through SWUContract.h, where a
// changed number would go unnoticed.
TEST(Contract, CommandNumbersAndOtaFramesKeepTheirWireValues)
{
    const std::pair<int, int> values[] = {
        {swu::kCmdSubmitRequest, 16386},   {swu::kCmdQueryOffset, 16388},
        {swu::kCmdNotifyResult, 16389},    {swu::kCmdCabinetProgress, 16390},
        {swu::kCmdCabinetComplete, 16391}, {swu::kCmdQueryProgress, 16392},
        {swu::kCmdQueryState, 16393},      {swu::kOTAFrameSize, 4096},
        {swu::kOTAHeaderSize, 16}};
    for (const auto& [value, expected] : values)
        EXPECT_EQ(value, expected);
    EXPECT_STREQ(swu::kDaemonBusName, "com.kestova.orvel.qz.swu.daemon");
    EXPECT_STREQ(swu::kLibraryBusName, "com.kestova.orvel.qz.swu.interface");
    EXPECT_STREQ(swu::kOTASocketName, "otaStream");
}

}  // namespace
