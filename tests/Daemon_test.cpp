// The reference upgrade daemon as a separate process, driven over the bus and its OTA socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vconf.h>

#include <cstring>
#include <memory>

#include "SWUContract.h"
#include "SWUInterfaceData.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;
namespace swu = qz::swu;

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

// Appends one 4096-byte frame: big-endian length, arg4, arg5, arg1, payload, zero fill.
void AddFrame(Bytes& stream, int32_t size, int32_t arg4, int32_t arg5, int32_t arg1, Bytes payload)
{
    for (uint32_t word : {uint32_t(size), uint32_t(arg4), uint32_t(arg5), uint32_t(arg1)})
        for (int shift = 24; shift >= 0; shift -= 8)
            stream.push_back(static_cast<unsigned char>(word >> shift));
    payload.resize(4080);
    stream.insert(stream.end(), payload.begin(), payload.end());
}

// Connects with the full address, zero fill included, as the client library does, and sends
// the stream in pieces of the given size, so that frames cross the daemon's reads.
int SendOta(const Bytes& stream, size_t piece)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, swu::kOTASocketName, strlen(swu::kOTASocketName));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    for (size_t at = 0, n; at < stream.size(); at += n) {
        n = std::min(piece, stream.size() - at);
        EXPECT_EQ(send(fd, &stream[at], n, MSG_NOSIGNAL), ssize_t(n));
    }
    return fd;
}

class DaemonTest : public ::testing::Test {
protected:
    void Start(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--ota-output", m_dir.File("ota.bin")});
        m_daemon = std::make_unique<qztest::DaemonProcess>(args);
        ASSERT_TRUE(qztest::WaitUntil([&] { return !m_daemon->Events("ota_listening").empty(); }));
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
    EXPECT_EQ(m_daemon->Events("cabinet").at(0)["value"], 50);
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
    Bytes bad;
    AddFrame(bad, 5000, 0, 0, 1, Bytes(4080, 9));
    bad.resize(bad.size() + 100, 1);
    close(SendOta(bad, 4096));
    ASSERT_TRUE(qztest::WaitUntil([&] { return m_daemon->Events("ota_image").size() == 1; }));
    EXPECT_EQ(m_daemon->Events("frame").at(0)["frames_without_plan"], 1);
    EXPECT_EQ(m_daemon->Events("ota_image").at(0)["bytes"], 4080);
    EXPECT_EQ(m_daemon->Events("error").at(0)["what"], "partial frame dropped");

    ASSERT_EQ(Reply(swu::kCmdSubmitRequest, Request(7, 4196, "1 4080;2 116;")), "success");
    Bytes image(4196), stream;
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<unsigned char>(i * 31 % 251);
    AddFrame(stream, 4080, -2, 0x01020304, 258, Bytes(image.begin(), image.begin() + 4080));
    AddFrame(stream, 116, 0, 1, 2, Bytes(image.begin() + 4080, image.end()));
    int fd = SendOta(stream, 777);
    // The image is complete by its plan, before the client leaves.
    ASSERT_TRUE(qztest::WaitUntil([&] { return m_daemon->Events("ota_image").size() == 2; }));
    close(fd);
    EXPECT_EQ(m_daemon->Events("frame").at(1)["arg5"], 0x01020304);
    EXPECT_EQ(m_daemon->Events("frame").at(1)["arg1"], 258);
    EXPECT_EQ(qztest::ReadFile(m_dir.File("ota.bin")), std::string(image.begin(), image.end()));
}

}  // namespace
