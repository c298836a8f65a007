// The upgrade client object: classification, the busy test, submission and
// the queries. What the daemon received is read back from its journal.
#include <climits>

#include "SWUpgradeInterface.h"
#include "TestCommon.h"

using qztest::ForCommand;
using qztest::WaitUntil;

namespace {

constexpr eSWUpgradeProcess JOR = SWU_PROCESS_JOR, KAV = SWU_PROCESS_KAV, OTA = SWU_PROCESS_OTA;

void StoreResult(const char* text) { qztest::StoreText(swu::kKeyResult, text); }

// The daemon's arguments to answer the state query with the given text.
std::vector<std::string> StateReply(const char* state)
{
    return {"--reply", ForCommand(swu::kCmdQueryState, state)};
}

class ClientTest : public qztest::ClientFixture {
protected:
    void StartDaemon(const std::vector<std::string>& args)
    {
        daemon.reset();  // the bus name is not shared
        daemon = std::make_unique<qztest::DaemonProcess>(args);
    }
    std::vector<std::string> Payloads(int command) { return daemon->Payloads(command); }
    // The payload of the one call of a command, once it is journaled.
    std::string OnlyPayload(int command)
    {
        EXPECT_TRUE(WaitUntil([&] { return !Payloads(command).empty(); })) << command;
        const auto found = Payloads(command);
        return found.size() == 1 ? found[0] : std::to_string(found.size()) + " calls";
    }
    // Calls of one connection arrive in order: once the probe is journaled,
    // an earlier call of the command would be as well.
    void ExpectNoCallBeforeProbe(int command)
    {
        int progress = 0;
        client->GetUpgradeProgress(progress);
        ASSERT_TRUE(WaitUntil([&] { return !Payloads(swu::kCmdQueryProgress).empty(); }));
        EXPECT_TRUE(Payloads(command).empty()) << "unexpected command " << command;
    }

    std::unique_ptr<qztest::DaemonProcess> daemon;
    std::unique_ptr<SWUpgradeInterface> client = std::make_unique<SWUpgradeInterface>();
};

TEST_F(ClientTest, ClassificationFirstMatchingRuleDecides)
{
    std::vector<std::tuple<std::string, std::string, int>> cases = {
        {"a.bin", "FPGAFW CAL", SWU_TYPE_FPGA},
        {"a.bin", "x-QR-KELTPNHAS", SWU_TYPE_MODEL_A},
        {"a.bin", "QR-KEMTPNHAS FPGAFW", SWU_TYPE_MODEL_A},
        {"a.img", "QR-ZOWAPLDHAF_CAL", SWU_TYPE_MODEL_B},
        {"a.bin", "TODO", SWU_TYPE_MODEL_C},
        {"a.bin", "CABINET_BIN_05 CAL", SWU_TYPE_CAL},
        {"a.img", "CABINET_BIN_13", SWU_TYPE_IMAGE},
        {"a.bin", "CABINET_BIN_05 CABINET_BIN_04", SWU_TYPE_CABINET_BIN_04},
        {"UPDATE.IMG", "1.0", SWU_TYPE_MAIN},
        {"CAL_FPGAFW.bin", "cal", SWU_TYPE_MAIN}};
    for (int n = 3; n <= 12; ++n)  // cabinet number n is kind 9 + n
        cases.emplace_back("c.bin", (n < 10 ? "CABINET_BIN_0" : "CABINET_BIN_") + std::to_string(n),
                           9 + n);
    for (const auto& [file, version, kind] : cases)
        EXPECT_EQ(kind, client->m_GetUpgradeType(file, version)) << file << " " << version;
}

TEST(ClientExports, UnmangledFunctionsAnswerZero)
{
    EXPECT_EQ(0, qz_swu_notify_upgrade_result());
    EXPECT_EQ(0, qz_swu_upgrade_from_type());
}

TEST_F(ClientTest, BookkeepingMovesNonMainJorAndKavRequestsToTheirAuxiliaries)
{
    // Requester, kind given, version; the requester and kind settled.
    const std::tuple<eSWUpgradeProcess, eSWUpgradeType, const char*, int, int> cases[] = {
        {JOR, SWU_TYPE_NONE, "1.0", JOR, SWU_TYPE_MAIN},
        {JOR, SWU_TYPE_NONE, "FPGAFW", SWU_PROCESS_JOR_AUX, SWU_TYPE_FPGA},
        {KAV, SWU_TYPE_MAIN, "FPGAFW", KAV, SWU_TYPE_MAIN},  // a given kind wins
        {KAV, SWU_TYPE_CAL, "1.0", SWU_PROCESS_KAV_AUX, SWU_TYPE_CAL}};
    for (const auto& [requester, kindIn, version, settled, kindOut] : cases) {
        eSWUpgradeType kind = kindIn;
        SCOPED_TRACE(::testing::Message() << requester << " " << version);
        EXPECT_EQ(settled, client->m_UpdateProcessMgr("f.bin", version, requester, kind));
        EXPECT_EQ(kindOut, kind);
    }
}

TEST_F(ClientTest, BusyTestDecidesFromStoredResultThenDaemonState)
{
    const char *J = "true&1&ok&ProcJOR&x", *K = "true&1&ok&ProcKAV&x";
    const char *Busy = "InProgressStatus", *Init = "InitStatus";
    // Stored result (null: none), requester, the daemon's state; busy, asks the daemon.
    const std::tuple<const char*, eSWUpgradeProcess, const char*, bool, bool> cases[] = {
        {nullptr, JOR, Busy, false, false},
        {"", OTA, Busy, false, false},
        {"false&1&ok&ProcJOR&x", JOR, Busy, false, false},
        {J, JOR, Init, true, false},
        {"TRUE&1&ok&ProcJOR&x", JOR, Init, true, false},
        {J, KAV, Init, false, true},
        {J, KAV, Busy, true, true},
        {K, KAV, Busy, false, false},
        {K, JOR, Init, false, true},
        {K, OTA, "InitStatus ", true, true},
        {K, OTA, "initstatus", true, true},
        {"true&1&ok&prockav&x", KAV, Busy, true, true}};
    for (const auto& [stored, requester, state, busy, asks] : cases) {
        SCOPED_TRACE(::testing::Message() << "stored '" << (stored ? stored : "(none)")
                                          << "' requester " << requester << " state " << state);
        StoreResult(stored);
        StartDaemon(StateReply(state));
        EXPECT_EQ(busy, client->isSWUpgrading(requester));
        if (asks)
            EXPECT_EQ("", OnlyPayload(swu::kCmdQueryState));
        else
            ExpectNoCallBeforeProbe(swu::kCmdQueryState);
    }
}

TEST_F(ClientTest, SubmissionSendsThePackedRecordAndAcceptsOnlyTheExactWordSuccess)
{
    // 47 bytes: six empty texts (length 1, the terminating zero), then the total 1000,
    // requester 4, the URL flag, kind 9 and the host check 0.
    std::string record;
    for (int i = 0; i < 6; ++i)
        record += "0100000000";
    record += "e803000004000000010900000000000000";
    for (std::string reply : {"success", "Success", "success ", ""}) {
        SCOPED_TRACE("reply '" + reply + "'");
        StartDaemon({"--reply", ForCommand(swu::kCmdSubmitRequest, reply), "--reply",
                     ForCommand(swu::kCmdNotifyResult, reply)});
        stSWUpgradeInfo info{"", "", "", 1000, SWU_PROCESS_URL, SWU_TYPE_IMAGE, true,
                             "", 0,  "", ""};
        EXPECT_EQ(reply == "success", client->SoftwareUpdate(&info));
        EXPECT_EQ(record, OnlyPayload(swu::kCmdSubmitRequest));
        EXPECT_EQ(reply == "success", client->NotifySWUpdateResult());
    }
    // Each accepted command says so once, under its own operation's name.
    const std::string accepted = qztest::Hl(" Result is Success ");
    EXPECT_EQ(log.Find("SoftwareUpdate", accepted).size(), 1u);
    EXPECT_EQ(log.Find("NotifySWUpdateResult", accepted).size(), 1u);
}

TEST_F(ClientTest, BusyRequestIsRefusedButABypassRequestIsSent)
{
    StoreResult("true&1&ok&ProcJOR&x");
    StartDaemon({"--reply", ForCommand(swu::kCmdSubmitRequest, "success")});
    stSWUpgradeInfo info{"", "a.img", "FPGAFW", 0, JOR, SWU_TYPE_NONE, false, "", 0, "", ""};
    EXPECT_FALSE(client->SoftwareUpdate(&info));
    EXPECT_EQ(JOR, info.nProductType);
    EXPECT_EQ(1u, log.Count("Another Instance of SWupgrade is Active"));
    EXPECT_TRUE(log.Has('E', "isSWUpgrading",
                        qztest::Hl("Previous result was not notified... "
                                   "by:[ProcJOR], id:[1], result:[ok]")));
    ExpectNoCallBeforeProbe(swu::kCmdSubmitRequest);
    // A bypass request skips both the busy test and the bookkeeping.
    info.nUpgradeType = SWU_TYPE_BYPASS;
    EXPECT_TRUE(client->SoftwareUpdate(&info));
    EXPECT_EQ(JOR, info.nProductType);
    EXPECT_FALSE(OnlyPayload(swu::kCmdSubmitRequest).empty());
}

// The requester is settled (and written back) before the daemon answers;
// the settled kind goes into the record only. Every other field travels as given.
TEST_F(ClientTest, RefusedSubmissionStillRewritesTheRequesterButNeverTheKind)
{
    StartDaemon({"--reply", ForCommand(swu::kCmdSubmitRequest, "busy")});
    stSWUpgradeInfo info{"ID-7", "a.bin",     "FPGAFW", 4096,      JOR,    SWU_TYPE_NONE,
                         true,   "https://u", 2,        "/ca.pem", "cab-3"};
    EXPECT_FALSE(client->SoftwareUpdate(&info));
    EXPECT_EQ(SWU_PROCESS_JOR_AUX, info.nProductType);
    EXPECT_EQ(SWU_TYPE_NONE, info.nUpgradeType);
    const SWUDataContainer sent = qztest::RecordFromHex(OnlyPayload(swu::kCmdSubmitRequest));
    EXPECT_EQ(sent.m_strSoftwareID + "|" + sent.m_strFileName + "|" + sent.m_strSWVersion + "|" +
                  sent.m_strURL + "|" + sent.m_strCertificatePath + "|" + sent.m_strCabinetID,
              "ID-7|a.bin|FPGAFW|https://u|/ca.pem|cab-3");
    EXPECT_EQ(std::make_tuple(sent.m_nUpgradeType, sent.m_nProductType, sent.m_lTotalBytes,
                              sent.m_bIsURL, sent.m_nVerifyHost),
              std::make_tuple(SWU_TYPE_FPGA, SWU_PROCESS_JOR_AUX, 4096u, true, 2));
}

// Without an answer (no daemon) the caller's value stays as it was; read as an
// int, a number out of range stops at the nearest limit.
TEST_F(ClientTest, ProgressQueryReadsWordThenNumber)
{
    // The daemon's reply (null: no daemon), the progress read, the outcome.
    const std::tuple<const char*, int, bool> cases[] = {{"success 57", 57, true},
                                                        {"fail 57", 57, false},
                                                        {"success", 0, true},
                                                        {"", 0, false},
                                                        {nullptr, -99, false},
                                                        {"success 3000000000", INT_MAX, true},
                                                        {"success -3000000000", INT_MIN, true}};
    for (const auto& [reply, expected, ok] : cases) {
        SCOPED_TRACE(reply ? reply : "(no daemon)");
        daemon.reset();
        if (reply)
            StartDaemon({"--reply", ForCommand(swu::kCmdQueryProgress, reply)});
        int progress = -99;
        EXPECT_EQ(ok, client->GetUpgradeProgress(progress));
        EXPECT_EQ(expected, progress);
    }
}

// Anything but the daemon's exact "InProgressStatus" (no answer, a wrong
// type, another text) falls back to a stored result pending exactly "true".
TEST_F(ClientTest, StatusIsInProgressWhileTheDaemonSaysSoElseAResultPendingExactlyTrue)
{
    // The daemon's arguments (empty: no daemon), the stored result, the status.
    const std::tuple<std::vector<std::string>, const char*, const char*> cases[] = {
        {StateReply("InProgressStatus"), "true&12&ok&ProcKAV&x", "InProgress"},
        {StateReply("InitStatus"), "true&12&ok&ProcKAV&x", "ok"},
        {StateReply("InitStatus"), "TRUE&12&ok", "Idle"},
        {StateReply("InitStatus"), nullptr, "Idle"},
        {StateReply("inprogressstatus"), "true&12&Failed", "Failed"},
        {StateReply("InProgressStatus "), "true&12&Failed", "Failed"},
        {{"--wrong-type", ForCommand(swu::kCmdQueryState)}, "true&12&Failed", "Failed"},
        {{}, "true&12&Failed", "Failed"},
    };
    for (const auto& [args, stored, status] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args) + " " + (stored ? stored : "-"));
        StoreResult(stored);
        daemon.reset();
        if (!args.empty())
            StartDaemon(args);
        EXPECT_EQ(status, client->GetSWUpgradeStatus());
    }
}

// A missing key logs the read failure at error priority; a text that is not
// a number reads as 0 without it.
TEST_F(ClientTest, ProgressAndPlayerModeReadFromTheStore)
{
    const std::pair<const char*, int> progress[] = {
        {"42", 42}, {"42%", 42}, {" -7x", -7}, {"abc", 0}, {nullptr, 0}};  // null: no key
    for (const auto& [stored, value] : progress) {
        SCOPED_TRACE(stored ? stored : "(no key)");
        log.Clear();
        qztest::StoreText(swu::kKeyProgress, stored);
        EXPECT_EQ(value, client->readProgress());
        EXPECT_EQ(stored ? 0u : 1u, log.Count("Failed to Read VConf Value"));
        EXPECT_EQ(!stored, log.Has('E', "readProgress", qztest::Hl("Failed to Read VConf Value")));
    }
    for (int mode : {0, 1, 2}) {
        qztest::StoreInt(swu::kKeyPlayerMode, mode);
        EXPECT_EQ(mode == 1, client->isLumoraMode()) << mode;
    }
    qztest::StoreText(swu::kKeyPlayerMode, nullptr);
    EXPECT_FALSE(client->isLumoraMode());
}

TEST_F(ClientTest, StoredResultSplitsOnAmpersandAndMissingFieldsKeepTheirValues)
{
    stSWUpgradeResult r{"P0", "I0", "R0", "B0", "E0"};
    StoreResult("");
    EXPECT_FALSE(client->readResult(&r));
    EXPECT_EQ(1u, log.Count("Invalid Key Value"));
    // Fields whose opening '&' is missing keep what they held.
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"true&12", {"true", "12", "R0", "B0", "E0"}},
        {"true&12&", {"true", "12", "", "B0", "E0"}},
        {"a&b&c&d&e&f", {"a", "b", "c", "d", "e"}},
        {"a&&c&d&e", {"a", "", "c", "d", "e"}}};
    for (const auto& [stored, want] : cases) {
        StoreResult(stored);
        r = {"P0", "I0", "R0", "B0", "E0"};
        EXPECT_TRUE(client->readResult(&r)) << stored;
        EXPECT_EQ(want, (std::vector<std::string>{r.szPending, r.szID, r.szResult, r.szProcess,
                                                  r.szExtra}))
            << stored;
    }
}

}  // namespace
