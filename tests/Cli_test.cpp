// qz-swu as a user runs it: a child process against the reference daemon on
// the private bus, judged by exit code, stdout, stderr and the daemon's journal.
#include <pwd.h>
#include <sys/stat.h>

#include <future>
#include <iterator>
#include <regex>
#include <sstream>

#include "TestCommon.h"

namespace {

using qztest::DaemonProcess;
using qztest::ForCommand;
using Args = std::vector<std::string>;
using CliRun = qztest::ProgramRun;

constexpr const char* kGoodInfo =
    "<file_name>/opt/u.bin</file_name><software_version>1000.6"
    "</software_version><file_size>123456</file_size>";
constexpr const char* kSubmit = "submit --file a --version 1 --size 5 --url u";
const char* const kCommands[] = {"submit", "submit-info",   "status",  "progress", "result",
                                 "notify", "check-version", "cabinet", "ota"};

Args Words(const std::string& line)
{
    std::istringstream in(line);
    return Args(std::istream_iterator<std::string>(in), {});
}

// qz-swu with the words of the line, after a prefix such as runuser when given.
CliRun RunCli(const std::string& line, const std::string& prefix = "")
{
    Args args = Words(prefix), words = Words(line), cli = qztest::TargetCommand(QZ_SWU_CLI_PATH);
    args.insert(args.end(), cli.begin(), cli.end());
    args.insert(args.end(), words.begin(), words.end());
    return qztest::RunProgram(args);
}

// Exactly one JSON document on stdout; a failure adds its reason there and
// says it in one stderr line, "qz-swu COMMAND: ...".
void ExpectJsonOutcome(const CliRun& run, const std::string& command, int exitCode,
                       const char* reason)
{
    EXPECT_EQ(run.exitCode, exitCode) << run;
    nlohmann::json doc = run.Json();
    ASSERT_FALSE(doc.is_discarded()) << "not exactly one JSON document\n" << run;
    EXPECT_EQ(doc["command"], command.empty() ? nlohmann::json(nullptr) : nlohmann::json(command))
        << run;
    EXPECT_EQ(doc.value("ok", reason != nullptr), reason == nullptr) << run;
    if (reason == nullptr) {
        EXPECT_FALSE(doc.contains("reason")) << run;
        return;
    }
    EXPECT_EQ(doc.value("reason", ""), reason) << run;
    EXPECT_EQ(run.ErrLines(), 1) << run;
    std::string voice = command.empty() ? "qz-swu: " : "qz-swu " + command + ": ";
    EXPECT_EQ(run.err.rfind(voice, 0), 0u) << run;
}

struct JsonCase {
    std::string line;
    int exitCode;
    const char* reason;  // null: success
};

// The command a line names, as its JSON document reports it: "" for none.
std::string CommandOf(const std::string& line)
{
    Args words = Words(line);
    const bool known = !words.empty() && std::find(std::begin(kCommands), std::end(kCommands),
                                                   words[0]) != std::end(kCommands);
    return known ? words[0] : "";
}

void RunJsonCases(const std::vector<JsonCase>& cases,
                  const std::function<void(const CliRun&)>& alsoCheck = nullptr)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        CliRun run = RunCli("--json " + c.line);
        ExpectJsonOutcome(run, CommandOf(c.line), c.exitCode, c.reason);
        if (alsoCheck)
            alsoCheck(run);
    }
}

struct CliTest : ::testing::Test {
    qztest::TempDir m_dir;
    qztest::KvStoreRoot m_store;
    qztest::LogCapture m_log;  // library lines go to a file: stderr holds only the tool's own
    qztest::ScopedEnv m_installed{"QZ_SW_VERSION", "QR-KELTPNHAS-1000.5"};
    std::string m_files = m_dir.Path();  // where Put() writes

    // A file readable by every user, named by its path.
    std::string Put(const std::string& name, const std::string& content)
    {
        std::string path = m_files + "/" + name;
        qztest::WriteFile(path, content);
        chmod(path.c_str(), 0644);
        return path;
    }
    // Every command that needs the daemon, with arguments that are fine, fails
    // as JSON for the reason, its stderr line naming the hint and no GLib text.
    // check-version keeps its 1 for a plain "no": no answer is 3 there.
    void ExpectEveryDaemonCommandFails(const char* reason, const char* hint,
                                       const std::string& prefix = "")
    {
        const std::pair<std::string, int> cases[] = {
            {"status", 1},
            {"progress", 1},
            {"progress --watch", 1},
            {"notify", 1},
            {"cabinet progress 5", 1},
            {kSubmit, 1},
            {"submit-info Main " + Put("info.xml", kGoodInfo), 1},
            {"check-version QR-KELTPNHAS 1000.6", 3},
            {"ota " + Put("image.bin", std::string(5000, 'x')), 1},
        };
        for (const auto& [line, exitCode] : cases) {
            SCOPED_TRACE(line);
            CliRun run = RunCli(line + " --json", prefix);
            ExpectJsonOutcome(run, Words(line).at(0), exitCode, reason);
            EXPECT_THAT(run.err, HasSubstr(hint)) << run;
            EXPECT_EQ(run.err.find("GLib"), std::string::npos) << run;
        }
    }
};
using NoBusCli = CliTest;
using CliDaemon = CliTest;

// Completion candidates for a command line whose last word is being typed.
std::vector<std::string> Complete(const std::string& words)
{
    std::string script = "source '" + std::string(QZ_SOURCE_DIR) +
                         "/tools/cli/completion/qz-swu'; COMP_WORDS=(" + words +
                         "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _qz_swu; "
                         "printf '%s\\n' \"${COMPREPLY[@]}\"";
    std::istringstream lines(qztest::RunProgram({"bash", "-c", script}).out);
    std::vector<std::string> candidates;
    for (std::string line; std::getline(lines, line);)
        candidates.push_back(line);
    return candidates;
}

TEST_F(NoBusCli, EverySubcommandHasItsOwnHelpAndCompletionOffersItAndEveryOptionItNames)
{
    std::string usage = RunCli("--help").out;
    auto commands = Complete("qz-swu ''");
    std::regex option("--[a-z][a-z-]*");
    for (std::string name : kCommands) {
        SCOPED_TRACE(name);
        CliRun help = RunCli(name + " --help");
        EXPECT_EQ(help.exitCode, 0) << help;
        EXPECT_EQ(help.out.rfind("Usage: qz-swu " + name, 0), 0u) << help;
        EXPECT_THAT(usage, HasSubstr("  " + name + " "));
        EXPECT_THAT(commands, testing::Contains(name));
        auto offered = Complete("qz-swu " + name + " --");
        for (std::sregex_iterator m(help.out.begin(), help.out.end(), option), end; m != end; ++m)
            EXPECT_THAT(offered, testing::Contains(m->str()));
    }
}

// Information files that are not usable among them: without a bus, one that
// anything were sent for would end as unreachable instead.
TEST_F(NoBusCli, UsageErrorsExitTwoWithOneLineNamingTheProblemAndAHint)
{
    int files = 0;  // an information file of these elements (each left out when null)
    auto info = [&](const char* name, const char* version, const char* size, std::string xml = "") {
        for (auto [tag, text] :
             {std::pair{"file_name", name}, {"software_version", version}, {"file_size", size}})
            if (text)
                xml += "<" + std::string(tag) + ">" + text + "</" + tag + ">";
        return "submit-info Main " + Put(std::to_string(++files) + ".xml", xml);
    };
    std::string fifo = m_dir.File("fifo"), huge = m_dir.File("huge.xml");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Put("huge.xml", kGoodInfo);
    std::filesystem::resize_file(huge, 1ull << 30);  // sparse: 1 GiB that costs nothing
    const std::pair<std::string, std::string> cases[] = {
        {"", "missing COMMAND"},
        {"upgrade", "unknown command 'upgrade'"},
        {"status extra", "unexpected argument 'extra'"},
        {"submit --version 1 --size 9 --url u", "missing --file"},
        {"submit --file", "--file needs a value"},
        {"progress --interval 100", "go with --watch"},
        {"progress --watch --interval -5", "--interval must be between 20 and 10000, not -5"},
        {"cabinet complete -1x", "unknown option -1"},
        {"cabinet progress 3x", "N must be a whole number"},
        {"check-version QR-KELTPNHAS banana", "MAJOR.MINOR"},
        {"check-version QR-KELTPNHAS 1000.6.1", "MAJOR.MINOR"},
        {"ota /dev/null", "is not a regular file"},
        {"ota /", "is not a regular file"},
        {"ota " + m_dir.File("missing.bin"), "cannot read image"},
        // One message for one fault, and never a read without end.
        {"submit-info Main /", "information file / is not a regular file"},
        {"submit-info Main /dev/zero", "information file /dev/zero is not a regular file"},
        {"submit-info Main " + fifo, "information file " + fifo + " is not a regular file"},
        {"ota " + fifo, "image " + fifo + " is not a regular file"},
        {"submit-info Main " + huge, "is larger than 1.0 MiB"},
        {"submit-info Main " + m_dir.File("missing.xml"), "cannot read information file"},
        {info(nullptr, nullptr, nullptr, "garbage"), "not well-formed"},
        {info("a", "1.0", nullptr), "no <file_size>"},
        {info("a", nullptr, "5"), "no <software_version>"},
        {info("a", "1", "12abc"), "whole number"},
        {info("a", "1", "0"), "whole number"},
        {info("a&amp;b", "1", "5"), "would be sent as 'a&amp;b'"},
        {info("a", "1", "5", "<file_size_max>9</file_size_max>"), "<file_size> would be sent as"},
    };
    for (const auto& [line, mention] : cases) {
        SCOPED_TRACE(line);
        CliRun run = RunCli(line);
        EXPECT_EQ(run.exitCode, 2) << run;
        EXPECT_EQ(run.ErrLines(), 1) << run;
        EXPECT_THAT(run.err, HasSubstr(mention)) << run;
        EXPECT_THAT(run.err, HasSubstr("--help")) << run;
        EXPECT_TRUE(run.out.empty()) << run;
        ExpectJsonOutcome(RunCli("--json " + line), CommandOf(line), 2, "usage");
    }
}

TEST_F(NoBusCli, VersionAndHelpInJsonAreObjectsThatNameTheirCommand)
{
    CliRun text = RunCli("--version");
    nlohmann::json version = RunCli("--json --version").Json();
    ExpectJsonOutcome(RunCli("--json --version"), "", 0, nullptr);
    EXPECT_EQ(version.value("program", ""), "qz-swu");
    EXPECT_THAT(version.value("version", ""), testing::MatchesRegex("[0-9]+\\.[0-9]+\\.[0-9]+"));
    EXPECT_EQ(text.out, "qz-swu " + version.value("version", "?") + "\n");
    EXPECT_FALSE(version.contains("help"));
    const std::pair<std::string, std::string> helps[] = {
        {"--json --help", ""},
        {"--json status --help", "status"},
        {"--json help cabinet", "cabinet"},
        {"ota --help --json", "ota"},
    };
    for (const auto& [line, command] : helps) {
        SCOPED_TRACE(line);
        CliRun run = RunCli(line);
        ExpectJsonOutcome(run, command, 0, nullptr);
        std::string usage = command.empty() ? "Usage: qz-swu " : "Usage: qz-swu " + command;
        EXPECT_EQ(run.Json().value("help", "").rfind(usage, 0), 0u) << run;
    }
}

// Bytes that are not UTF-8, wherever they stand, still end in one JSON
// document, with U+FFFD in their place.
TEST_F(NoBusCli, ArgumentsThatAreNotUtf8StillGiveOneJsonDocument)
{
    const std::string bad = "\xff\xfe";
    RunJsonCases(
        {
            {"status " + bad, 2, "usage"},
            {bad, 2, "usage"},
            {"--" + bad, 2, "usage"},
            {"cabinet progress " + bad, 2, "usage"},
            {"ota " + m_dir.File(bad), 2, "usage"},
            {"submit --file " + bad + " --version 1 --size 5 --url u", 1, "daemon-unreachable"},
            {"submit-info " + bad + " " + Put("info.xml", kGoodInfo), 1, "daemon-unreachable"},
            {"check-version " + bad + " 1.0", 3, "daemon-unreachable"},
        },
        [](const CliRun& run) {
            EXPECT_THAT(run.out, HasSubstr("\xef\xbf\xbd")) << run;
        });  // U+FFFD
}

TEST_F(NoBusCli, WithoutTheDaemonEveryCommandFailsAsUnreachableAndStatusShowsTheStoredResult)
{
    qztest::StoreText(swu::kKeyResult, "true&7&Success&ProcJOR&x");
    ExpectEveryDaemonCommandFails("daemon-unreachable", "start qz-swu-daemon");
    CliRun status = RunCli("status");
    EXPECT_EQ(status.exitCode, 1) << status;
    EXPECT_EQ(status.out, "stored result (the daemon was not asked): Success, acknowledged: no\n");
    EXPECT_EQ(RunCli("status --json").Json()["stored_result"].value("id", 0), 7);
}

TEST_F(CliDaemon, EveryCommandPrintsOneJsonDocumentOnSuccessAndOnFailure)
{
    RunJsonCases({{"status", 1, "daemon-unreachable"}, {"result", 1, "no-result"}});
    {
        // An upgrade that outlasts the busy cases however slowly the tool starts.
        DaemonProcess daemon({"--upgrade-ms", "600000"});
        RunJsonCases({
            {"status", 0, nullptr},
            {"cabinet complete -1", 0, nullptr},
            {"check-version QR-KELTPNHAS 1000.6", 0, nullptr},
            {"check-version QR-KELTPNHAS 1000.4", 1, nullptr},  // a plain "no"
            {kSubmit, 0, nullptr},
            {"submit-info Main " + Put("info.xml", kGoodInfo), 1, "busy"},
            {"check-version QR-KELTPNHAS 1000.6", 3, "busy"},
            {"progress", 0, nullptr},
        });
    }
    {
        DaemonProcess daemon({"--upgrade-ms", "1500"});
        RunJsonCases({
            {kSubmit, 0, nullptr},
            {"progress --watch --interval 20", 0, nullptr},
            {"result", 0, nullptr},
            {"notify", 0, nullptr},
            {"submit-info Main " + Put("bad.xml", "<a>"), 2, "usage"},
            {"--verbose", 2, "usage"},
        });
    }
    DaemonProcess refusing({"--reply", ForCommand(swu::kCmdSubmitRequest, "no"), "--reply",
                            ForCommand(swu::kCmdNotifyResult, "no"), "--reply",
                            ForCommand(swu::kCmdCabinetProgress, "no"), "--reply",
                            ForCommand(swu::kCmdQueryProgress, "no"), "--upgrade-ms", "60000"});
    RunJsonCases({
        {"notify", 1, "refused"},
        {"cabinet progress 5", 1, "refused"},
        {"progress", 1, "refused"},
        {"submit --file a --version 1 --size 5 --cabinet C", 1, "refused"},
        {"ota " + Put("image.bin", std::string(5000, 'x')), 1, "refused"},
    });
}

TEST_F(CliDaemon, CabinetSubmissionPrintsTheOffsetAndARecordFormOneIsThenRefusedAsBusy)
{
    DaemonProcess daemon(
        {"--reply", ForCommand(swu::kCmdQueryOffset, "success 4096"), "--upgrade-ms", "60000"});
    CliRun cabinet = RunCli("submit --file cab.bin --version 1.2 --size 8192 --cabinet C7 --json");
    ASSERT_EQ(cabinet.exitCode, 0) << cabinet;
    EXPECT_EQ(cabinet.Json().value("offset", -1), 4096) << cabinet;
    CliRun record = RunCli(
        "submit --file fw.bin --version FPGAFW-3 --size 7 --url http://h/fw "
        "--type fpga --requester jor --json");
    EXPECT_EQ(record.exitCode, 1) << record;
    EXPECT_EQ(record.Json().value("reason", ""), "busy") << record;
    auto sent = daemon.Events("request").at(1);
    EXPECT_EQ(sent.value("upgrade_type", 0), 10);
    EXPECT_EQ(sent.value("requester", 0), 8);  // JOR asking for an FPGA upgrade is JOR_AUX
}

// Installed: QR-KELTPNHAS-1000.5. Exit 0 newer, 1 not newer, as dpkg
// --compare-versions answers; the JSON carries the answer in "required".
TEST_F(CliDaemon, CheckVersionAnswersWithExitZeroOrOneAndSaysWhenTheModelDiffers)
{
    DaemonProcess daemon;
    struct {
        const char* offer;
        int exitCode;
        bool sameModel;
        const char* says;
    } const cases[] = {
        {"QR-KELTPNHAS 1000.6", 0, true, "upgrade required: QR-KELTPNHAS 1000.6 is newer than"},
        {"QR-KELTPNHAS 1000.5", 1, true, "no upgrade required: QR-KELTPNHAS 1000.5 is not newer"},
        {"QR-KELTPNHAS 999.9", 1, true, "is not newer than the installed QR-KELTPNHAS-1000.5"},
        {"QR-KELTPNHAS 0.0", 0, true, "version 0.0 is taken whatever is installed"},
        {"QR-KEMTPNHAS 1000.9", 1, false,
         "the offered model QR-KEMTPNHAS is not the installed model 'QR-KELTPNHAS'"},
        {"QR-KEMTPNHAS 0.0", 1, false, "is not the installed model"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offer);
        CliRun run = RunCli("check-version " + std::string(c.offer));
        EXPECT_EQ(run.exitCode, c.exitCode) << run;
        EXPECT_THAT(run.out, HasSubstr(c.says)) << run;
        EXPECT_TRUE(run.err.empty()) << "a 'no' is an answer, not an error: " << run;
        CliRun json = RunCli("check-version --json " + std::string(c.offer));
        EXPECT_EQ(json.exitCode, c.exitCode) << json;
        nlohmann::json doc = json.Json();
        EXPECT_EQ(doc["ok"], true) << json;
        EXPECT_EQ(doc["required"], c.exitCode == 0) << json;
        EXPECT_EQ(doc["same_model"], c.sameModel) << json;
    }
}

// A pending result holds back a JOR request after a JOR result only; an
// acknowledgement lets it through. The daemon is idle throughout.
TEST_F(CliDaemon, AnUnacknowledgedResultHoldsBackOnlyAJorRequestAfterAJorResult)
{
    DaemonProcess daemon({"--upgrade-ms", "200"});
    const char* pendingJor = "true&7&Success&ProcJOR&x";
    qztest::StoreText(swu::kKeyResult, pendingJor);
    std::string info = "submit-info Main " + Put("info.xml", kGoodInfo);
    CliRun held = RunCli(info);
    EXPECT_EQ(held.exitCode, 1) << held;
    EXPECT_THAT(held.err, HasSubstr("the last result, of a JOR request, is not acknowledged"));
    EXPECT_THAT(held.err, HasSubstr("acknowledge it with 'qz-swu notify'"));
    EXPECT_EQ(RunCli("--json " + info).Json().value("reason", ""), "busy");
    CliRun url = RunCli(kSubmit);
    EXPECT_EQ(url.exitCode, 0) << "a URL request is not held back by the result: " << url;
    EXPECT_THAT(RunCli("notify --help").out, HasSubstr("does not hold back most submissions"));

    ASSERT_TRUE(qztest::WaitUntil([&] { return RunCli("status").out != "status: InProgress\n"; }));
    qztest::StoreText(swu::kKeyResult, pendingJor);
    ASSERT_EQ(RunCli("notify").exitCode, 0);
    CliRun after = RunCli(info);
    EXPECT_EQ(after.exitCode, 0) << after;
}

// The stored result's id and flags are JSON numbers and booleans; an id that
// is no number is null, its text kept beside it.
TEST_F(CliDaemon, StoredResultFieldsAreTypedInJson)
{
    struct {
        const char* stored;
        nlohmann::json id;
        bool pending;
    } const cases[] = {
        {"true&7&Success&ProcJOR&x", 7, true},
        {"false&12&Failure&ProcURL&", 12, false},
        {"TRUE&abc&Success&ProcKAV&x", nullptr, true},  // only "false" counts as acknowledged
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        qztest::StoreText(swu::kKeyResult, c.stored);
        nlohmann::json doc = RunCli("result --json").Json();
        EXPECT_EQ(doc["id"], c.id) << doc;
        EXPECT_EQ(doc["id_text"], Words(std::regex_replace(c.stored, std::regex("&"), " "))[1]);
        EXPECT_EQ(doc["pending"], c.pending) << doc;
        EXPECT_EQ(doc["acknowledged"], !c.pending) << doc;
    }
}

TEST_F(CliDaemon, WatchEndsWithDaemonLostWhenTheDaemonIsKilledMidWatch)
{
    DaemonProcess daemon({"--upgrade-ms", "60000"});
    ASSERT_EQ(RunCli(kSubmit).exitCode, 0);
    auto watch = std::async(std::launch::async,
                            [] { return RunCli("progress --watch --interval 20 --json"); });
    auto progressQueries = [&] {
        auto calls = daemon.Events("call");
        return std::count_if(calls.begin(), calls.end(), [](const auto& c) {
            return c.value("command", 0) == swu::kCmdQueryProgress;
        });
    };
    bool watching = qztest::WaitUntil([&] { return progressQueries() >= 2; }, 10s);
    daemon.Kill();  // also when the watch never got going: it must not wait out the upgrade
    ASSERT_TRUE(watching);
    ExpectJsonOutcome(watch.get(), "progress", 1, "daemon-lost");
}

TEST_F(CliDaemon, OtaStreamsTheImageInSegmentsAndTheDaemonGetsEveryByte)
{
    DaemonProcess daemon({"--ota-output", m_dir.File("received.bin")});
    if (!qztest::WaitUntil([&] { return !daemon.Events("ota_listening").empty(); }, 60s))
        GTEST_SKIP() << "another process kept the OTA socket name";
    std::string image(3 * 10000 - 1234, '\0');  // the last segment is short
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 131 + i / 256);
    CliRun run = RunCli("ota " + Put("image.bin", image) + " --segment-size 10000 --json");
    ExpectJsonOutcome(run, "ota", 0, nullptr);
    EXPECT_EQ(daemon.Events("ota_plan").at(0).value("segments", ""), "1 10000;2 10000;3 8766;");
    ASSERT_TRUE(qztest::WaitUntil([&] { return !daemon.Events("ota_image").empty(); }));
    g_autofree gchar* sha = g_compute_checksum_for_string(G_CHECKSUM_SHA256, image.data(),
                                                          static_cast<gssize>(image.size()));
    EXPECT_EQ(daemon.Events("ota_image")[0].value("sha256", ""), sha);
    EXPECT_EQ(run.Json().value("sha256", ""), sha);

    // The pause after the plan is announced before it happens, and counts
    // read as counts.
    CliRun small = RunCli("ota " + Put("small.bin", "tiny"));
    ASSERT_EQ(small.exitCode, 0) << small;
    EXPECT_THAT(small.out, HasSubstr("in 1 segment); once the daemon takes the plan, it gets 2 "
                                     "seconds to get ready for the stream before the first frame"));
    EXPECT_THAT(small.out, HasSubstr("sent 4 bytes in 1 segment, 1 frame ("));
    CliRun events = RunCli("ota " + Put("small.bin", "tiny") + " --json --events");
    nlohmann::json plan = nlohmann::json::parse(events.out.substr(0, events.out.find('\n')));
    EXPECT_EQ(plan.value("event", ""), "plan") << events;
    EXPECT_EQ(plan.value("settle_seconds", 0), 2) << events;
}

TEST_F(CliDaemon, RefusalPointsToTheLibraryLogWhichReachesStderrOnlyWithVerbose)
{
    DaemonProcess daemon({"--reply", ForCommand(swu::kCmdSubmitRequest, "failure")});
    qztest::ScopedEnv runtime("XDG_RUNTIME_DIR", m_dir.Path());
    qztest::ScopedEnv unset("QZ_PLATFORM_LOG", std::nullopt);
    CliRun quiet = RunCli(kSubmit);
    EXPECT_EQ(quiet.ErrLines(), 1) << quiet;
    EXPECT_THAT(quiet.err, HasSubstr("the daemon refused it")) << quiet;
    EXPECT_THAT(quiet.err, HasSubstr(m_dir.File("qz-swu.log"))) << quiet;
    std::string log = qztest::ReadFile(m_dir.File("qz-swu.log"));
    EXPECT_THAT(log, HasSubstr("qz-swu-interface"));
    CliRun verbose = RunCli("--verbose status");
    EXPECT_THAT(verbose.err, HasSubstr("qz-swu-interface"));
    std::string named = m_dir.File("named.log");
    {
        qztest::ScopedEnv chosen("QZ_PLATFORM_LOG", named);
        RunCli("status");
    }
    // Plain text for a person: no terminal codes, nothing stored yet is no
    // error, and the tool says what it asked and what came back.
    for (const std::string& text : {log, verbose.err, qztest::ReadFile(named)}) {
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
        EXPECT_THAT(text, HasSubstr("I/qz-swu-interface")) << text;
        EXPECT_THAT(text, HasSubstr("> Failed to Read VConf Value")) << text;
        EXPECT_THAT(text, testing::Not(testing::ContainsRegex("E/[^\n]*Failed to Read VConf")));
    }
    EXPECT_THAT(verbose.err, HasSubstr("status: no upgrade result is stored yet")) << verbose;
    EXPECT_THAT(verbose.err, HasSubstr("its state: 'InitStatus'")) << verbose;
    CliRun refused = RunCli("--verbose " + std::string(kSubmit));
    EXPECT_THAT(refused.err, HasSubstr("the library's last call to the daemon: answered"));
    qztest::ScopedEnv off("QZ_PLATFORM_LOG", "none");
    CliRun offRun = RunCli(kSubmit);
    EXPECT_THAT(offRun.err, HasSubstr("library log off")) << offRun;
}

// The library log starts just under its cap: the watch itself pushes it past. The upgrade
// lasts long enough for the watch to log a while after however slow a start.
TEST_F(CliDaemon, InformationFileSubmissionWatchedToTheEndRotatingTheLogThenAcknowledged)
{
    DaemonProcess daemon({"--upgrade-ms", "4000"});
    qztest::ScopedEnv runtime("XDG_RUNTIME_DIR", m_dir.Path());
    qztest::ScopedEnv unset("QZ_PLATFORM_LOG", std::nullopt);
    std::string earlier(1024 * 1024 - 2000, 'x');
    qztest::WriteFile(m_dir.File("qz-swu.log"), earlier);
    {
        qztest::ScopedEnv quiet("QZ_PLATFORM_LOG", "none");
        ASSERT_EQ(RunCli("submit-info Main " + Put("info.xml", kGoodInfo)).exitCode, 0);
    }
    EXPECT_EQ(daemon.Events("request").at(0).value("total_bytes", 0), 123456);
    // Stdout is a pipe: plain lines without cursor control, then the result.
    CliRun watch = RunCli("progress --watch --interval 20");
    ASSERT_EQ(watch.exitCode, 0) << watch;
    EXPECT_EQ(watch.out.find_first_of("\r\033"), std::string::npos) << watch;
    EXPECT_THAT(watch.out, HasSubstr("upgrade: 100%")) << watch;
    EXPECT_THAT(watch.out, HasSubstr("acknowledged: no")) << watch;
    std::string rotated = qztest::ReadFile(m_dir.File("qz-swu.log.1"));
    std::string current = qztest::ReadFile(m_dir.File("qz-swu.log"));
    EXPECT_EQ(rotated.rfind(earlier, 0), 0u) << "the old lines belong in the rotated file";
    EXPECT_GT(rotated.size(), earlier.size()) << "rotated in the middle of the watch";
    EXPECT_LT(current.size(), rotated.size());
    EXPECT_THAT(current, HasSubstr("qz-swu-interface"))
        << "library lines after the rotation go to the new file";
    EXPECT_EQ(RunCli("notify").out, "last result acknowledged\n");
    EXPECT_EQ(RunCli("result --json").Json().value("acknowledged", false), true);
}

TEST_F(CliDaemon, LogIsNeverWrittenThroughAPlantedLinkOrIntoAFolderOfSomeoneElse)
{
    DaemonProcess daemon;
    qztest::ScopedEnv unset("QZ_PLATFORM_LOG", std::nullopt);
    qztest::TempDir elsewhere;
    qztest::WriteFile(elsewhere.File("victim"), "untouched");
    // Planted links: as the log file in the runtime folder, and as the
    // private folder under the temporary folder.
    symlink(elsewhere.File("victim").c_str(), m_dir.File("qz-swu.log").c_str());
    std::string tmp = m_dir.File("tmp");
    mkdir(tmp.c_str(), 01777);
    symlink(elsewhere.Path().c_str(), (tmp + "/qz-swu-" + std::to_string(getuid())).c_str());
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {m_dir.Path(), "is a symbolic link"},
        {std::nullopt, "cannot open folder"},
    };
    for (const auto& [runtimeDir, mention] : cases) {
        qztest::ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir);
        qztest::ScopedEnv tmpdir("TMPDIR", tmp);
        CliRun run = RunCli("status");
        EXPECT_EQ(run.exitCode, 0) << run;
        EXPECT_THAT(run.err, HasSubstr(mention)) << run;
        EXPECT_THAT(run.err, HasSubstr("library log off")) << run;
    }
    EXPECT_EQ(qztest::ReadFile(elsewhere.File("victim")), "untouched");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(elsewhere.Path()), {}), 1);
}

// A bus with the shipped policy files and a caller they do not let through.
class CliPolicy : public CliTest {
protected:
    void SetUp() override
    {
        if (getuid() != 0)
            GTEST_SKIP() << "running a caller as another user needs root";
        m_bus.emplace();
        m_files = m_world.File("public");  // the public temporary folder
        chmod(m_world.Path().c_str(), 0755);
        mkdir(m_files.c_str(), 01777);
        chmod(m_files.c_str(), 01777);
    }

    qztest::TempDir m_world;
    std::optional<qztest::ShippedPolicyBus> m_bus;
};

TEST_F(CliPolicy, CallerRefusedByTheBusPolicyIsToldSoWhileAnUpgradeRunsAndNothingReachesTheDaemon)
{
    DaemonProcess daemon({"--upgrade-ms", "60000"});
    ASSERT_EQ(RunCli(kSubmit).exitCode, 0);
    size_t callsBefore = daemon.Events("call").size();
    // As nobody, with its own log folder under the public temporary folder.
    ExpectEveryDaemonCommandFails("permission-denied", "group 'qz-swu'",
                                  "runuser -u nobody -- env -u XDG_RUNTIME_DIR -u QZ_PLATFORM_LOG "
                                  "TMPDIR=" +
                                      m_files);
    EXPECT_EQ(daemon.Events("call").size(), callsBefore);
    // The library's lines went to the caller's own log, not the terminal.
    std::string nobodyLog = qztest::ReadFile(
        m_files + "/qz-swu-" + std::to_string(getpwnam("nobody")->pw_uid) + "/qz-swu.log");
    EXPECT_THAT(nobodyLog, HasSubstr("Create Bus[com.kestova.orvel.qz.swu.interface]"));
}

}  // namespace
