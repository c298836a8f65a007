// The reference upgrade daemon as a separate process, driven over the bus and its OTA socket.
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vconf.h>

#include <cstring>
#include <filesystem>
#include <memory>
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
// next one; then a planned image, in odd-sized pieces.
TEST_F(DaemonTest, OtaStreamSurvivesBadClientsAndReassemblesAPlannedImage)
{
    Start({});
    close(SendOta(Frame(5000, 0, 0, 1, Bytes(4080, 9)) + Bytes(100, 1)));
    ASSERT_TRUE(Reaches("ota_image", 1));
    EXPECT_EQ(Events("frame").at(0)["frames_without_plan"], 1);
    EXPECT_EQ(Events("ota_image").at(0)["bytes"], 4080);
    EXPECT_EQ(Events("error").at(0)["what"], "partial frame dropped");

    ASSERT_EQ(Reply(swu::kCmdSubmitRequest, Request(7, 4196, "1 4080;2 116;")), "success");
    Bytes image = Image(4196);
    int fd = SendOta(Frame(4080, -2, 0x01020304, 258, Bytes(image.begin(), image.begin() + 4080)) +
                         Frame(116, 0, 1, 2, Bytes(image.begin() + 4080, image.end())),
                     777);
    ASSERT_TRUE(Reaches("ota_image", 2)) << "the image is complete by its plan, client or not";
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
    EXPECT_EQ(summary(segments.at(1)), std::vector<int64_t>({258, 1, 4080, -2, -2}));
    EXPECT_EQ(summary(segments.at(2)), std::vector<int64_t>({2, 1, 116, 0, 0}));
    ExpectImage(image, 1);
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
    ASSERT_EQ(Reply(swu::kCmdSubmitRequest, Request(7, image.size(), "1 1224000;")), "success");
    int fd = SendOta(Frames(image, 0, 300), 64 * 1024);
    ASSERT_TRUE(Reaches("ota_image", 1));
    close(fd);
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
