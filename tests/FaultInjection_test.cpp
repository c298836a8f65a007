// Faults around the client: a daemon that is absent, answers with the wrong
// type, never answers or dies mid-stream; a key-value store that is missing,
// unreadable or holds nonsense; no system information; and a hostile peer
// calling the library's own bus name. Under every one of them the client
// returns its failure value, logs why, and the application carries on.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vconf.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "QZGDBus.h"
#include "SWUpgradeInterface.h"
#include "SWUpgradeInternal.h"
#include "TestSupport.h"

using qztest::DaemonProcess;
using qztest::KvStoreRoot;
using qztest::LogCapture;
using qztest::ScopedEnv;
using qztest::WaitUntil;
namespace swu = qz::swu;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string Hl(const std::string& body) { return "\e[1m\e[33m" + body + "\e[0;m"; }

// The endpoint's failed-call line for "SendByteMessageWithRet" with a result.
std::string SendErrorPrefix(CQZGDBus::enRetValue ret)
{
    return "\e[0;35mSend Error(SendByteMessageWithRet:" + std::to_string(ret) + ")";
}

size_t CallsOf(const DaemonProcess& daemon, int command)
{
    size_t n = 0;
    for (const auto& e : daemon.Events("call"))
        n += e.value("command", -1) == command;
    return n;
}

stSWUpgradeInfo PlainRequest()
{
    stSWUpgradeInfo info;
    info.szFileName = "update.img";
    info.szSWVersion = "QR-KELTPNHAS-1000.6";
    info.lTotalBytes = 1000;
    info.nProductType = SWU_PROCESS_URL;
    return info;
}

// Every client operation that needs the daemon, with the value it gives when
// the daemon cannot be reached or its answer cannot be read.
void ExpectEveryDaemonOperationFails(SWUpgradeInterface& client)
{
    stSWUpgradeInfo info = PlainRequest();
    EXPECT_FALSE(client.SoftwareUpdate(&info));
    EXPECT_FALSE(client.SoftwareUpdate("update.img", 1000, "1.0", "http://host/update.img"));

    long long offset = 77;
    EXPECT_FALSE(client.SoftwareUpdate("cab.bin", 10, "CABINET_BIN_03", offset, "cab-1"));
    EXPECT_EQ(offset, 77) << "a refused submission leaves the offset alone";

    int progress = 33;
    EXPECT_FALSE(client.GetUpgradeProgress(progress));
    EXPECT_EQ(progress, 33);
    EXPECT_FALSE(client.NotifySWUpdateResult());
    EXPECT_FALSE(client.CabinetUpgradeProgress(50));
    EXPECT_FALSE(client.OnCabinetUpgradeComplete(1));
    EXPECT_EQ(client.GetSWUpgradeStatus(), "Idle");

    const auto start = Clock::now();
    EXPECT_FALSE(client.startOTAUpgrade({{1, 4096}}));
    EXPECT_LT(Clock::now() - start, 1500ms) << "no settle pause after a failed plan";
}

class FaultTest : public ::testing::Test {
protected:
    LogCapture log;
    KvStoreRoot store;
};

// ------------------------------------------------------------ daemon faults

using DaemonAbsent = FaultTest;

TEST_F(DaemonAbsent, EveryOperationFailsWithNotFound)
{
    SWUpgradeInterface client;
    ExpectEveryDaemonOperationFails(client);
    EXPECT_GE(log.Count(SendErrorPrefix(CQZGDBus::RET_NOT_FOUND)), 8u);
    EXPECT_EQ(log.Count(SendErrorPrefix(CQZGDBus::RET_TIMEOUT)), 0u);
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", Hl("Failed Sending the Message")));
}

TEST_F(DaemonAbsent, BusyTestCountsAnUnansweredStateQueryAsBusy)
{
    // A pending result of another requester makes the busy test ask the
    // daemon; with nobody to answer, a new upgrade must be refused.
    ASSERT_EQ(0, vconf_set_str(swu::kKeyResult, "true&9&Downloading&ProcKAV&x"));
    ScopedEnv version("QZ_SW_VERSION", "QR-KELTPNHAS-1000.5");
    SWUpgradeInterface client;

    EXPECT_TRUE(client.isSWUpgrading(SWU_PROCESS_OTA));
    EXPECT_FALSE(client.isOTAUpgradeRequired("QR-KELTPNHAS", "1001.0"));
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired",
                        Hl("SWUpgradeInterface::SWUpdate Another Instance of SWupgrade is Active")));
    // Status falls back to the stored result when the daemon is silent.
    EXPECT_EQ(client.GetSWUpgradeStatus(), "Downloading");
}

TEST_F(DaemonAbsent, DaemonThatComesLaterIsServedWithoutANewClient)
{
    SWUpgradeInterface client;
    int progress = 0;
    EXPECT_FALSE(client.GetUpgradeProgress(progress));

    DaemonProcess daemon({"--reply", "16392=success 64"});
    EXPECT_TRUE(client.GetUpgradeProgress(progress));
    EXPECT_EQ(progress, 64);
}

class WrongTypeDaemon : public FaultTest {
protected:
    // Every command the client sends is answered with an empty tuple.
    static std::vector<std::string> AllWrong()
    {
        std::vector<std::string> args;
        for (int command : {swu::kCmdSubmitRequest, swu::kCmdQueryOffset, swu::kCmdNotifyResult,
                            swu::kCmdCabinetProgress, swu::kCmdCabinetComplete,
                            swu::kCmdQueryProgress, swu::kCmdQueryState}) {
            args.push_back("--wrong-type");
            args.push_back(std::to_string(command));
        }
        return args;
    }
};

TEST_F(WrongTypeDaemon, EndpointReportsTypeMismatchAndKeepsTheResponse)
{
    DaemonProcess daemon(AllWrong());
    CQZGDBus bus;
    std::string response = "kept";
    EXPECT_EQ(CQZGDBus::RET_TYPE_MISMATCH,
              bus.SendMessage(swu::kDaemonBusName, swu::kCmdQueryState, nullptr, 0, response));
    EXPECT_EQ(response, "kept");
}

TEST_F(WrongTypeDaemon, EveryOperationFailsAndNothingIsMisread)
{
    DaemonProcess daemon(AllWrong());
    SWUpgradeInterface client;
    ExpectEveryDaemonOperationFails(client);
    EXPECT_GE(CallsOf(daemon, swu::kCmdSubmitRequest), 2u) << "the calls did reach the daemon";
    EXPECT_EQ(log.Count("Send Error"), 0u) << "the calls were answered, only wrongly";
}

TEST_F(WrongTypeDaemon, OffsetQueryOfTheWrongTypeLeavesTheOffsetAtZero)
{
    DaemonProcess daemon({"--wrong-type", std::to_string(swu::kCmdQueryOffset)});
    SWUpgradeInterface client;
    long long offset = 77;
    EXPECT_TRUE(client.SoftwareUpdate("update.bin", 10, "1.0", offset, "cab-1"));
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(CallsOf(daemon, swu::kCmdQueryOffset), 1u);
}

// The bus library's default call time-out is about 25 s: this one test waits
// for it, with a daemon that holds its state answer for 40 s.
TEST(SilentDaemon, UnansweredCallTimesOutAndTheOperationFails)
{
    LogCapture log;
    KvStoreRoot store;
    ASSERT_EQ(0, vconf_set_str(swu::kKeyResult, "true&9&Downloading&ProcKAV&x"));
    DaemonProcess daemon({"--delay", std::to_string(swu::kCmdQueryState) + "=40000"});
    SWUpgradeInterface client;

    const auto start = Clock::now();
    EXPECT_TRUE(client.isSWUpgrading(SWU_PROCESS_OTA)) << "no answer counts as busy";
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 20s);
    EXPECT_LT(waited, 39s) << "the call gave up before the daemon answered";
    EXPECT_EQ(log.Count(SendErrorPrefix(CQZGDBus::RET_TIMEOUT)), 1u) << log.Text();
    EXPECT_TRUE(daemon.Running());
}

// ------------------------------------------------------- OTA stream faults

std::vector<unsigned char> Pattern(size_t size, unsigned seed)
{
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>((i * 131 + seed) & 0xff);
    return bytes;
}

std::string Sha256(const std::vector<unsigned char>& data)
{
    g_autoptr(GChecksum) sum = g_checksum_new(G_CHECKSUM_SHA256);
    g_checksum_update(sum, data.data(), data.size());
    return g_checksum_get_string(sum);
}

constexpr int kPiece = 4080;

TEST_F(FaultTest, DaemonKilledMidStreamThenANewPlanStreamsToItsSuccessor)
{
    qztest::TempDir out;
    auto daemon = std::make_unique<DaemonProcess>(
        std::vector<std::string>{"--ota-output", out.File("first.bin")});
    SWUpgradeInterface client;
    std::vector<unsigned char> piece = Pattern(kPiece, 1);

    ASSERT_TRUE(client.startOTAUpgrade({{1, 10 * kPiece}}));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(client.downloadOTAdata(1, piece.data(), kPiece, i, 0));
    ASSERT_TRUE(WaitUntil([&] { return daemon->Events("frame").size() == 3; }));

    daemon->Kill();
    // The kernel may still take a frame or two into the dead socket's
    // buffer; after that every write fails, and each failure is logged.
    EXPECT_TRUE(WaitUntil([&] {
        EXPECT_TRUE(client.downloadOTAdata(1, piece.data(), kPiece, 9, 0));
        return log.Count("write error:-1") >= 2;
    }));
    EXPECT_TRUE(log.Has('E', "downloadOTAdata", Hl("write error")));

    // The successor daemon gets a fresh plan and the whole image.
    EXPECT_TRUE(client.stopOTAUpgrade());
    daemon = std::make_unique<DaemonProcess>(
        std::vector<std::string>{"--ota-output", out.File("second.bin")});
    std::vector<unsigned char> image = Pattern(2 * kPiece + 5, 7);
    ASSERT_TRUE(client.startOTAUpgrade({{1, static_cast<int>(image.size())}}));
    for (size_t offset = 0; offset < image.size(); offset += kPiece) {
        int size = static_cast<int>(std::min<size_t>(kPiece, image.size() - offset));
        EXPECT_TRUE(client.downloadOTAdata(1, image.data() + offset, size, 0, 0));
    }
    ASSERT_TRUE(WaitUntil([&] { return !daemon->Events("ota_image").empty(); }, 10s));
    const auto done = daemon->Events("ota_image").at(0);
    EXPECT_EQ(done["bytes"], image.size());
    EXPECT_EQ(done["sha256"], Sha256(image));
}

// ------------------------------------------------------ key-value store faults

using KvStoreFault = FaultTest;

void ExpectNothingReadable(SWUpgradeInterface& client, const LogCapture& log)
{
    stSWUpgradeResult result{"a", "b", "c", "d", "e"};
    EXPECT_FALSE(client.readResult(&result));
    EXPECT_EQ(result.szPending, "a") << "a failed read touches nothing";
    EXPECT_EQ(client.readProgress(), 0);
    EXPECT_FALSE(client.isLumoraMode());
    EXPECT_FALSE(client.isSWUpgrading(SWU_PROCESS_JOR)) << "no stored result, not busy";
    EXPECT_GE(log.Find("readResult", Hl("Failed to Read VConf Value")).size(), 1u);
    EXPECT_GE(log.Find("readProgress", Hl("Failed to Read VConf Value")).size(), 1u);
}

TEST_F(KvStoreFault, MissingRootReadsAsNoValue)
{
    qztest::TempDir dir;
    ScopedEnv root("QZ_KVSTORE_DIR", dir.File("not-there"));
    SWUpgradeInterface client;
    ExpectNothingReadable(client, log);
}

TEST_F(KvStoreFault, RootThatIsAFileReadsAsNoValue)
{
    qztest::TempDir dir;
    qztest::WriteFile(dir.File("root"), "true&1&ok&ProcJOR&x");
    ScopedEnv root("QZ_KVSTORE_DIR", dir.File("root"));
    SWUpgradeInterface client;
    ExpectNothingReadable(client, log);
}

TEST_F(KvStoreFault, KeysThatCannotBeReadReadAsNoValue)
{
    // A directory where the value should be cannot be read, even by root
    // (the CI user), unlike a file without read permission.
    for (const char* key : {swu::kKeyResult, swu::kKeyProgress, swu::kKeyPlayerMode})
        std::filesystem::create_directories(store.Path() + "/" + key);
    SWUpgradeInterface client;
    ExpectNothingReadable(client, log);
}

TEST_F(KvStoreFault, ValuesThatAreNotNumbersReadAsZero)
{
    ASSERT_EQ(0, vconf_set_str(swu::kKeyProgress, "abc"));
    ASSERT_EQ(0, vconf_set_str(swu::kKeyPlayerMode, "on"));
    SWUpgradeInterface client;
    EXPECT_EQ(client.readProgress(), 0);
    EXPECT_EQ(log.Count("Failed to Read VConf Value"), 0u) << "the value was there";
    EXPECT_FALSE(client.isLumoraMode());

    ASSERT_EQ(0, vconf_set_str(swu::kKeyProgress, "-12 percent"));
    EXPECT_EQ(client.readProgress(), -12);
}

TEST_F(KvStoreFault, ResultWithoutSeparatorFillsOnlyTheFirstField)
{
    ASSERT_EQ(0, vconf_set_str(swu::kKeyResult, "true"));
    DaemonProcess daemon({"--reply", std::to_string(swu::kCmdQueryState) + "=InitStatus"});
    SWUpgradeInterface client;

    stSWUpgradeResult result{"a", "b", "c", "d", "e"};
    EXPECT_TRUE(client.readResult(&result));
    EXPECT_EQ(result.szPending, "true");
    EXPECT_EQ(result.szID, "b");
    EXPECT_EQ(result.szExtra, "e");
    // Pending without a requester label: the daemon decides.
    EXPECT_FALSE(client.isSWUpgrading(SWU_PROCESS_JOR));
    EXPECT_EQ(CallsOf(daemon, swu::kCmdQueryState), 1u);
}

TEST_F(KvStoreFault, HugeStoredResultIsReadWhole)
{
    std::string extra(1 << 20, 'x');
    ASSERT_EQ(0, vconf_set_str(swu::kKeyResult, ("false&1&ok&ProcJOR&" + extra).c_str()));
    SWUpgradeInterface client;
    stSWUpgradeResult result;
    EXPECT_TRUE(client.readResult(&result));
    EXPECT_EQ(result.szExtra.size(), extra.size());
    EXPECT_FALSE(client.isSWUpgrading(SWU_PROCESS_JOR));
}

// ---------------------------------------------------- system information

TEST_F(FaultTest, MissingSystemInformationAnswersNoUpgrade)
{
    ScopedEnv version("QZ_SW_VERSION", std::nullopt);
    SWUpgradeInterface client;
    EXPECT_FALSE(client.isOTAUpgradeRequired("QR-KELTPNHAS", "0.0"));
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired", Hl("Failed to get GetDeviceSWVersion.")));
}

TEST_F(FaultTest, EmptySystemInformationMatchesNoModel)
{
    ScopedEnv version("QZ_SW_VERSION", std::string());
    SWUpgradeInterface client;
    EXPECT_FALSE(client.isOTAUpgradeRequired("QR-KELTPNHAS", "0.0"));
    EXPECT_TRUE(log.Has('E', "isOTAUpgradeRequired", Hl("Current SW Version : []-[1].[1]")));
}

// ------------------------------------------------------------ hostile peer

class HostilePeer : public FaultTest {
protected:
    GVariant* Call(const char* method, GVariant* params, GError** error,
                   const std::string& path = qztest::kObjectPath,
                   const std::string& iface = qztest::kInterfaceName)
    {
        return peer.CallIterating(qztest::kLibraryBusName, method, params, error, 5000, path,
                                  iface);
    }

    static GVariant* Bytes(size_t size, unsigned char fill)
    {
        std::vector<unsigned char> data(size, fill);
        return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.data(), data.size(), 1);
    }

    void SetUp() override
    {
        client = std::make_unique<SWUpgradeInterface>();
        ASSERT_TRUE(WaitUntil([&] { return !peer.NameOwner(qztest::kLibraryBusName).empty(); }));
    }

    qztest::PeerConnection peer;
    std::unique_ptr<SWUpgradeInterface> client;
};

TEST_F(HostilePeer, EveryMethodGetsAnEmptyAnswer)
{
    struct Case {
        const char* method;
        GVariant* params;
        const char* replyType;
    };
    const size_t kHuge = 1 << 20;
    const Case cases[] = {
        {"SendShortMessageWithoutRet", g_variant_new("(ii)", 16386, -1), "()"},
        {"SendShortMessageWithRet", g_variant_new("(ii)", INT32_MIN, INT32_MAX), "(s)"},
        {"SendFullMessageWithoutRet", g_variant_new("(iiiis)", 1, 2, 3, 4, "x"), "()"},
        {"SendFullMessageWithRet",
         g_variant_new("(iiiis)", 1, 2, 3, 4, std::string(kHuge, 'y').c_str()), "(s)"},
        {"SendByteMessageWithoutRet", g_variant_new("(i@ay)", 16386, Bytes(kHuge, 0xff)), "()"},
        {"SendByteMessageWithRet", g_variant_new("(i@ay)", 16386, Bytes(kHuge, 0)), "(s)"},
        {"SendByteMessageWithBytesRet", g_variant_new("(i@ay)", 0, Bytes(0, 0)), "(ay)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = Call(c.method, c.params, &error);
        ASSERT_NE(reply, nullptr) << (error ? error->message : "");
        EXPECT_STREQ(g_variant_get_type_string(reply), c.replyType);
        if (g_str_equal(c.replyType, "(s)")) {
            const char* text = nullptr;
            g_variant_get(reply, "(&s)", &text);
            EXPECT_STREQ(text, "");
        } else if (g_str_equal(c.replyType, "(ay)")) {
            g_autoptr(GVariant) array = g_variant_get_child_value(reply, 0);
            EXPECT_EQ(g_variant_n_children(array), 0u);
        }
    }
}

TEST_F(HostilePeer, WrongArgumentsUnknownMethodsAndPathsAreRefusedByTheBusLayer)
{
    struct Case {
        const char* method;
        GVariant* params;
        std::string path;
        std::string iface;
    };
    const Case cases[] = {
        {"SendShortMessageWithRet", g_variant_new("(s)", "no"), qztest::kObjectPath,
         qztest::kInterfaceName},
        {"SendByteMessageWithRet", g_variant_new("(ii)", 1, 2), qztest::kObjectPath,
         qztest::kInterfaceName},
        {"SendFullMessageWithRet", g_variant_new("(iiii)", 1, 2, 3, 4), qztest::kObjectPath,
         qztest::kInterfaceName},
        {"SendByteMessageWithRet", g_variant_new("(i@ay)", 1, Bytes(16, 1)), "/elsewhere",
         qztest::kInterfaceName},
        {"SendByteMessageWithRet", g_variant_new("(i@ay)", 1, Bytes(16, 1)),
         qztest::kObjectPath, "interface.other"},
        {"Reboot", g_variant_new("()"), qztest::kObjectPath, qztest::kInterfaceName},
        {"SendByteMessageWithRet", nullptr, qztest::kObjectPath, qztest::kInterfaceName},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " on " + c.path + " " + c.iface);
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = Call(c.method, c.params, &error, c.path, c.iface);
        EXPECT_EQ(reply, nullptr);
        EXPECT_NE(error, nullptr);
    }
}

TEST_F(HostilePeer, ClientKeepsWorkingAfterTheOnslaught)
{
    DaemonProcess daemon({"--reply", std::to_string(swu::kCmdQueryProgress) + "=success 12"});
    for (int i = 0; i < 20; ++i) {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = Call(
            "SendByteMessageWithRet", g_variant_new("(i@ay)", i, Bytes(64 * 1024, i)), &error);
        EXPECT_NE(reply, nullptr);
    }
    int progress = 0;
    EXPECT_TRUE(client->GetUpgradeProgress(progress));
    EXPECT_EQ(progress, 12);
    EXPECT_EQ(peer.NameOwner(qztest::kLibraryBusName).empty(), false);
}

}  // namespace
