// qz-swu as a user runs it: a child process against the reference daemon on
// the private bus, judged by exit code, stdout (text or JSON), stderr and
// what the daemon recorded.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "SWUInterfaceData.h"
#include "TestSupport.h"

namespace {

using qztest::DaemonProcess;
using qztest::KvStoreRoot;
using qztest::ScopedEnv;
using qztest::TempDir;
using nlohmann::json;

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;

    std::vector<std::string> OutLines() const { return Lines(out); }
    std::vector<std::string> ErrLines() const { return Lines(err); }
    // The last JSON object on stdout (--watch prints one per change first).
    json Json() const
    {
        auto lines = OutLines();
        if (lines.empty())
            return json();
        return json::parse(lines.back(), nullptr, false);
    }

    static std::vector<std::string> Lines(const std::string& text)
    {
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            if (end > start)
                lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }
};

std::ostream& operator<<(std::ostream& os, const CliRun& run)
{
    return os << "exit " << run.exitCode << "\n--- stdout\n" << run.out << "--- stderr\n" << run.err;
}

// Runs qz-swu with the test process's environment (private bus, key-value
// store root) plus the given overrides.
CliRun RunCli(const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {})
{
    std::vector<std::string> argv{QZ_SWU_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    gchar** envp = g_get_environ();
    for (const auto& [name, value] : env)
        envp = g_environ_setenv(envp, name.c_str(), value.c_str(), TRUE);

    CliRun run;
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint status = 0;
    GError* error = nullptr;
    gboolean spawned = g_spawn_sync(nullptr, cargv.data(), envp, G_SPAWN_DEFAULT, nullptr,
                                    nullptr, &out, &err, &status, &error);
    g_strfreev(envp);
    if (!spawned) {
        ADD_FAILURE() << "cannot run qz-swu: " << error->message;
        g_error_free(error);
        return run;
    }
    run.out = out ? out : "";
    run.err = err ? err : "";
    g_free(out);
    g_free(err);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// Library log lines go to a file of the test's own unless a case asks
// otherwise, so that stderr holds only what the tool itself says.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(QZ_SWU_CLI_PATH).empty())
            GTEST_SKIP() << "qz-swu is not built";
    }

    CliRun Run(const std::vector<std::string>& args, std::map<std::string, std::string> env = {})
    {
        env.emplace("QZ_PLATFORM_LOG", m_dir.File("library.log"));
        return RunCli(args, env);
    }

    std::string WriteInfoFile(const std::string& fileName, const std::string& version,
                              const std::string& size)
    {
        std::string path = m_dir.File("info.xml");
        qztest::WriteFile(path, "<upgrade>\n  <software_id>77</software_id>\n  <file_name>" +
                                    fileName + "</file_name>\n  <software_version>" + version +
                                    "</software_version>\n  <file_size>" + size +
                                    "</file_size>\n</upgrade>\n");
        return path;
    }

    TempDir m_dir;
};

// Records the daemon received for command 16386, decoded from the journal.
std::vector<SWUDataContainer> SubmittedRecords(const DaemonProcess& daemon)
{
    std::vector<SWUDataContainer> records;
    for (const auto& call : daemon.Events("call")) {
        if (call.value("command", 0) != 16386)
            continue;
        auto bytes = qztest::Unhex(call.value("payload", ""));
        QzPack pack;
        pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
        SWUDataContainer record;
        record.Unserialize(pack);
        records.push_back(record);
    }
    return records;
}

// Stops the daemon and waits until the bus has dropped its name, so that a
// daemon started next is the one that answers.
void StopDaemon(DaemonProcess& daemon)
{
    daemon.Stop();
    qztest::PeerConnection peer;
    ASSERT_TRUE(qztest::WaitUntil([&] { return peer.NameOwner(qztest::kDaemonBusName).empty(); }));
}

bool CallArrived(const DaemonProcess& daemon, int command)
{
    auto calls = daemon.Events("call");
    return std::any_of(calls.begin(), calls.end(),
                       [&](const json& c) { return c.value("command", 0) == command; });
}

// ------------------------------------------------------- usage, no bus

using NoBusCliUsage = CliTest;

TEST_F(NoBusCliUsage, EverySubcommandAnswersHelpWithItsOwnUsage)
{
    for (const char* name : {"submit", "submit-info", "status", "progress", "result", "notify",
                             "check-version", "cabinet", "ota"}) {
        CliRun run = Run({name, "--help"});
        EXPECT_EQ(run.exitCode, 0) << name << "\n" << run;
        EXPECT_EQ(run.out.rfind(std::string("Usage: qz-swu ") + name, 0), 0u) << run;
        EXPECT_TRUE(run.err.empty()) << run;
    }
    CliRun top = Run({"--help"});
    EXPECT_EQ(top.exitCode, 0);
    EXPECT_NE(top.out.find("check-version"), std::string::npos) << top;
    EXPECT_EQ(Run({"help", "ota"}).out, Run({"ota", "--help"}).out);
}

TEST_F(NoBusCliUsage, UsageErrorsExitTwoWithOneLineNamingTheProblem)
{
    struct Case {
        std::vector<std::string> args;
        std::string mention;
    };
    std::vector<Case> cases = {
        {{}, "missing COMMAND"},
        {{"upgrade"}, "unknown command 'upgrade'"},
        {{"status", "--colour"}, "unknown option --colour"},
        {{"status", "extra"}, "unexpected argument 'extra'"},
        {{"submit", "--version", "1.0", "--size", "10", "--url", "http://h/f"}, "missing --file"},
        {{"submit", "--file", "f", "--version", "1", "--size", "ten", "--url", "u"}, "--size"},
        {{"submit", "--file", "f", "--version", "1", "--size", "0", "--url", "u"}, "--size"},
        {{"submit", "--file", "f", "--version", "1", "--size", "9", "--url", "u", "--cabinet",
          "c"},
         "exactly one of --url"},
        {{"submit", "--file", "f", "--version", "1", "--size", "9", "--url", "u", "--type",
          "sideways"},
         "--type 'sideways'"},
        {{"submit", "--file"}, "--file needs a value"},
        {{"submit-info", "Main"}, "missing NAME and FILE"},
        {{"submit-info", "Main", "/nonexistent/info.xml"}, "cannot read information file"},
        {{"progress", "--interval", "100"}, "go with --watch"},
        {{"progress", "--watch", "--interval", "5"}, "--interval must be between"},
        {{"cabinet", "rewind", "3"}, "expected progress or complete"},
        {{"cabinet", "progress", "3x"}, "N must be a whole number"},
        {{"check-version", "QR-KELTPNHAS"}, "missing MODEL and VERSION"},
        {{"ota"}, "missing IMAGE"},
        {{"ota", "/nonexistent/image.bin"}, "cannot read image"},
        {{"ota", "/dev/null", "--segment-size", "-1"}, "--segment-size"},
    };
    for (const auto& c : cases) {
        CliRun run = Run(c.args);
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(run.exitCode, 2) << shown << "\n" << run;
        ASSERT_EQ(run.ErrLines().size(), 1u) << shown << "\n" << run;
        EXPECT_NE(run.err.find(c.mention), std::string::npos) << shown << "\n" << run;
        EXPECT_NE(run.err.find("--help"), std::string::npos) << "no hint: " << run;
        EXPECT_TRUE(run.out.empty()) << run;
    }
}

TEST_F(NoBusCliUsage, AnEmptyImageIsRefusedBeforeAnythingIsAnnounced)
{
    std::string empty = m_dir.File("empty.bin");
    qztest::WriteFile(empty, "");
    CliRun run = Run({"ota", empty});
    EXPECT_EQ(run.exitCode, 2) << run;
    EXPECT_NE(run.err.find("is empty"), std::string::npos) << run;
}

// --------------------------------------------------- no daemon reachable

using NoBusCliOutcome = CliTest;

TEST_F(NoBusCliOutcome, CommandsThatNeedTheDaemonFailWithAHintToStartIt)
{
    KvStoreRoot store;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"notify"}, {"cabinet", "progress", "5"}, {"progress"}}) {
        CliRun run = Run(args);
        EXPECT_EQ(run.exitCode, 1) << args[0] << "\n" << run;
        ASSERT_EQ(run.ErrLines().size(), 1u) << run;
        EXPECT_NE(run.err.find("not on the bus"), std::string::npos) << run;
        EXPECT_NE(run.err.find("start qz-swu-daemon"), std::string::npos) << run;
    }
    CliRun json = Run({"--json", "notify"});
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_EQ(json.Json().value("ok", true), false) << json;
    EXPECT_EQ(json.Json().value("reason", ""), "daemon-unreachable") << json;
}

TEST_F(NoBusCliOutcome, StatusStillAnswersFromTheStoredResultAndWarns)
{
    KvStoreRoot store;
    CliRun run = Run({"status", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run;
    EXPECT_EQ(run.Json().value("status", ""), "Idle") << run;
    EXPECT_EQ(run.Json().value("daemon", true), false) << run;
    EXPECT_NE(run.err.find("warning"), std::string::npos) << run;
}

// ----------------------------------------------------- against the daemon

class CliDaemon : public CliTest {
protected:
    KvStoreRoot m_store;  // before the daemon: both sides share the root
};

TEST_F(CliDaemon, StatusOfAnIdleDaemonInTextAndJson)
{
    DaemonProcess daemon;
    CliRun text = Run({"status"});
    EXPECT_EQ(text.exitCode, 0) << text;
    EXPECT_EQ(text.out, "status: Idle\n");
    EXPECT_TRUE(text.err.empty()) << text;

    CliRun run = Run({"status", "--json"});
    json out = run.Json();
    EXPECT_EQ(out.value("command", ""), "status");
    EXPECT_EQ(out.value("ok", false), true);
    EXPECT_EQ(out.value("status", ""), "Idle");
    EXPECT_EQ(out.value("daemon", false), true);
    EXPECT_TRUE(CallArrived(daemon, 16393));
}

TEST_F(CliDaemon, InformationFileSubmissionWatchedToTheEndThenAcknowledged)
{
    DaemonProcess daemon({"--upgrade-ms", "800"});
    std::string info = WriteInfoFile("/opt/update.bin", "1000.6", "123456");

    CliRun submit = Run({"submit-info", "Main", info, "--json"});
    ASSERT_EQ(submit.exitCode, 0) << submit;
    EXPECT_EQ(submit.Json().value("file", ""), "/opt/update.bin");
    EXPECT_EQ(submit.Json().value("size", ""), "123456");
    auto records = SubmittedRecords(daemon);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].m_strFileName, "/opt/update.bin");
    EXPECT_EQ(records[0].m_lTotalBytes, 123456u);
    EXPECT_EQ(records[0].m_nProductType, 1);  // requester JOR, main software

    CliRun watch = Run({"progress", "--watch", "--interval", "20", "--json"});
    ASSERT_EQ(watch.exitCode, 0) << watch;
    auto lines = watch.OutLines();
    ASSERT_GE(lines.size(), 2u) << watch;
    int last = -1;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        json step = json::parse(lines[i]);
        EXPECT_EQ(step.value("event", ""), "progress");
        int progress = step.value("progress", -1);
        EXPECT_GT(progress, last) << "progress lines must be new values, rising";
        last = progress;
    }
    EXPECT_EQ(last, 100) << watch;
    json end = watch.Json();
    EXPECT_NE(end.value("status", "InProgress"), "InProgress") << watch;
    ASSERT_TRUE(end["result"].is_object()) << watch;
    EXPECT_EQ(end["result"].value("process", ""), "ProcJOR");
    EXPECT_EQ(end["result"].value("acknowledged", true), false);

    CliRun result = Run({"result", "--json"});
    EXPECT_EQ(result.exitCode, 0) << result;
    EXPECT_EQ(result.Json().value("result", "?"), end["result"].value("result", "!"));

    CliRun notify = Run({"notify", "--json"});
    EXPECT_EQ(notify.exitCode, 0) << notify;
    EXPECT_EQ(notify.Json(), (json{{"command", "notify"}, {"ok", true}})) << notify;
    EXPECT_TRUE(CallArrived(daemon, 16389));
    EXPECT_EQ(Run({"result", "--json"}).Json().value("acknowledged", false), true);
    EXPECT_EQ(Run({"notify"}).out, "last result acknowledged\n");
}

TEST_F(CliDaemon, WatchingInAPipePrintsPlainLinesWithoutCursorControl)
{
    DaemonProcess daemon({"--upgrade-ms", "400"});
    ASSERT_EQ(Run({"submit", "--file", "a.bin", "--version", "2.0", "--size", "10", "--url",
                   "http://h/a.bin"})
                  .exitCode,
              0);
    CliRun watch = Run({"progress", "--watch", "--interval", "20"});
    ASSERT_EQ(watch.exitCode, 0) << watch;
    EXPECT_EQ(watch.out.find('\r'), std::string::npos) << watch;
    EXPECT_EQ(watch.out.find('\033'), std::string::npos) << watch;
    EXPECT_NE(watch.out.find("upgrade: 100%"), std::string::npos) << watch;
    EXPECT_NE(watch.out.find("upgrade ended: "), std::string::npos) << watch;
    EXPECT_NE(watch.out.find("acknowledged: no"), std::string::npos) << watch;
}

TEST_F(CliDaemon, SubmitFormsFillTheRecordTheDaemonReceives)
{
    DaemonProcess daemon({"--upgrade-ms", "60000"});

    // Structure form: a type and a requester given by name.
    CliRun record = Run({"submit", "--file", "fw.bin", "--version", "FPGAFW-3", "--size", "70000",
                         "--url", "http://h/fw.bin", "--type", "fpga", "--requester", "jor",
                         "--json"});
    ASSERT_EQ(record.exitCode, 0) << record;
    EXPECT_EQ(record.Json().value("form", ""), "record");
    EXPECT_EQ(record.Json().value("requester", 0), 8) << "JOR asking for FPGA becomes JOR_AUX";
    auto records = SubmittedRecords(daemon);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].m_nUpgradeType, 10);
    EXPECT_EQ(records[0].m_nProductType, 8);
    EXPECT_TRUE(records[0].m_bIsURL);
    EXPECT_EQ(records[0].m_strURL, "http://h/fw.bin");
    EXPECT_EQ(records[0].m_lTotalBytes, 70000u);
}

TEST_F(CliDaemon, CabinetSubmissionPrintsTheOffsetTheDaemonReports)
{
    DaemonProcess daemon({"--reply", "16388=success 4096"});
    CliRun run = Run({"submit", "--file", "cab.bin", "--version", "1.2", "--size", "8192",
                      "--cabinet", "C7", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run;
    EXPECT_EQ(run.Json().value("offset", -1), 4096) << run;
    auto records = SubmittedRecords(daemon);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].m_strCabinetID, "C7");
    EXPECT_FALSE(records[0].m_bIsURL);

    CliRun text = Run({"submit", "--file", "cab.bin", "--version", "1.2", "--size", "8192",
                       "--cabinet", "C7"});
    // The first upgrade is still running: refused, and the tool says why.
    EXPECT_EQ(text.exitCode, 1) << text;
}

TEST_F(CliDaemon, RefusalsExplainWhetherTheDaemonIsBusyOrSaidNo)
{
    DaemonProcess refusing({"--reply", "16386=failure"});
    CliRun run = Run({"submit", "--file", "a", "--version", "1", "--size", "5", "--url",
                      "http://h/a", "--json"});
    EXPECT_EQ(run.exitCode, 1) << run;
    EXPECT_EQ(run.Json().value("reason", ""), "refused") << run;
    ASSERT_EQ(run.ErrLines().size(), 1u) << run;
    EXPECT_NE(run.err.find("the daemon refused it"), std::string::npos) << run;
    StopDaemon(refusing);

    DaemonProcess busy({"--upgrade-ms", "60000"});
    ASSERT_EQ(Run({"submit", "--file", "a", "--version", "1", "--size", "5", "--url", "u"}).exitCode,
              0);
    CliRun status = Run({"status"});
    EXPECT_EQ(status.out, "status: InProgress\n") << status;
    CliRun progress = Run({"progress", "--json"});
    EXPECT_EQ(progress.exitCode, 0) << progress;
    int percent = progress.Json().value("progress", -1);
    EXPECT_GE(percent, 0);
    EXPECT_LE(percent, 100);

    CliRun second = Run({"submit", "--file", "b", "--version", "1", "--size", "5", "--url", "u",
                         "--json"});
    EXPECT_EQ(second.exitCode, 1) << second;
    EXPECT_EQ(second.Json().value("reason", ""), "busy") << second;
    EXPECT_NE(second.err.find("qz-swu progress --watch"), std::string::npos) << second;

    CliRun timedOut = Run({"progress", "--watch", "--timeout", "1", "--json"});
    EXPECT_EQ(timedOut.exitCode, 1) << timedOut;
    EXPECT_NE(timedOut.err.find("still in progress"), std::string::npos) << timedOut;
}

TEST_F(CliDaemon, CabinetReportsCarryTheValueIncludingNegativeOnes)
{
    DaemonProcess daemon;
    EXPECT_EQ(Run({"cabinet", "progress", "50"}).exitCode, 0);
    CliRun complete = Run({"cabinet", "complete", "--json", "--", "-1"});
    EXPECT_EQ(complete.exitCode, 0) << complete;
    EXPECT_EQ(complete.Json().value("value", 0), -1);
    auto reports = daemon.Events("cabinet");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].value("command", 0), 16390);
    EXPECT_EQ(reports[0].value("value", 0), 50);
    EXPECT_EQ(reports[1].value("command", 0), 16391);
    EXPECT_EQ(reports[1].value("value", 0), -1);

    StopDaemon(daemon);
    DaemonProcess refusing({"--reply", "16390=nope"});
    EXPECT_EQ(Run({"cabinet", "progress", "51"}).exitCode, 1);
}

TEST_F(CliDaemon, ResultWithNothingStoredFails)
{
    DaemonProcess daemon;
    CliRun run = Run({"result"});
    EXPECT_EQ(run.exitCode, 1) << run;
    EXPECT_NE(run.err.find("no upgrade result is stored"), std::string::npos) << run;
}

TEST_F(CliDaemon, CheckVersionExitsZeroOnlyWhenAnUpgradeIsRequired)
{
    DaemonProcess daemon;
    std::map<std::string, std::string> installed = {{"QZ_SW_VERSION", "QR-KELTPNHAS-1000.5"}};

    CliRun newer = Run({"check-version", "QR-KELTPNHAS", "1000.6", "--json"}, installed);
    EXPECT_EQ(newer.exitCode, 0) << newer;
    EXPECT_EQ(newer.Json().value("required", false), true);
    EXPECT_EQ(newer.Json().value("installed", ""), "QR-KELTPNHAS-1000.5");

    CliRun same = Run({"check-version", "QR-KELTPNHAS", "1000.5", "--json"}, installed);
    EXPECT_EQ(same.exitCode, 1) << same;
    EXPECT_EQ(same.Json().value("ok", false), true) << "a 'no' is an answer, not an error";
    EXPECT_EQ(same.Json().value("required", true), false);
    EXPECT_TRUE(same.err.empty()) << same;

    CliRun otherModel = Run({"check-version", "QR-KEMTPNHAS", "9999.0"}, installed);
    EXPECT_EQ(otherModel.exitCode, 1) << otherModel;

    ScopedEnv noVersion("QZ_SW_VERSION", std::nullopt);
    CliRun unknown = Run({"check-version", "QR-KELTPNHAS", "1000.6"});
    EXPECT_EQ(unknown.exitCode, 1) << unknown;
    EXPECT_NE(unknown.err.find("installed software version is unknown"), std::string::npos)
        << unknown;
}

// --------------------------------------------------------------------- OTA

std::string RandomBytes(size_t count)
{
    std::mt19937 gen(20240601);
    std::string bytes(count, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(gen() & 0xff);
    return bytes;
}

std::string Sha256(const std::string& data)
{
    gchar* hex = g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(data.data()), data.size());
    std::string text = hex;
    g_free(hex);
    return text;
}

// The OTA socket has one abstract name per network namespace, and other
// test runs on the machine may hold it for a while. /proc/net/unix shows
// listeners (flag __SO_ACCEPTCON) without disturbing them.
bool SomeoneListensOnOtaSocket()
{
    std::ifstream table("/proc/net/unix");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, state, inode, path;
        fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> path;
        if (flags == "00010000" && path.rfind("@otaStream@", 0) == 0)
            return true;
    }
    return false;
}

constexpr auto kOtaSocketPatience = std::chrono::seconds(60);

TEST_F(CliDaemon, OtaStreamsTheImageInSegmentsAndTheDaemonGetsEveryByte)
{
    DaemonProcess daemon({"--ota-output", m_dir.File("received.bin")});
    // The daemon retries quietly while another listener holds the name.
    if (!qztest::WaitUntil([&] { return !daemon.Events("ota_listening").empty(); },
                           kOtaSocketPatience))
        GTEST_SKIP() << "another process kept the OTA socket name";
    const size_t kSegment = 10000;
    std::string image = RandomBytes(3 * kSegment - 1234);  // last segment short
    std::string path = m_dir.File("image.bin");
    qztest::WriteFile(path, image);

    CliRun run = Run({"ota", path, "--segment-size", std::to_string(kSegment), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run;
    json out = run.Json();
    EXPECT_EQ(out.value("bytes", 0), static_cast<long>(image.size()));
    EXPECT_EQ(out.value("segments", 0), 3);
    EXPECT_EQ(out.value("sha256", ""), Sha256(image));

    auto plans = daemon.Events("ota_plan");
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0].value("segments", ""), "1 10000;2 10000;3 8766;");

    ASSERT_TRUE(qztest::WaitUntil([&] { return !daemon.Events("ota_image").empty(); }))
        << "the daemon never completed the image";
    json received = daemon.Events("ota_image")[0];
    EXPECT_EQ(received.value("bytes", 0), static_cast<long>(image.size()));
    EXPECT_EQ(received.value("sha256", ""), Sha256(image));

    // Header words: segment number, offset within the segment, frame index.
    std::map<int, long> segmentBytes;
    std::map<int, int> nextFrame;
    for (const auto& frame : daemon.Events("frame")) {
        int segment = frame.value("arg1", 0);
        int index = frame.value("arg5", -1);
        EXPECT_EQ(index, nextFrame[segment]) << "frames of segment " << segment << " out of order";
        EXPECT_EQ(frame.value("arg4", -1), index * 4080);
        EXPECT_LE(frame.value("size", 0), 4080);
        segmentBytes[segment] += frame.value("size", 0);
        nextFrame[segment] = index + 1;
    }
    EXPECT_EQ(segmentBytes, (std::map<int, long>{{1, 10000}, {2, 10000}, {3, 8766}}));
    EXPECT_EQ(out.value("frames", 0), nextFrame[1] + nextFrame[2] + nextFrame[3]);
}

TEST_F(CliDaemon, OtaWithoutTheDaemonsSocketFailsOnTheFirstFrame)
{
    if (!qztest::WaitUntil([] { return !SomeoneListensOnOtaSocket(); }, kOtaSocketPatience))
        GTEST_SKIP() << "another process kept the OTA socket name";
    DaemonProcess daemon({"--no-ota-socket"});
    std::string path = m_dir.File("image.bin");
    qztest::WriteFile(path, RandomBytes(9000));
    CliRun run = Run({"ota", path, "--json"});
    EXPECT_EQ(run.exitCode, 1) << run;
    EXPECT_EQ(run.Json().value("bytes", -1), 0) << run;
    EXPECT_NE(run.err.find("was not taken by the daemon's OTA stream"), std::string::npos) << run;
    EXPECT_EQ(daemon.Events("ota_plan").size(), 1u) << "the plan itself was announced";
}

TEST_F(CliDaemon, OtaPlanRefusedByTheDaemonSendsNoFrames)
{
    DaemonProcess daemon({"--reply", "16386=invalid plan"});
    std::string path = m_dir.File("image.bin");
    qztest::WriteFile(path, RandomBytes(5000));
    CliRun run = Run({"ota", path});
    EXPECT_EQ(run.exitCode, 1) << run;
    EXPECT_NE(run.err.find("OTA plan for"), std::string::npos) << run;
    EXPECT_TRUE(daemon.Events("frame").empty());
}

// ------------------------------------------------------------ library log

TEST_F(CliDaemon, LibraryLogGoesToStderrOnlyWithVerbose)
{
    DaemonProcess daemon;
    TempDir runtime;
    std::map<std::string, std::string> env = {{"XDG_RUNTIME_DIR", runtime.Path()}};

    ScopedEnv unset("QZ_PLATFORM_LOG", std::nullopt);
    CliRun quiet = RunCli({"status"}, env);
    EXPECT_EQ(quiet.exitCode, 0) << quiet;
    EXPECT_TRUE(quiet.err.empty()) << quiet;
    EXPECT_NE(qztest::ReadFile(runtime.File("qz-swu.log")).find("qz-swu-interface"),
              std::string::npos)
        << "library lines belong in $XDG_RUNTIME_DIR/qz-swu.log";

    CliRun verbose = RunCli({"--verbose", "status"}, env);
    EXPECT_EQ(verbose.exitCode, 0) << verbose;
    EXPECT_NE(verbose.err.find("qz-swu-interface"), std::string::npos) << verbose;
    EXPECT_EQ(verbose.out, "status: Idle\n");

    std::string chosen = m_dir.File("chosen.log");
    CliRun routed = RunCli({"status"}, {{"QZ_PLATFORM_LOG", chosen}});
    EXPECT_TRUE(routed.err.empty()) << routed;
    EXPECT_NE(qztest::ReadFile(chosen).find("qz-swu-interface"), std::string::npos);
}

}  // namespace
