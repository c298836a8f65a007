// The upgrade client object: construction, classification, the busy test,
// submission of a request, and the progress/status/result queries. What the
// daemon received is read back from the reference daemon's journal.
#include <gtest/gtest.h>
#include <vconf.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "SWUInterfaceData.h"
#include "SWUpgradeInterface.h"
#include "SWUpgradeInternal.h"
#include "SWUpgradeResultText.h"
#include "TestSupport.h"

using qztest::DaemonProcess;
using qztest::KvStoreRoot;
using qztest::LogCapture;
using qztest::WaitUntil;
namespace swu = qz::swu;

namespace {

const std::string kHL = "\e[1m\e[33m";
const std::string kHLEnd = "\e[0;m";

std::string Highlight(const std::string& text) { return kHL + text + kHLEnd; }

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<nlohmann::json> CallsOf(const DaemonProcess& daemon, int command)
{
    std::vector<nlohmann::json> found;
    for (auto& e : daemon.Events("call"))
        if (e.value("command", -1) == command)
            found.push_back(e);
    return found;
}

bool WaitForCall(const DaemonProcess& daemon, int command)
{
    return WaitUntil([&] { return !CallsOf(daemon, command).empty(); });
}

SWUDataContainer DecodeRecord(const std::string& hex)
{
    const std::vector<unsigned char> bytes = qztest::Unhex(hex);
    QzPack pack;
    pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    SWUDataContainer record;
    record.Unserialize(pack);
    return record;
}

void StoreResult(const std::string& text)
{
    ASSERT_EQ(0, vconf_set_str(swu::kKeyResult, text.c_str()));
}

// A fresh store and log for each test; the store root is set before the
// daemon starts so that the child sees the same keys.
class ClientTest : public ::testing::Test {
protected:
    void StartDaemon(const std::vector<std::string>& args = {})
    {
        daemon = std::make_unique<DaemonProcess>(args);
    }
    void StartClient() { client = std::make_unique<SWUpgradeInterface>(); }
    void Start(const std::vector<std::string>& args = {})
    {
        StartDaemon(args);
        StartClient();
    }

    // One connection's calls reach the daemon in order: once a later probe
    // call is journaled, an earlier call would have been journaled as well.
    void ExpectNoCallBeforeProbe(int command)
    {
        int progress = 0;
        client->GetUpgradeProgress(progress);
        ASSERT_TRUE(WaitForCall(*daemon, swu::kCmdQueryProgress));
        EXPECT_TRUE(CallsOf(*daemon, command).empty()) << "unexpected command " << command;
    }

    LogCapture log;
    KvStoreRoot store;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<SWUpgradeInterface> client;
};

// ------------------------------------------------------------- client object

TEST_F(ClientTest, ConstructionOwnsTheLibraryNameAndDestructionReleasesIt)
{
    qztest::PeerConnection peer;
    StartClient();
    EXPECT_TRUE(WaitUntil([&] { return !peer.NameOwner(swu::kLibraryBusName).empty(); }));
    EXPECT_FALSE(log.Has('E', "SWUpgradeInterface", Highlight("Failed to initialize CQZGDBus!")));
    EXPECT_EQ(nullptr, SWUpgradeInterface::m_pObject);

    client.reset();
    EXPECT_EQ(nullptr, SWUpgradeInterface::m_pObject);
    EXPECT_TRUE(WaitUntil([&] { return peer.NameOwner(swu::kLibraryBusName).empty(); }));

    // The name can be had again by the next object.
    StartClient();
    EXPECT_TRUE(WaitUntil([&] { return !peer.NameOwner(swu::kLibraryBusName).empty(); }));
}

TEST_F(ClientTest, NoInboundCallReachesADestroyedEndpoint)
{
    qztest::PeerConnection peer;
    StartClient();
    ASSERT_TRUE(WaitUntil([&] { return !peer.NameOwner(swu::kLibraryBusName).empty(); }));
    client.reset();

    g_autoptr(GError) error = nullptr;
    GVariant* reply = peer.CallIterating(
        swu::kLibraryBusName, "SendByteMessageWithRet",
        g_variant_new("(i@ay)", 1, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1)),
        &error, 2000);
    if (reply != nullptr)
        g_variant_unref(reply);
    EXPECT_EQ(nullptr, reply);
    EXPECT_NE(nullptr, error);
}

TEST(ExportedFunctions, ReturnZero)
{
    EXPECT_EQ(0, qz_swu_notify_upgrade_result());
    EXPECT_EQ(0, qz_swu_upgrade_from_type());
}

// ----------------------------------------------------------- classification

struct TypeCase {
    const char* fileName;
    const char* version;
    eSWUpgradeType expected;
};

void PrintTo(const TypeCase& c, std::ostream* os)
{
    *os << "file '" << c.fileName << "' version '" << c.version << "'";
}

class Classification : public ::testing::TestWithParam<TypeCase> {
protected:
    LogCapture log;
    KvStoreRoot store;
    SWUpgradeInterface client;
};

TEST_P(Classification, FirstMatchingRuleDecides)
{
    const TypeCase& c = GetParam();
    EXPECT_EQ(c.expected, client.m_GetUpgradeType(c.fileName, c.version));
    EXPECT_TRUE(log.Has('E', "m_GetUpgradeType",
                        Highlight(std::string("File Name [") + c.fileName + "], version [" +
                                  c.version + "]")));
    EXPECT_TRUE(log.Has('E', "m_GetUpgradeType",
                        Highlight("Upgrade Type : [" + std::to_string(c.expected) + "]")));
    const bool unmatched =
        log.Has('E', "m_GetUpgradeType", Highlight("This is not Valens/FPGA/Cabinet update file."));
    EXPECT_EQ(c.expected == SWU_TYPE_MAIN, unmatched);
}

INSTANTIATE_TEST_SUITE_P(
    Markers, Classification,
    ::testing::Values(
        TypeCase{"a.bin", "LOCAL-2.0", SWU_TYPE_CAL},
        TypeCase{"a.bin", "QR-KEMTPNHAS FPGAFW", SWU_TYPE_MODEL_A},
        TypeCase{"a.bin", "x-QR-KELTPNHAS-CAL", SWU_TYPE_MODEL_A},
        TypeCase{"a.img", "QR-ZOWAPLDHAF_CAL", SWU_TYPE_MODEL_B},
        TypeCase{"a.bin", "TODO FPGAFW", SWU_TYPE_MODEL_C},
        TypeCase{"a.bin", "FPGAFW CAL", SWU_TYPE_FPGA},
        TypeCase{"a.bin", "CABINET_BIN_05 CAL", SWU_TYPE_CAL},
        TypeCase{"a.bin", "CABINET_BIN_10", SWU_TYPE_CABINET_BIN_10},
        TypeCase{"a.bin", "CABINET_BIN_05 CABINET_BIN_04", SWU_TYPE_CABINET_BIN_04},
        TypeCase{"a.img", "CABINET_BIN_12", SWU_TYPE_CABINET_BIN_12},
        TypeCase{"a.bin", "CABINET_BIN_13", SWU_TYPE_MAIN},
        TypeCase{"update.img.bak", "1.0", SWU_TYPE_IMAGE},
        TypeCase{"UPDATE.IMG", "1.0", SWU_TYPE_MAIN},
        TypeCase{"update.bin", "v.img", SWU_TYPE_MAIN},
        TypeCase{"CAL_FPGAFW.bin", "1.0", SWU_TYPE_MAIN},
        TypeCase{"a.bin", "cal-fpgafw-todo", SWU_TYPE_MAIN},
        TypeCase{"", "", SWU_TYPE_MAIN}));

TEST(ClassificationCabinet, EveryNumberMapsToNinePlusIt)
{
    KvStoreRoot store;
    SWUpgradeInterface client;
    for (int n = 3; n <= 12; ++n) {
        char version[32];
        snprintf(version, sizeof(version), "v1-CABINET_BIN_%02d", n);
        EXPECT_EQ(9 + n, client.m_GetUpgradeType("cab.bin", version)) << version;
    }
}

struct ProcessCase {
    eSWUpgradeProcess requester;
    eSWUpgradeType kindIn;
    const char* version;
    eSWUpgradeProcess expected;
    eSWUpgradeType kindOut;
};

void PrintTo(const ProcessCase& c, std::ostream* os)
{
    *os << "requester " << c.requester << " kind " << c.kindIn << " version '" << c.version
        << "'";
}

class ProcessBookkeeping : public ::testing::TestWithParam<ProcessCase> {
protected:
    LogCapture log;
    KvStoreRoot store;
    SWUpgradeInterface client;
};

TEST_P(ProcessBookkeeping, SettlesRequesterAndKind)
{
    const ProcessCase& c = GetParam();
    eSWUpgradeType kind = c.kindIn;
    EXPECT_EQ(c.expected, client.m_UpdateProcessMgr("file.bin", c.version, c.requester, kind));
    EXPECT_EQ(c.kindOut, kind);
    EXPECT_TRUE(log.Has('E', "m_UpdateProcessMgr",
                        Highlight("Upgrade Type [" + std::to_string(c.kindOut) + "]")));
    // The markers are consulted only for an unclassified request.
    EXPECT_EQ(c.kindIn == SWU_TYPE_NONE, !log.Find("m_GetUpgradeType",
                                                   Highlight("File Name [file.bin], version [" +
                                                             std::string(c.version) + "]"))
                                              .empty());
}

INSTANTIATE_TEST_SUITE_P(
    Requesters, ProcessBookkeeping,
    ::testing::Values(
        ProcessCase{SWU_PROCESS_JOR, SWU_TYPE_NONE, "1.0", SWU_PROCESS_JOR, SWU_TYPE_MAIN},
        ProcessCase{SWU_PROCESS_JOR, SWU_TYPE_LUMORA_PLAYER, "1.0", SWU_PROCESS_JOR_AUX,
                    SWU_TYPE_LUMORA_PLAYER},
        ProcessCase{SWU_PROCESS_JOR, SWU_TYPE_NONE, "FPGAFW", SWU_PROCESS_JOR_AUX, SWU_TYPE_FPGA},
        ProcessCase{SWU_PROCESS_KAV, SWU_TYPE_MAIN, "FPGAFW", SWU_PROCESS_KAV, SWU_TYPE_MAIN},
        ProcessCase{SWU_PROCESS_KAV, SWU_TYPE_NONE, "CAL", SWU_PROCESS_KAV_AUX, SWU_TYPE_CAL},
        ProcessCase{SWU_PROCESS_KAV, SWU_TYPE_FPGA, "1.0", SWU_PROCESS_KAV_AUX, SWU_TYPE_FPGA},
        ProcessCase{SWU_PROCESS_OTA, SWU_TYPE_NONE, "FPGAFW", SWU_PROCESS_OTA, SWU_TYPE_FPGA},
        ProcessCase{SWU_PROCESS_OTA, SWU_TYPE_MAIN, "1.0", SWU_PROCESS_OTA, SWU_TYPE_MAIN},
        ProcessCase{SWU_PROCESS_URL, SWU_TYPE_NONE, "1.0", SWU_PROCESS_URL, SWU_TYPE_MAIN},
        ProcessCase{static_cast<eSWUpgradeProcess>(3), SWU_TYPE_CAL, "1.0",
                    static_cast<eSWUpgradeProcess>(3), SWU_TYPE_CAL},
        ProcessCase{SWU_PROCESS_JOR_AUX, SWU_TYPE_MAIN, "1.0", SWU_PROCESS_JOR_AUX,
                    SWU_TYPE_MAIN}));

// ------------------------------------------------------------------ busy test

struct BusyCase {
    const char* stored;  // null: no stored result
    eSWUpgradeProcess requester;
    const char* stateReply;
    bool busy;
    bool asksDaemon;
};

void PrintTo(const BusyCase& c, std::ostream* os)
{
    *os << "stored " << (c.stored ? ::testing::PrintToString(std::string(c.stored)) : "none")
        << " requester " << c.requester << " state '" << c.stateReply << "'";
}

class BusyTest : public ClientTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusyTest, DecidesFromStoredResultThenDaemonState)
{
    const BusyCase& c = GetParam();
    if (c.stored != nullptr)
        StoreResult(c.stored);
    Start({"--reply", std::string("16393=") + c.stateReply});

    EXPECT_EQ(c.busy, client->isSWUpgrading(c.requester));
    if (c.asksDaemon) {
        ASSERT_TRUE(WaitForCall(*daemon, swu::kCmdQueryState));
        const auto calls = CallsOf(*daemon, swu::kCmdQueryState);
        EXPECT_EQ(1u, calls.size());
        EXPECT_EQ("SendByteMessageWithRet", calls[0].value("method", ""));
        EXPECT_EQ("", calls[0].value("payload", "?"));
    } else {
        ExpectNoCallBeforeProbe(swu::kCmdQueryState);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, BusyTest,
    ::testing::Values(
        // Nothing stored: never busy, whatever the daemon says.
        BusyCase{nullptr, SWU_PROCESS_JOR, "InProgressStatus", false, false},
        BusyCase{nullptr, SWU_PROCESS_KAV, "InProgressStatus", false, false},
        BusyCase{nullptr, SWU_PROCESS_OTA, "InProgressStatus", false, false},
        BusyCase{"", SWU_PROCESS_URL, "InProgressStatus", false, false},
        // Notified result: not busy, no question asked.
        BusyCase{"false&1&ok&ProcJOR&x", SWU_PROCESS_JOR, "InProgressStatus", false, false},
        BusyCase{"false&1&ok&ProcKAV&x", SWU_PROCESS_OTA, "InProgressStatus", false, false},
        // Pending result of JOR blocks JOR without a question.
        BusyCase{"true&1&ok&ProcJOR&x", SWU_PROCESS_JOR, "InitStatus", true, false},
        BusyCase{"TRUE&1&ok&ProcJOR&x", SWU_PROCESS_JOR, "InitStatus", true, false},
        BusyCase{"&1&ok&ProcJOR&x", SWU_PROCESS_JOR, "InitStatus", true, false},
        BusyCase{"true&1&ok&ProcJOR&x", SWU_PROCESS_KAV, "InitStatus", false, true},
        BusyCase{"true&1&ok&ProcJOR&x", SWU_PROCESS_KAV, "InProgressStatus", true, true},
        // Pending result of KAV lets KAV go on without a question.
        BusyCase{"true&1&ok&ProcKAV&x", SWU_PROCESS_KAV, "InProgressStatus", false, false},
        BusyCase{"true&1&ok&ProcKAV&x", SWU_PROCESS_JOR, "InitStatus", false, true},
        BusyCase{"true&1&ok&ProcKAV&x", SWU_PROCESS_OTA, "InitStatus", false, true},
        BusyCase{"true&1&ok&ProcKAV&x", SWU_PROCESS_OTA, "InitStatus ", true, true},
        BusyCase{"true&1&ok&ProcKAV&x", SWU_PROCESS_OTA, "initstatus", true, true},
        BusyCase{"true&1&ok&ProcKAV&x", SWU_PROCESS_KAV_AUX, "", true, true},
        BusyCase{"true&1&ok&prockav&x", SWU_PROCESS_KAV, "InProgressStatus", true, true},
        BusyCase{"False&1&ok&ProcKAV&x", SWU_PROCESS_URL, "InitStatus", false, true},
        BusyCase{"true", SWU_PROCESS_KAV, "InitStatus", false, true}));

TEST_F(ClientTest, BusyTestLogsTheUnnotifiedResultOfItsOwnRequester)
{
    StoreResult("true&17&done&ProcJOR&extra");
    StartClient();
    EXPECT_TRUE(client->isSWUpgrading(SWU_PROCESS_JOR));
    EXPECT_TRUE(log.Has('E', "isSWUpgrading",
                        Highlight("Previous result was not notified... by:[ProcJOR], id:[17], "
                                  "result:[done]")));
}

TEST_F(ClientTest, BusyTestLogsAllFieldsWhenTheDaemonIsAbsent)
{
    StoreResult("true&17&done&ProcKAV&extra");
    StartClient();
    EXPECT_TRUE(client->isSWUpgrading(SWU_PROCESS_OTA));
    EXPECT_TRUE(log.Has('I', "isSWUpgrading", "true, 17, done, ProcKAV, extra"));
    EXPECT_EQ(1u, log.Count("Send Error(SendByteMessageWithRet:1)"));
}

TEST_F(ClientTest, BusyTestCountsAReplyOfTheWrongTypeAsBusy)
{
    StoreResult("true&17&done&ProcKAV&extra");
    Start({"--reply", "16393=InitStatus", "--wrong-type", "16393"});
    EXPECT_TRUE(client->isSWUpgrading(SWU_PROCESS_OTA));
    EXPECT_TRUE(log.Has('I', "isSWUpgrading", "true, 17, done, ProcKAV, extra"));
}

// ----------------------------------------------------------------- submission

stSWUpgradeInfo EdgeRequest()
{
    stSWUpgradeInfo info;
    info.lTotalBytes = 1000;
    info.bIsURL = true;
    info.nVerifyHost = 0;
    info.nProductType = SWU_PROCESS_URL;
    info.nUpgradeType = SWU_TYPE_IMAGE;
    return info;
}

TEST_F(ClientTest, SubmissionSendsThePackedRecordAsCommand16386)
{
    Start({"--reply", "16386=success"});
    stSWUpgradeInfo info = EdgeRequest();
    EXPECT_TRUE(client->SoftwareUpdate(&info));

    ASSERT_TRUE(WaitForCall(*daemon, swu::kCmdSubmitRequest));
    const auto calls = CallsOf(*daemon, swu::kCmdSubmitRequest);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("SendByteMessageWithRet", calls[0].value("method", ""));
    std::string expected;
    for (int i = 0; i < 6; ++i)
        expected += "0100000000";
    expected += "e8030000" "04000000" "01" "09000000" "00000000";
    EXPECT_EQ(94u, expected.size());
    EXPECT_EQ(expected, Lower(calls[0].value("payload", "")));
}

TEST_F(ClientTest, SubmissionLogsTheRequestWithItsPriorities)
{
    Start({"--reply", "16386=success"});
    stSWUpgradeInfo info = EdgeRequest();
    info.szSoftwareID = "sw-1";
    info.szFileName = "/tmp/update.img";
    info.szSWVersion = "2.1";
    info.szURL = "https://example.invalid/u";
    info.nVerifyHost = 2;
    info.szCertificatePath = "/etc/cert.pem";
    info.szCabinetID = "cab-7";
    ASSERT_TRUE(client->SoftwareUpdate(&info));

    const char* fn = "SoftwareUpdate";
    EXPECT_TRUE(log.Has('I', fn, "SWUpgradeInterface::SWUpdate"));
    EXPECT_TRUE(log.Has('E', fn, Highlight("Before Sending the Message")));
    EXPECT_TRUE(log.Has('E', fn, Highlight("Updated Process Manager [4]")));
    EXPECT_TRUE(log.Has('I', fn, "nUpgradeType [9]"));
    EXPECT_TRUE(log.Has('E', fn, Highlight("Product Type [4]")));
    EXPECT_TRUE(log.Has('I', fn, "pstSWUInfo->szSoftwareID [sw-1]"));
    EXPECT_TRUE(log.Has('I', fn, "pstSWUInfo->szFileName [/tmp/update.img]"));
    EXPECT_TRUE(log.Has('I', fn, "pstSWUInfo->szSWVersion [2.1]"));
    EXPECT_TRUE(log.Has('I', fn, "pstSWUInfo->szURL [https://example.invalid/u]"));
    EXPECT_TRUE(log.Has('I', fn, "pstSWUInfo->lTotalBytes [1000]"));
    EXPECT_TRUE(log.Has('I', fn, "pstSWUInfo->nVerifyHost [2]"));
    EXPECT_TRUE(log.Has('I', fn, "pstSWUInfo->bIsURL [1]"));
    EXPECT_TRUE(log.Has('I', fn, "pstSWUInfo->szCertificatePath [/etc/cert.pem]"));
    EXPECT_TRUE(log.Has('I', fn, "pstSWUInfo->szCabinetID [cab-7]"));
    EXPECT_TRUE(log.Has('E', fn, Highlight("Success Sending the Message")));
    EXPECT_TRUE(log.Has('E', fn, Highlight(" Result is Success ")));
    EXPECT_FALSE(log.Has('E', fn, Highlight("Failed Sending the Message")));
}

TEST_F(ClientTest, SubmissionOfAnUnclassifiedRequestSendsTheSettledKind)
{
    Start({"--reply", "16386=success"});
    stSWUpgradeInfo info;
    info.szFileName = "fw.bin";
    info.szSWVersion = "FPGAFW-3";
    info.nProductType = SWU_PROCESS_JOR;
    info.nUpgradeType = SWU_TYPE_NONE;
    EXPECT_TRUE(client->SoftwareUpdate(&info));

    EXPECT_EQ(SWU_TYPE_NONE, info.nUpgradeType);
    EXPECT_EQ(SWU_PROCESS_JOR_AUX, info.nProductType);
    ASSERT_TRUE(WaitForCall(*daemon, swu::kCmdSubmitRequest));
    const SWUDataContainer record =
        DecodeRecord(CallsOf(*daemon, swu::kCmdSubmitRequest)[0].value("payload", ""));
    EXPECT_EQ(SWU_TYPE_FPGA, record.m_nUpgradeType);
    EXPECT_EQ(SWU_PROCESS_JOR_AUX, record.m_nProductType);
    EXPECT_EQ("fw.bin", record.m_strFileName);
    EXPECT_EQ("FPGAFW-3", record.m_strSWVersion);
}

TEST_F(ClientTest, BypassRequestSkipsBusyTestAndBookkeeping)
{
    // This stored result would make requester 7 ask the daemon.
    StoreResult("true&1&ok&ProcKAV&x");
    Start({"--reply", "16386=success", "--reply", "16393=InProgressStatus"});
    stSWUpgradeInfo info;
    info.szFileName = "x.img";
    info.nProductType = SWU_PROCESS_OTA;
    info.nUpgradeType = SWU_TYPE_BYPASS;
    EXPECT_TRUE(client->SoftwareUpdate(&info));

    EXPECT_EQ(SWU_PROCESS_OTA, info.nProductType);
    EXPECT_TRUE(log.Find("SoftwareUpdate", Highlight("Updated Process Manager [7]")).empty());
    ASSERT_TRUE(WaitForCall(*daemon, swu::kCmdSubmitRequest));
    const SWUDataContainer record =
        DecodeRecord(CallsOf(*daemon, swu::kCmdSubmitRequest)[0].value("payload", ""));
    EXPECT_EQ(SWU_TYPE_BYPASS, record.m_nUpgradeType);
    EXPECT_EQ(SWU_PROCESS_OTA, record.m_nProductType);
    ExpectNoCallBeforeProbe(swu::kCmdQueryState);
}

TEST_F(ClientTest, RequestRefusedByBusyTestLeavesCallerStructureAlone)
{
    StoreResult("true&1&ok&ProcJOR&x");
    Start({"--reply", "16386=success"});
    stSWUpgradeInfo info;
    info.szSoftwareID = "id";
    info.szFileName = "a.img";
    info.szSWVersion = "FPGAFW";
    info.lTotalBytes = 5;
    info.nProductType = SWU_PROCESS_JOR;
    info.nUpgradeType = SWU_TYPE_NONE;
    info.szCabinetID = "c";
    const stSWUpgradeInfo before = info;

    EXPECT_FALSE(client->SoftwareUpdate(&info));
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate",
                        Highlight("SWUpgradeInterface::SWUpdate Another Instance of SWupgrade is "
                                  "Active")));
    EXPECT_FALSE(log.Has('E', "SoftwareUpdate", Highlight("Before Sending the Message")));
    EXPECT_EQ(before.nProductType, info.nProductType);
    EXPECT_EQ(before.nUpgradeType, info.nUpgradeType);
    EXPECT_EQ(before.szFileName, info.szFileName);
    EXPECT_EQ(before.szSWVersion, info.szSWVersion);
    EXPECT_EQ(before.lTotalBytes, info.lTotalBytes);
    EXPECT_EQ(before.szCabinetID, info.szCabinetID);
    ExpectNoCallBeforeProbe(swu::kCmdSubmitRequest);
}

class SubmissionReply : public ClientTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SubmissionReply, OnlyTheExactWordSuccessIsAccepted)
{
    const std::string reply = GetParam();
    Start({"--reply", "16386=" + reply});
    stSWUpgradeInfo info = EdgeRequest();
    const bool accepted = client->SoftwareUpdate(&info);
    EXPECT_EQ(reply == "success", accepted);
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", Highlight("Success Sending the Message")));
    EXPECT_EQ(accepted, log.Has('E', "SoftwareUpdate", Highlight(" Result is Success ")));
}

INSTANTIATE_TEST_SUITE_P(Replies, SubmissionReply,
                         ::testing::Values("success", "Success", "SUCCESS", "success ",
                                           " success", "success\n", "", "fail"));

TEST_F(ClientTest, SubmissionFailsWhenTheDaemonIsAbsentAfterBookkeeping)
{
    StartClient();
    stSWUpgradeInfo info;
    info.szFileName = "a.img";
    info.nProductType = SWU_PROCESS_KAV;
    EXPECT_FALSE(client->SoftwareUpdate(&info));
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", Highlight("Failed Sending the Message")));
    EXPECT_FALSE(log.Has('E', "SoftwareUpdate", Highlight("Success Sending the Message")));
    EXPECT_EQ(SWU_PROCESS_KAV_AUX, info.nProductType);
}

TEST_F(ClientTest, SubmissionFailsOnAReplyOfTheWrongType)
{
    Start({"--reply", "16386=success", "--wrong-type", "16386"});
    stSWUpgradeInfo info = EdgeRequest();
    EXPECT_FALSE(client->SoftwareUpdate(&info));
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", Highlight("Failed Sending the Message")));
    EXPECT_TRUE(WaitForCall(*daemon, swu::kCmdSubmitRequest));
}

// -------------------------------------------------------------------- queries

struct ProgressCase {
    const char* reply;
    int progress;
    bool ok;
    const char* word;
};

void PrintTo(const ProgressCase& c, std::ostream* os)
{
    *os << "reply " << ::testing::PrintToString(std::string(c.reply));
}

class ProgressQuery : public ClientTest, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(ProgressQuery, ReadsWordThenNumber)
{
    const ProgressCase& c = GetParam();
    Start({"--reply", std::string("16392=") + c.reply});
    int progress = -99;
    EXPECT_EQ(c.ok, client->GetUpgradeProgress(progress));
    EXPECT_EQ(c.progress, progress);
    EXPECT_TRUE(log.Has('E', "GetUpgradeProgress",
                        Highlight(std::string(" Return value = ") + c.reply)));
    EXPECT_TRUE(log.Has('E', "GetUpgradeProgress",
                        Highlight("Current Progress[" + std::to_string(c.progress) +
                                  "] & Return String [" + c.word + "]")));

    ASSERT_TRUE(WaitForCall(*daemon, swu::kCmdQueryProgress));
    const auto call = CallsOf(*daemon, swu::kCmdQueryProgress)[0];
    EXPECT_EQ("SendByteMessageWithRet", call.value("method", ""));
    EXPECT_EQ("", call.value("payload", "?"));
}

INSTANTIATE_TEST_SUITE_P(Replies, ProgressQuery,
                         ::testing::Values(ProgressCase{"success 57", 57, true, "success"},
                                           ProgressCase{"fail 57", 57, false, "fail"},
                                           ProgressCase{"success", 0, true, "success"},
                                           ProgressCase{"", 0, false, ""},
                                           ProgressCase{"  success\t-12%", -12, true, "success"},
                                           ProgressCase{"Success 3", 3, false, "Success"},
                                           ProgressCase{"success abc", 0, true, "success"}));

TEST_F(ClientTest, ProgressQueryLeavesProgressAloneWhenTheCallFails)
{
    StartClient();
    int progress = 31;
    EXPECT_FALSE(client->GetUpgradeProgress(progress));
    EXPECT_EQ(31, progress);
    EXPECT_EQ(0u, log.Count("Return value"));
}

TEST_F(ClientTest, ProgressQueryLeavesProgressAloneOnAReplyOfTheWrongType)
{
    Start({"--reply", "16392=success 40", "--wrong-type", "16392"});
    int progress = 31;
    EXPECT_FALSE(client->GetUpgradeProgress(progress));
    EXPECT_EQ(31, progress);
}

TEST_F(ClientTest, StatusIsInProgressWhileTheDaemonSaysSo)
{
    StoreResult("true&12&ok&ProcKAV&x");
    Start({"--reply", "16393=InProgressStatus"});
    EXPECT_EQ("InProgress", client->GetSWUpgradeStatus());
}

TEST_F(ClientTest, StatusFallsThroughToThePendingStoredResult)
{
    StoreResult("true&12&ok&ProcKAV&x");
    Start({"--reply", "16393=inprogressstatus"});
    EXPECT_EQ("ok", client->GetSWUpgradeStatus());
}

TEST_F(ClientTest, StatusIsIdleUnlessPendingIsExactlyTrue)
{
    Start({"--reply", "16393=InitStatus"});
    EXPECT_EQ("Idle", client->GetSWUpgradeStatus());
    EXPECT_TRUE(log.Has('E', "readResult", Highlight("Failed to Read VConf Value")));
    for (const char* stored : {"TRUE&12&ok", "&12&ok", "false&12&ok", "true "}) {
        StoreResult(stored);
        EXPECT_EQ("Idle", client->GetSWUpgradeStatus()) << stored;
    }
    StoreResult("true&12&");
    EXPECT_EQ("", client->GetSWUpgradeStatus());
}

TEST_F(ClientTest, StatusReadsTheStoredResultWhenTheDaemonIsAbsent)
{
    StoreResult("true&12&failed-checksum&ProcJOR&x");
    StartClient();
    EXPECT_EQ("failed-checksum", client->GetSWUpgradeStatus());
}

TEST_F(ClientTest, NotifySendsCommand16389AndNeedsExactSuccess)
{
    Start({"--reply", "16389=success"});
    EXPECT_TRUE(client->NotifySWUpdateResult());
    EXPECT_TRUE(log.Has('E', "NotifySWUpdateResult", Highlight("")));
    EXPECT_TRUE(log.Has('E', "NotifySWUpdateResult", Highlight(" Result is Success ")));
    ASSERT_TRUE(WaitForCall(*daemon, swu::kCmdNotifyResult));
    const auto call = CallsOf(*daemon, swu::kCmdNotifyResult)[0];
    EXPECT_EQ("SendByteMessageWithRet", call.value("method", ""));
    EXPECT_EQ("", call.value("payload", "?"));
}

class NotifyReply : public ClientTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NotifyReply, AnyOtherReplyIsAFailure)
{
    Start({"--reply", std::string("16389=") + GetParam()});
    EXPECT_FALSE(client->NotifySWUpdateResult());
    EXPECT_FALSE(log.Has('E', "NotifySWUpdateResult", Highlight(" Result is Success ")));
}

INSTANTIATE_TEST_SUITE_P(Replies, NotifyReply,
                         ::testing::Values("Success", "success ", "", "done"));

TEST_F(ClientTest, NotifyFailsWithoutDaemonOrOnAReplyOfTheWrongType)
{
    StartClient();
    EXPECT_FALSE(client->NotifySWUpdateResult());
    client.reset();
    Start({"--reply", "16389=success", "--wrong-type", "16389"});
    EXPECT_FALSE(client->NotifySWUpdateResult());
    EXPECT_TRUE(WaitForCall(*daemon, swu::kCmdNotifyResult));
}

// ------------------------------------------------- key-value store reads only

class StoreReads : public ::testing::Test {
protected:
    LogCapture log;
    KvStoreRoot store;
    SWUpgradeInterface client;
};

TEST_F(StoreReads, ProgressFollowsStrtolRules)
{
    EXPECT_EQ(0, client.readProgress());
    EXPECT_TRUE(log.Has('E', "readProgress", Highlight("Failed to Read VConf Value")));
    log.Clear();

    const std::pair<const char*, int> cases[] = {
        {"42%", 42}, {"abc", 0}, {"  -7", -7}, {"+15x", 15}, {"", 0}, {"100", 100}};
    for (const auto& [text, value] : cases) {
        ASSERT_EQ(0, vconf_set_str(swu::kKeyProgress, text));
        EXPECT_EQ(value, client.readProgress()) << text;
    }
    EXPECT_EQ(0u, log.Count("Failed to Read VConf Value"));
}

TEST_F(StoreReads, ResultMissingOrEmptyIsRefused)
{
    stSWUpgradeResult result{"p", "i", "r", "b", "e"};
    EXPECT_FALSE(client.readResult(&result));
    EXPECT_TRUE(log.Has('E', "readResult", Highlight("Failed to Read VConf Value")));

    StoreResult("");
    EXPECT_FALSE(client.readResult(&result));
    EXPECT_TRUE(log.Has('E', "readResult", Highlight("Invalid Key Value")));
    EXPECT_EQ("p", result.szPending);
    EXPECT_EQ("e", result.szExtra);
}

struct SplitCase {
    const char* stored;
    stSWUpgradeResult expected;
};

void PrintTo(const SplitCase& c, std::ostream* os)
{
    *os << "stored '" << c.stored << "'";
}

class ResultSplit : public StoreReads, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(ResultSplit, MissingFieldsKeepTheirValues)
{
    StoreResult(GetParam().stored);
    stSWUpgradeResult result{"P0", "I0", "R0", "B0", "E0"};
    EXPECT_TRUE(client.readResult(&result));
    const stSWUpgradeResult& want = GetParam().expected;
    EXPECT_EQ(want.szPending, result.szPending);
    EXPECT_EQ(want.szID, result.szID);
    EXPECT_EQ(want.szResult, result.szResult);
    EXPECT_EQ(want.szProcess, result.szProcess);
    EXPECT_EQ(want.szExtra, result.szExtra);

    // The store layer adds nothing: the direct split agrees.
    stSWUpgradeResult direct{"P0", "I0", "R0", "B0", "E0"};
    swu::SplitStoredResult(GetParam().stored, direct);
    EXPECT_EQ(result.szExtra, direct.szExtra);
    EXPECT_EQ(result.szProcess, direct.szProcess);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ResultSplit,
    ::testing::Values(SplitCase{"true&12&ok&ProcKAV&x", {"true", "12", "ok", "ProcKAV", "x"}},
                      SplitCase{"true&12", {"true", "12", "R0", "B0", "E0"}},
                      SplitCase{"true&12&", {"true", "12", "", "B0", "E0"}},
                      SplitCase{"a&b&c&d&e&f", {"a", "b", "c", "d", "e"}},
                      SplitCase{"a&&c&d&e", {"a", "", "c", "d", "e"}},
                      SplitCase{"&", {"", "", "R0", "B0", "E0"}},
                      SplitCase{"only", {"only", "I0", "R0", "B0", "E0"}},
                      SplitCase{"a&b&c&d&", {"a", "b", "c", "d", ""}},
                      SplitCase{"&&&&&&&", {"", "", "", "", ""}}));

TEST_F(StoreReads, PlayerModeIsOnOnlyForOne)
{
    EXPECT_FALSE(client.isLumoraMode());
    ASSERT_EQ(0, vconf_set_int(swu::kKeyPlayerMode, 1));
    EXPECT_TRUE(client.isLumoraMode());
    ASSERT_EQ(0, vconf_set_int(swu::kKeyPlayerMode, 2));
    EXPECT_FALSE(client.isLumoraMode());
    ASSERT_EQ(0, vconf_set_int(swu::kKeyPlayerMode, 0));
    EXPECT_FALSE(client.isLumoraMode());
    ASSERT_EQ(0, vconf_set_str(swu::kKeyPlayerMode, "one"));
    EXPECT_FALSE(client.isLumoraMode());
    EXPECT_EQ(0u, log.Count("isLumoraMode"));
}

// ------------------------------------------------------------------ no bus

class NoBusClient : public ::testing::Test {
protected:
    LogCapture log;
    KvStoreRoot store;
};

TEST_F(NoBusClient, ConstructionCompletesAndLogsWhy)
{
    SWUpgradeInterface client;
    EXPECT_TRUE(log.Has('E', "Create", Highlight("Bus Connection is NULL")));
    EXPECT_TRUE(log.Has('E', "SWUpgradeInterface", Highlight("Failed to initialize CQZGDBus!")));
    EXPECT_EQ(nullptr, SWUpgradeInterface::m_pObject);
}

TEST_F(NoBusClient, DaemonCommandsFailAndStoreReadsStillWork)
{
    SWUpgradeInterface client;
    StoreResult("true&3&partial&ProcKAV&x");
    ASSERT_EQ(0, vconf_set_str(swu::kKeyProgress, "64"));

    stSWUpgradeInfo info = EdgeRequest();
    EXPECT_TRUE(client.isSWUpgrading(SWU_PROCESS_URL));
    EXPECT_FALSE(client.SoftwareUpdate(&info));
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate",
                        Highlight("SWUpgradeInterface::SWUpdate Another Instance of SWupgrade is "
                                  "Active")));

    ASSERT_EQ(0, vconf_unset(swu::kKeyResult));
    EXPECT_FALSE(client.SoftwareUpdate(&info));
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", Highlight("Failed Sending the Message")));

    int progress = 8;
    EXPECT_FALSE(client.GetUpgradeProgress(progress));
    EXPECT_EQ(8, progress);
    EXPECT_FALSE(client.NotifySWUpdateResult());
    EXPECT_EQ("Idle", client.GetSWUpgradeStatus());
    StoreResult("true&3&partial&ProcKAV&x");
    EXPECT_EQ("partial", client.GetSWUpgradeStatus());
    EXPECT_EQ(64, client.readProgress());
}

}  // namespace
