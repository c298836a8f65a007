// The upgrade client object: construction, classification, the busy test,
// submission of a request, and the progress/status/result queries. What the
// daemon received is read back from the reference daemon's journal.
#include <gtest/gtest.h>
#include <vconf.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "SWUInterfaceData.h"
#include "SWUpgradeInterface.h"
#include "SWUpgradeInternal.h"
#include "SWUpgradeResultText.h"
#include "TestSupport.h"

using qztest::DaemonProcess;
using qztest::WaitUntil;
using Args = std::vector<std::string>;
namespace swu = qz::swu;

namespace {

// Short names for the table rows.
constexpr eSWUpgradeProcess JOR = SWU_PROCESS_JOR, KAV = SWU_PROCESS_KAV, URL = SWU_PROCESS_URL,
                            OTA = SWU_PROCESS_OTA, JOR_AUX = SWU_PROCESS_JOR_AUX,
                            KAV_AUX = SWU_PROCESS_KAV_AUX;

std::string HL(const std::string& text) { return "\e[1m\e[33m" + text + "\e[0;m"; }

std::vector<nlohmann::json> CallsOf(const DaemonProcess& daemon, int command)
{
    std::vector<nlohmann::json> found;
    for (auto& e : daemon.Events("call"))
        if (e.value("command", -1) == command)
            found.push_back(e);
    return found;
}

void StoreResult(const char* text)  // null removes the key
{
    ASSERT_EQ(0, text ? vconf_set_str(swu::kKeyResult, text) : vconf_unset(swu::kKeyResult));
}

std::vector<std::string> Fields(const stSWUpgradeResult& r)
{
    return {r.szPending, r.szID, r.szResult, r.szProcess, r.szExtra};
}

SWUDataContainer Decode(const std::string& hex)
{
    const auto bytes = qztest::Unhex(hex);
    QzPack pack;
    pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    SWUDataContainer record;
    record.Unserialize(pack);
    return record;
}

// Fields: id, file, version, bytes, requester, kind, isURL, url, verifyHost,
// certificate, cabinet. This one packs to the 47-byte edge-case record.
const stSWUpgradeInfo kEdge{"", "", "", 1000, URL, SWU_TYPE_IMAGE, true, "", 0, "", ""};

// A fresh store and log per test; the store root is set before the daemon
// starts so that the child sees the same keys.
class ClientTest : public ::testing::Test {
protected:
    void StartClient() { client = std::make_unique<SWUpgradeInterface>(); }
    // The old daemon goes first: the bus name and the OTA socket are not shared.
    void StartDaemon(const Args& args)
    {
        daemon.reset();
        daemon = std::make_unique<DaemonProcess>(args);
    }
    void Start(const Args& args = {}) { StartDaemon(args); StartClient(); }
    bool WaitForCall(int command)
    {
        return WaitUntil([&] { return !CallsOf(*daemon, command).empty(); });
    }
    // The single call of a command: a byte message, argument-less by default.
    std::string OnlyCallPayload(int command, bool emptyPayload = true)
    {
        EXPECT_TRUE(WaitForCall(command)) << command;
        const auto calls = CallsOf(*daemon, command);
        EXPECT_EQ(1u, calls.size()) << command;
        const nlohmann::json call = calls.empty() ? nlohmann::json::object() : calls[0];
        EXPECT_EQ("SendByteMessageWithRet", call.value("method", ""));
        EXPECT_TRUE(!emptyPayload || call.value("payload", "?").empty()) << call.dump();
        return call.value("payload", "");
    }
    // One connection's calls reach the daemon in order: once a later probe
    // call is journaled, an earlier call would have been journaled as well.
    void ExpectNoCallBeforeProbe(int command)
    {
        int progress = 0;
        client->GetUpgradeProgress(progress);
        ASSERT_TRUE(WaitForCall(swu::kCmdQueryProgress));
        EXPECT_TRUE(CallsOf(*daemon, command).empty()) << "unexpected command " << command;
    }

    qztest::LogCapture log;
    qztest::KvStoreRoot store;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<SWUpgradeInterface> client;
};

// ------------------------------------------------------------- client object

TEST_F(ClientTest, ConstructionOwnsTheNameAndNoCallReachesADestroyedEndpoint)
{
    EXPECT_EQ(0, qz_swu_notify_upgrade_result());
    EXPECT_EQ(0, qz_swu_upgrade_from_type());
    qztest::PeerConnection peer;
    auto owned = [&] { return !peer.NameOwner(swu::kLibraryBusName).empty(); };
    StartClient();
    EXPECT_TRUE(WaitUntil(owned));
    EXPECT_EQ(0u, log.Count("Failed to initialize CQZGDBus!"));
    client.reset();
    EXPECT_EQ(nullptr, SWUpgradeInterface::m_pObject);
    EXPECT_TRUE(WaitUntil([&] { return !owned(); }));

    g_autoptr(GError) error = nullptr;
    GVariant* reply = peer.CallIterating(
        swu::kLibraryBusName, "SendByteMessageWithRet",
        g_variant_new("(i@ay)", 1, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1)),
        &error, 2000);
    EXPECT_EQ(nullptr, reply);
    EXPECT_NE(nullptr, error);
    if (reply != nullptr)
        g_variant_unref(reply);

    StartClient();  // the name can be had again
    EXPECT_TRUE(WaitUntil(owned));
}

// ----------------------------------------------------------- classification

TEST_F(ClientTest, ClassificationFirstMatchingRuleDecidesAndIsLogged)
{
    std::vector<std::tuple<std::string, std::string, int>> cases = {  // file, version, kind
        {"a.bin", "LOCAL-2.0", SWU_TYPE_CAL},           {"a.bin", "FPGAFW CAL", SWU_TYPE_FPGA},
        {"a.bin", "QR-KEMTPNHAS FPGAFW", SWU_TYPE_MODEL_A},
        {"a.bin", "x-QR-KELTPNHAS-CAL", SWU_TYPE_MODEL_A},
        {"a.img", "QR-ZOWAPLDHAF_CAL", SWU_TYPE_MODEL_B},
        {"a.bin", "TODO FPGAFW", SWU_TYPE_MODEL_C},
        {"a.bin", "CABINET_BIN_05 CAL", SWU_TYPE_CAL},
        {"a.bin", "CABINET_BIN_05 CABINET_BIN_04", SWU_TYPE_CABINET_BIN_04},
        {"a.img", "CABINET_BIN_12", SWU_TYPE_CABINET_BIN_12},
        {"a.bin", "CABINET_BIN_13", SWU_TYPE_MAIN},     {"update.img.bak", "1.0", SWU_TYPE_IMAGE},
        {"UPDATE.IMG", "1.0", SWU_TYPE_MAIN},           {"update.bin", "v.img", SWU_TYPE_MAIN},
        {"CAL_FPGAFW.bin", "1.0", SWU_TYPE_MAIN},       {"a.bin", "cal-fpgafw-todo", SWU_TYPE_MAIN},
        {"", "", SWU_TYPE_MAIN}};
    for (int n = 3; n <= 12; ++n)  // cabinet number n is kind 9 + n
        cases.emplace_back("c.bin", (n < 10 ? "v-CABINET_BIN_0" : "v-CABINET_BIN_") +
                                        std::to_string(n), 9 + n);
    StartClient();
    for (const auto& [file, version, kind] : cases) {
        SCOPED_TRACE("file '" + file + "' version '" + version + "'");
        log.Clear();
        EXPECT_EQ(kind, client->m_GetUpgradeType(file, version));
        const char* fn = "m_GetUpgradeType";
        EXPECT_TRUE(log.Has('E', fn, HL("File Name [" + file + "], version [" + version + "]")));
        EXPECT_TRUE(log.Has('E', fn, HL("Upgrade Type : [" + std::to_string(kind) + "]")));
        EXPECT_EQ(kind == SWU_TYPE_MAIN,
                  log.Has('E', fn, HL("This is not Valens/FPGA/Cabinet update file.")));
    }
}

TEST_F(ClientTest, ProcessBookkeepingSettlesRequesterAndKind)
{
    const auto other = static_cast<eSWUpgradeProcess>(3);
    // requester, kind given, version, requester settled, kind settled
    const std::tuple<eSWUpgradeProcess, eSWUpgradeType, const char*, eSWUpgradeProcess,
                     eSWUpgradeType>
        cases[] = {{JOR, SWU_TYPE_NONE, "1.0", JOR, SWU_TYPE_MAIN},
                   {JOR, SWU_TYPE_LUMORA_PLAYER, "1.0", JOR_AUX, SWU_TYPE_LUMORA_PLAYER},
                   {JOR, SWU_TYPE_NONE, "FPGAFW", JOR_AUX, SWU_TYPE_FPGA},
                   {KAV, SWU_TYPE_MAIN, "FPGAFW", KAV, SWU_TYPE_MAIN},
                   {KAV, SWU_TYPE_NONE, "CAL", KAV_AUX, SWU_TYPE_CAL},
                   {KAV, SWU_TYPE_FPGA, "1.0", KAV_AUX, SWU_TYPE_FPGA},
                   {OTA, SWU_TYPE_NONE, "FPGAFW", OTA, SWU_TYPE_FPGA},
                   {OTA, SWU_TYPE_MAIN, "1.0", OTA, SWU_TYPE_MAIN},
                   {URL, SWU_TYPE_NONE, "1.0", URL, SWU_TYPE_MAIN},
                   {other, SWU_TYPE_CAL, "1.0", other, SWU_TYPE_CAL},
                   {JOR_AUX, SWU_TYPE_MAIN, "1.0", JOR_AUX, SWU_TYPE_MAIN}};
    StartClient();
    for (const auto& [requester, kindIn, version, settled, kindOut] : cases) {
        SCOPED_TRACE(::testing::Message() << requester << " " << kindIn << " " << version);
        log.Clear();
        eSWUpgradeType kind = kindIn;
        EXPECT_EQ(settled, client->m_UpdateProcessMgr("f.bin", version, requester, kind));
        EXPECT_EQ(kindOut, kind);
        EXPECT_TRUE(log.Has('E', "m_UpdateProcessMgr",
                            HL("Upgrade Type [" + std::to_string(kindOut) + "]")));
        // The markers are consulted only for an unclassified request.
        EXPECT_EQ(kindIn == SWU_TYPE_NONE, log.Count("File Name [f.bin]") == 1);
    }
}

// ------------------------------------------------------------------ busy test

TEST_F(ClientTest, BusyTestDecidesFromStoredResultThenDaemonState)
{
    const char *J = "true&1&ok&ProcJOR&x", *K = "true&1&ok&ProcKAV&x";
    const char *InProgress = "InProgressStatus", *Init = "InitStatus";
    // stored result (null: none), requester, state reply, busy, asks the daemon
    const std::tuple<const char*, eSWUpgradeProcess, const char*, bool, bool> cases[] = {
        {nullptr, JOR, InProgress, false, false}, {nullptr, KAV, InProgress, false, false},
        {nullptr, OTA, InProgress, false, false}, {"", URL, InProgress, false, false},
        {"false&1&ok&ProcJOR&x", JOR, InProgress, false, false},
        {"false&1&ok&ProcKAV&x", OTA, InProgress, false, false},
        {J, JOR, Init, true, false},              {"TRUE&1&ok&ProcJOR&x", JOR, Init, true, false},
        {"&1&ok&ProcJOR&x", JOR, Init, true, false},
        {J, KAV, Init, false, true},              {J, KAV, InProgress, true, true},
        {K, KAV, InProgress, false, false},       {K, JOR, Init, false, true},
        {K, OTA, Init, false, true},              {K, OTA, "InitStatus ", true, true},
        {K, OTA, "initstatus", true, true},       {K, KAV_AUX, "", true, true},
        {"true&1&ok&prockav&x", KAV, InProgress, true, true},
        {"False&1&ok&ProcKAV&x", URL, Init, false, true}, {"true", KAV, Init, false, true}};
    StartClient();
    for (const auto& [stored, requester, state, busy, asks] : cases) {
        SCOPED_TRACE(::testing::Message() << "stored '" << (stored ? stored : "(none)")
                                          << "' requester " << requester << " state '" << state
                                          << "'");
        StoreResult(stored);
        StartDaemon({"--reply", std::string("16393=") + state});
        EXPECT_EQ(busy, client->isSWUpgrading(requester));
        if (asks)
            OnlyCallPayload(swu::kCmdQueryState);
        else
            ExpectNoCallBeforeProbe(swu::kCmdQueryState);
    }
}

TEST_F(ClientTest, BusyTestLogsAPendingResultAndCountsAnAbsentDaemonAsBusy)
{
    StoreResult("true&17&done&ProcJOR&extra");
    StartClient();
    EXPECT_TRUE(client->isSWUpgrading(JOR));
    EXPECT_TRUE(log.Has('E', "isSWUpgrading",
                        HL("Previous result was not notified... by:[ProcJOR], id:[17], "
                           "result:[done]")));
    EXPECT_EQ(0u, log.Count("Send Error"));
    StoreResult("true&17&done&ProcKAV&extra");
    EXPECT_TRUE(client->isSWUpgrading(OTA));
    EXPECT_TRUE(log.Has('I', "isSWUpgrading", "true, 17, done, ProcKAV, extra"));
    EXPECT_EQ(1u, log.Count("Send Error(SendByteMessageWithRet:1)"));
}

// ----------------------------------------------------------------- submission

TEST_F(ClientTest, SubmissionSendsThePackedRecordAndLogsEachField)
{
    Start({"--reply", "16386=success"});
    stSWUpgradeInfo info = kEdge;
    EXPECT_TRUE(client->SoftwareUpdate(&info));
    std::string expected;
    for (int i = 0; i < 6; ++i)
        expected += "0100000000";
    expected += "e8030000" "04000000" "01" "09000000" "00000000";
    ASSERT_EQ(94u, expected.size());
    EXPECT_EQ(expected, OnlyCallPayload(swu::kCmdSubmitRequest, false));

    // An unclassified request: the settled kind goes only into the record,
    // the settled requester also into the caller's structure.
    log.Clear();
    info = {"sw-1", "/tmp/u.img", "FPGAFW-3", 1000, JOR, SWU_TYPE_NONE, true,
            "https://example.invalid/u", 2, "/etc/cert.pem", "cab-7"};
    ASSERT_TRUE(client->SoftwareUpdate(&info));
    EXPECT_EQ(SWU_TYPE_NONE, info.nUpgradeType);
    EXPECT_EQ(JOR_AUX, info.nProductType);
    ASSERT_TRUE(WaitUntil([&] { return CallsOf(*daemon, swu::kCmdSubmitRequest).size() == 2; }));
    const auto record = Decode(CallsOf(*daemon, swu::kCmdSubmitRequest)[1]["payload"]);
    EXPECT_EQ(SWU_TYPE_FPGA, record.m_nUpgradeType);
    EXPECT_EQ(JOR_AUX, record.m_nProductType);
    EXPECT_EQ("/tmp/u.img|FPGAFW-3|cab-7", record.m_strFileName + "|" + record.m_strSWVersion +
                                               "|" + record.m_strCabinetID);
    const std::pair<char, std::string> lines[] = {
        {'I', "SWUpgradeInterface::SWUpdate"}, {'E', HL("Before Sending the Message")},
        {'E', HL("Updated Process Manager [8]")}, {'I', "nUpgradeType [10]"},
        {'E', HL("Product Type [8]")}, {'I', "pstSWUInfo->szSoftwareID [sw-1]"},
        {'I', "pstSWUInfo->szFileName [/tmp/u.img]"}, {'I', "pstSWUInfo->szSWVersion [FPGAFW-3]"},
        {'I', "pstSWUInfo->szURL [https://example.invalid/u]"},
        {'I', "pstSWUInfo->lTotalBytes [1000]"}, {'I', "pstSWUInfo->nVerifyHost [2]"},
        {'I', "pstSWUInfo->bIsURL [1]"}, {'I', "pstSWUInfo->szCertificatePath [/etc/cert.pem]"},
        {'I', "pstSWUInfo->szCabinetID [cab-7]"}, {'E', HL("Success Sending the Message")},
        {'E', HL(" Result is Success ")}};
    for (const auto& [priority, body] : lines)
        EXPECT_TRUE(log.Has(priority, "SoftwareUpdate", body)) << priority << " " << body;
    EXPECT_EQ(0u, log.Count("Failed Sending the Message"));
}

TEST_F(ClientTest, BypassRequestSkipsBusyTestAndBookkeeping)
{
    StoreResult("true&1&ok&ProcKAV&x");  // would make requester 7 ask the daemon
    Start({"--reply", "16386=success", "--reply", "16393=InProgressStatus"});
    stSWUpgradeInfo info{"", "x.img", "", 0, OTA, SWU_TYPE_BYPASS, false, "", 0, "", ""};
    EXPECT_TRUE(client->SoftwareUpdate(&info));
    EXPECT_EQ(OTA, info.nProductType);
    EXPECT_EQ(0u, log.Count("Updated Process Manager"));
    const auto record = Decode(OnlyCallPayload(swu::kCmdSubmitRequest, false));
    EXPECT_EQ(SWU_TYPE_BYPASS, record.m_nUpgradeType);
    EXPECT_EQ(OTA, record.m_nProductType);
    ExpectNoCallBeforeProbe(swu::kCmdQueryState);
}

TEST_F(ClientTest, RequestRefusedByBusyTestLeavesCallerStructureAlone)
{
    StoreResult("true&1&ok&ProcJOR&x");
    Start({"--reply", "16386=success"});
    stSWUpgradeInfo info{"", "a.img", "FPGAFW", 0, JOR, SWU_TYPE_NONE, false, "", 0, "", ""};
    EXPECT_FALSE(client->SoftwareUpdate(&info));
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate",
                        HL("SWUpgradeInterface::SWUpdate Another Instance of SWupgrade is "
                           "Active")));
    EXPECT_EQ(0u, log.Count("Before Sending the Message"));
    EXPECT_EQ(JOR, info.nProductType);
    EXPECT_EQ(SWU_TYPE_NONE, info.nUpgradeType);
    ExpectNoCallBeforeProbe(swu::kCmdSubmitRequest);
}

TEST_F(ClientTest, SubmissionAndNotifyAcceptOnlyTheExactWordSuccess)
{
    StartClient();
    for (std::string reply : {"success", "Success", "SUCCESS", "success ", " success", "success\n",
                              "", "fail"}) {
        SCOPED_TRACE("reply '" + reply + "'");
        StartDaemon({"--reply", "16386=" + reply, "--reply", "16389=" + reply});
        log.Clear();
        stSWUpgradeInfo info = kEdge;
        const bool ok = reply == "success";
        EXPECT_EQ(ok, client->SoftwareUpdate(&info));
        EXPECT_TRUE(log.Has('E', "SoftwareUpdate", HL("Success Sending the Message")));
        EXPECT_EQ(ok, log.Has('E', "SoftwareUpdate", HL(" Result is Success ")));
        EXPECT_EQ(ok, client->NotifySWUpdateResult());
        EXPECT_TRUE(log.Has('E', "NotifySWUpdateResult", HL("")));
        EXPECT_EQ(ok, log.Has('E', "NotifySWUpdateResult", HL(" Result is Success ")));
        OnlyCallPayload(swu::kCmdNotifyResult);
    }
}

// -------------------------------------------------------------------- queries

TEST_F(ClientTest, ProgressQueryReadsWordThenNumber)
{
    const std::tuple<std::string, int, bool, std::string> cases[] = {  // reply, progress, ok, word
        {"success 57", 57, true, "success"}, {"fail 57", 57, false, "fail"},
        {"success", 0, true, "success"},     {"", 0, false, ""},
        {"  success\t-12%", -12, true, "success"}, {"Success 3", 3, false, "Success"},
        {"success abc", 0, true, "success"}};
    StartClient();
    for (const auto& [reply, expected, ok, word] : cases) {
        SCOPED_TRACE("reply '" + reply + "'");
        StartDaemon({"--reply", "16392=" + reply});
        log.Clear();
        int progress = -99;
        EXPECT_EQ(ok, client->GetUpgradeProgress(progress));
        EXPECT_EQ(expected, progress);
        EXPECT_TRUE(log.Has('E', "GetUpgradeProgress", HL(" Return value = " + reply)));
        EXPECT_TRUE(log.Has('E', "GetUpgradeProgress",
                            HL("Current Progress[" + std::to_string(expected) +
                               "] & Return String [" + word + "]")));
        OnlyCallPayload(swu::kCmdQueryProgress);
    }
}

TEST_F(ClientTest, DaemonCommandsFailWhenTheDaemonIsAbsentOrAnswersTheWrongType)
{
    StartClient();
    for (bool present : {false, true}) {
        SCOPED_TRACE(present ? "reply of the wrong type" : "no daemon");
        if (present)
            StartDaemon({"--wrong-type", "16386", "--wrong-type", "16392", "--wrong-type",
                         "16389", "--wrong-type", "16393"});
        log.Clear();
        StoreResult(nullptr);
        stSWUpgradeInfo info{"", "a.img", "", 0, KAV, SWU_TYPE_NONE, false, "", 0, "", ""};
        EXPECT_FALSE(client->SoftwareUpdate(&info));
        EXPECT_TRUE(log.Has('E', "SoftwareUpdate", HL("Failed Sending the Message")));
        EXPECT_EQ(0u, log.Count("Success Sending the Message"));
        EXPECT_EQ(KAV_AUX, info.nProductType);  // the bookkeeping ran before the send
        int progress = 31;
        EXPECT_FALSE(client->GetUpgradeProgress(progress));
        EXPECT_EQ(31, progress);
        EXPECT_EQ(0u, log.Count("Return value"));
        EXPECT_FALSE(client->NotifySWUpdateResult());
        StoreResult("true&17&failed-checksum&ProcKAV&x");
        EXPECT_TRUE(client->isSWUpgrading(OTA));
        EXPECT_TRUE(log.Has('I', "isSWUpgrading", "true, 17, failed-checksum, ProcKAV, x"));
        EXPECT_EQ("failed-checksum", client->GetSWUpgradeStatus());
    }
    for (int command : {swu::kCmdSubmitRequest, swu::kCmdQueryProgress, swu::kCmdNotifyResult,
                        swu::kCmdQueryState})
        EXPECT_TRUE(WaitForCall(command)) << command;
}

TEST_F(ClientTest, StatusIsInProgressWhileTheDaemonSaysSoElseAResultPendingExactlyTrue)
{
    StoreResult("true&12&ok&ProcKAV&x");
    Start({"--reply", "16393=InProgressStatus"});
    EXPECT_EQ("InProgress", client->GetSWUpgradeStatus());

    StartDaemon({"--reply", "16393=inprogressstatus"});
    const std::pair<const char*, const char*> cases[] = {
        {"true&12&ok&ProcKAV&x", "ok"}, {nullptr, "Idle"}, {"TRUE&12&ok", "Idle"},
        {"&12&ok", "Idle"}, {"false&12&ok", "Idle"}, {"true ", "Idle"}, {"true&12&", ""}};
    for (const auto& [stored, status] : cases) {
        StoreResult(stored);
        EXPECT_EQ(status, client->GetSWUpgradeStatus()) << (stored ? stored : "(none)");
    }
    EXPECT_TRUE(log.Has('E', "readResult", HL("Failed to Read VConf Value")));
}

// ------------------------------------------------- key-value store reads only

TEST_F(ClientTest, StoredProgressFollowsStrtolRulesAndPlayerModeIsOnOnlyForOne)
{
    StartClient();
    EXPECT_EQ(0, client->readProgress());
    EXPECT_TRUE(log.Has('E', "readProgress", HL("Failed to Read VConf Value")));
    log.Clear();
    const std::pair<const char*, int> cases[] = {
        {"42%", 42}, {"abc", 0}, {"  -7", -7}, {"+15x", 15}, {"", 0}, {"100", 100}};
    for (const auto& [text, value] : cases) {
        ASSERT_EQ(0, vconf_set_str(swu::kKeyProgress, text));
        EXPECT_EQ(value, client->readProgress()) << text;
    }
    EXPECT_EQ(0u, log.Count("Failed to Read VConf Value"));

    EXPECT_FALSE(client->isLumoraMode());
    const std::pair<int, bool> modes[] = {{1, true}, {2, false}, {0, false}};
    for (const auto& [mode, on] : modes) {
        ASSERT_EQ(0, vconf_set_int(swu::kKeyPlayerMode, mode));
        EXPECT_EQ(on, client->isLumoraMode()) << mode;
    }
    ASSERT_EQ(0, vconf_set_str(swu::kKeyPlayerMode, "one"));
    EXPECT_FALSE(client->isLumoraMode());
    EXPECT_EQ(0u, log.Count("isLumoraMode"));
}

TEST_F(ClientTest, StoredResultSplitsOnAmpersandAndMissingFieldsKeepTheirValues)
{
    StartClient();
    const std::vector<std::string> old = {"P0", "I0", "R0", "B0", "E0"};
    stSWUpgradeResult result{"P0", "I0", "R0", "B0", "E0"};
    EXPECT_FALSE(client->readResult(&result));
    EXPECT_TRUE(log.Has('E', "readResult", HL("Failed to Read VConf Value")));
    StoreResult("");
    EXPECT_FALSE(client->readResult(&result));
    EXPECT_TRUE(log.Has('E', "readResult", HL("Invalid Key Value")));
    EXPECT_EQ(old, Fields(result));

    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"true&12&ok&ProcKAV&x", {"true", "12", "ok", "ProcKAV", "x"}},
        {"true&12", {"true", "12", "R0", "B0", "E0"}}, {"true&12&", {"true", "12", "", "B0", "E0"}},
        {"a&b&c&d&e&f", {"a", "b", "c", "d", "e"}},    {"a&&c&d&e", {"a", "", "c", "d", "e"}},
        {"&", {"", "", "R0", "B0", "E0"}},             {"only", {"only", "I0", "R0", "B0", "E0"}},
        {"a&b&c&d&", {"a", "b", "c", "d", ""}},        {"&&&&&&&", {"", "", "", "", ""}}};
    for (const auto& [stored, want] : cases) {
        StoreResult(stored);
        stSWUpgradeResult viaStore{"P0", "I0", "R0", "B0", "E0"}, direct = viaStore;
        EXPECT_TRUE(client->readResult(&viaStore)) << stored;
        EXPECT_EQ(want, Fields(viaStore)) << stored;
        swu::SplitStoredResult(stored, direct);
        EXPECT_EQ(want, Fields(direct)) << stored;
    }
}

// ------------------------------------------------------------------ no bus

using NoBusClient = ClientTest;

TEST_F(NoBusClient, ConstructionCompletesAndDaemonCommandsFailWhileStoreReadsWork)
{
    StartClient();
    EXPECT_TRUE(log.Has('E', "Create", HL("Bus Connection is NULL")));
    EXPECT_TRUE(log.Has('E', "SWUpgradeInterface", HL("Failed to initialize CQZGDBus!")));
    EXPECT_EQ(nullptr, SWUpgradeInterface::m_pObject);

    StoreResult("true&3&partial&ProcKAV&x");
    ASSERT_EQ(0, vconf_set_str(swu::kKeyProgress, "64"));
    EXPECT_TRUE(client->isSWUpgrading(URL));
    StoreResult(nullptr);
    stSWUpgradeInfo info = kEdge;
    EXPECT_FALSE(client->SoftwareUpdate(&info));
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", HL("Failed Sending the Message")));

    int progress = 8;
    EXPECT_FALSE(client->GetUpgradeProgress(progress));
    EXPECT_EQ(8, progress);
    EXPECT_FALSE(client->NotifySWUpdateResult());
    EXPECT_EQ("Idle", client->GetSWUpgradeStatus());
    StoreResult("true&3&partial&ProcKAV&x");
    EXPECT_EQ("partial", client->GetSWUpgradeStatus());
    EXPECT_EQ(64, client->readProgress());
}

}  // namespace
