// qz-swu as a user runs it: a child process against the reference daemon on
// the private bus, judged by exit code, stdout, stderr and the daemon's journal.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>

#include "TestSupport.h"

namespace {

using qztest::DaemonProcess;
using Args = std::vector<std::string>;

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    nlohmann::json Json() const { return nlohmann::json::parse(out, nullptr, false); }
    long ErrLines() const { return std::count(err.begin(), err.end(), '\n'); }
};

std::ostream& operator<<(std::ostream& os, const CliRun& r)
{
    return os << "exit " << r.exitCode << "\n--- stdout\n" << r.out << "--- stderr\n" << r.err;
}

// Runs qz-swu with this process's environment: private bus, store root, log file.
CliRun RunCli(Args args)
{
    args.insert(args.begin(), QZ_SWU_CLI_PATH);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    g_autofree gchar* out = nullptr;
    g_autofree gchar* err = nullptr;
    gint status = 0;
    EXPECT_TRUE(g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                             &out, &err, &status, nullptr));
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), out ? out : "",
            err ? err : ""};
}

struct CliTest : ::testing::Test {
    qztest::TempDir m_dir;
    qztest::KvStoreRoot m_store;
    qztest::LogCapture m_log;  // library lines go to a file: stderr holds only the tool's own
};
using NoBusCli = CliTest;
using CliDaemon = CliTest;

TEST_F(NoBusCli, EverySubcommandAnswersHelpWithItsOwnUsage)
{
    for (std::string name : {"submit", "submit-info", "status", "progress", "result", "notify",
                             "check-version", "cabinet", "ota"}) {
        CliRun run = RunCli({name, "--help"});
        EXPECT_EQ(run.exitCode, 0) << run;
        EXPECT_EQ(run.out.rfind("Usage: qz-swu " + name, 0), 0u) << run;
    }
}

TEST_F(NoBusCli, UsageErrorsExitTwoWithOneLineNamingTheProblemAndAHint)
{
    const std::pair<Args, std::string> cases[] = {
        {{}, "missing COMMAND"},
        {{"upgrade"}, "unknown command 'upgrade'"},
        {{"status", "extra"}, "unexpected argument 'extra'"},
        {{"submit", "--version", "1", "--size", "9", "--url", "u"}, "missing --file"},
        {{"submit", "--file"}, "--file needs a value"},
        {{"progress", "--interval", "100"}, "go with --watch"},
        {{"cabinet", "progress", "3x"}, "N must be a whole number"},
        {{"ota", "/dev/null"}, "is empty"},
    };
    for (const auto& [args, mention] : cases) {
        SCOPED_TRACE(mention);
        CliRun run = RunCli(args);
        EXPECT_EQ(run.exitCode, 2) << run;
        EXPECT_EQ(run.ErrLines(), 1) << run;
        EXPECT_NE(run.err.find(mention), std::string::npos) << run;
        EXPECT_NE(run.err.find("--help"), std::string::npos) << run;
        EXPECT_TRUE(run.out.empty()) << run;
    }
}

TEST_F(NoBusCli, WithoutTheDaemonCommandsFailWithAHintButStatusFallsBack)
{
    for (Args args : {Args{"notify"}, Args{"cabinet", "progress", "5"}, Args{"progress"}}) {
        CliRun run = RunCli(args);
        EXPECT_EQ(run.exitCode, 1) << run;
        EXPECT_EQ(run.ErrLines(), 1) << run;
        EXPECT_NE(run.err.find("start qz-swu-daemon"), std::string::npos) << run;
    }
    CliRun status = RunCli({"status", "--json"});
    EXPECT_EQ(status.Json().value("status", ""), "Idle") << status;
    EXPECT_NE(status.err.find("warning"), std::string::npos) << status;
}

TEST_F(CliDaemon, InformationFileSubmissionWatchedToTheEndThenAcknowledged)
{
    DaemonProcess daemon({"--upgrade-ms", "400"});
    qztest::WriteFile(m_dir.File("info.xml"),
                      "<file_name>/opt/u.bin</file_name><software_version>1000.6"
                      "</software_version><file_size>123456</file_size>");
    ASSERT_EQ(RunCli({"submit-info", "Main", m_dir.File("info.xml")}).exitCode, 0);
    EXPECT_EQ(daemon.Events("request").at(0).value("total_bytes", 0), 123456);
    // Stdout is a pipe: plain lines without cursor control, then the result.
    CliRun watch = RunCli({"progress", "--watch", "--interval", "20"});
    ASSERT_EQ(watch.exitCode, 0) << watch;
    EXPECT_EQ(watch.out.find_first_of("\r\033"), std::string::npos) << watch;
    EXPECT_NE(watch.out.find("upgrade: 100%"), std::string::npos) << watch;
    EXPECT_NE(watch.out.find("acknowledged: no"), std::string::npos) << watch;
    EXPECT_EQ(RunCli({"notify"}).out, "last result acknowledged\n");
    EXPECT_EQ(RunCli({"result", "--json"}).Json().value("acknowledged", false), true);
}

TEST_F(CliDaemon, CabinetSubmissionPrintsTheOffsetAndARecordFormOneIsThenRefusedAsBusy)
{
    DaemonProcess daemon({"--reply", "16388=success 4096", "--upgrade-ms", "60000"});
    CliRun cabinet = RunCli({"submit", "--file", "cab.bin", "--version", "1.2", "--size", "8192",
                             "--cabinet", "C7", "--json"});
    ASSERT_EQ(cabinet.exitCode, 0) << cabinet;
    EXPECT_EQ(cabinet.Json().value("offset", -1), 4096) << cabinet;
    CliRun record = RunCli({"submit", "--file", "fw.bin", "--version", "FPGAFW-3", "--size", "7",
                            "--url", "http://h/fw", "--type", "fpga", "--requester", "jor",
                            "--json"});
    EXPECT_EQ(record.exitCode, 1) << record;
    EXPECT_EQ(record.Json().value("reason", ""), "busy") << record;
    EXPECT_EQ(daemon.Events("request").at(1).value("upgrade_type", 0), 10);
    // The library settles on JOR_AUX (8) for JOR asking for an FPGA upgrade.
    EXPECT_EQ(daemon.Events("request").at(1).value("requester", 0), 8);
}

TEST_F(CliDaemon, CheckVersionExitsZeroOnlyWhenAnUpgradeIsRequired)
{
    DaemonProcess daemon;
    qztest::ScopedEnv installed("QZ_SW_VERSION", "QR-KELTPNHAS-1000.5");
    const std::pair<std::string, int> cases[] = {{"1000.6", 0}, {"1000.5", 1}, {"999.9", 1}};
    for (const auto& [version, exitCode] : cases) {
        CliRun run = RunCli({"check-version", "QR-KELTPNHAS", version});
        EXPECT_EQ(run.exitCode, exitCode) << run;
        EXPECT_TRUE(run.err.empty()) << "a 'no' is an answer, not an error: " << run;
    }
}

TEST_F(CliDaemon, OtaStreamsTheImageInSegmentsAndTheDaemonGetsEveryByte)
{
    DaemonProcess daemon({"--ota-output", m_dir.File("received.bin")});
    if (!qztest::WaitUntil([&] { return !daemon.Events("ota_listening").empty(); },
                           std::chrono::seconds(60)))
        GTEST_SKIP() << "another process kept the OTA socket name";
    std::string image(3 * 10000 - 1234, '\0');  // the last segment is short
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 131 + i / 256);
    qztest::WriteFile(m_dir.File("image.bin"), image);
    CliRun run = RunCli({"ota", m_dir.File("image.bin"), "--segment-size", "10000"});
    ASSERT_EQ(run.exitCode, 0) << run;
    EXPECT_EQ(daemon.Events("ota_plan").at(0).value("segments", ""), "1 10000;2 10000;3 8766;");
    ASSERT_TRUE(qztest::WaitUntil([&] { return !daemon.Events("ota_image").empty(); }));
    g_autofree gchar* sha = g_compute_checksum_for_string(G_CHECKSUM_SHA256, image.data(),
                                                          static_cast<gssize>(image.size()));
    EXPECT_EQ(daemon.Events("ota_image")[0].value("sha256", ""), sha);
}

TEST_F(CliDaemon, RefusalPointsToTheLibraryLogWhichReachesStderrOnlyWithVerbose)
{
    DaemonProcess daemon({"--reply", "16386=failure"});
    qztest::ScopedEnv runtime("XDG_RUNTIME_DIR", m_dir.Path());
    qztest::ScopedEnv unset("QZ_PLATFORM_LOG", std::nullopt);
    CliRun quiet = RunCli({"submit", "--file", "a", "--version", "1", "--size", "5", "--url", "u"});
    EXPECT_EQ(quiet.ErrLines(), 1) << quiet;
    EXPECT_NE(quiet.err.find("the daemon refused it"), std::string::npos) << quiet;
    EXPECT_NE(quiet.err.find(m_dir.File("qz-swu.log")), std::string::npos) << quiet;
    EXPECT_NE(qztest::ReadFile(m_dir.File("qz-swu.log")).find("qz-swu-interface"),
              std::string::npos);
    EXPECT_NE(RunCli({"--verbose", "status"}).err.find("qz-swu-interface"), std::string::npos);
}

}  // namespace
