// The platform layers: the log's sinks, the key-value store's files and
// atomic replacement, and the system information service.
#include <dlog.h>
#include <system_info.h>
#include <vconf.h>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace qztest;

namespace {

using CText = std::unique_ptr<char, decltype(&free)>;
CText Owned(char* text) { return CText(text, &free); }

const std::string kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
const std::string kHeader = kStamp + R"(\.\d{3} )";

// Exit status of body run in a forked child (-1 when it did not exit).
int RunInChild(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ------------------------------------------------------------------ log

TEST(PlatformLog, RecordIsOneLineOfTimePriorityTagPidAndTheMessageAsItIs)
{
    LogCapture log;
    EXPECT_EQ(__dlog_print(LOG_ID_MAIN, DLOG_INFO, "tag", "info %d %s", 7, "seven"), 12);
    ASSERT_EQ(log.Records().size(), 1u);
    EXPECT_EQ(log.Records()[0].message, "info 7 seven");

    const struct {
        int prio;
        const char *line, *tag, *input, *written;
    } cases[] = {
        {DLOG_ERROR, "E/tag-two", "tag-two", "\e[1m\e[33m!\e[0;m", "\x1b[1m\x1b[33m!\x1b[0;m"},
        {DLOG_INFO, "I/nl", "nl", "ends in newline\n", "ends in newline"},
        {DLOG_INFO, "I/nl", "nl", "first half\nsecond half\n", "first half\nsecond half"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        log.Clear();
        time_t before = time(nullptr);
        __dlog_print(LOG_ID_MAIN, c.prio, c.tag, "%s", c.input);
        time_t after = time(nullptr);
        std::string text = log.Text();
        std::smatch m;
        std::regex line("(" + kStamp + R"()\.\d{3} )" + c.line + R"(\((\d+)\): ([\s\S]*))");
        ASSERT_TRUE(std::regex_match(text, m, line)) << text;
        EXPECT_EQ(m[3].str(), std::string(c.written) + "\n");
        EXPECT_EQ(std::stoi(m[2].str()), static_cast<int>(getpid()));
        struct tm stamp = {};
        ASSERT_NE(strptime(m[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &stamp), nullptr);
        stamp.tm_isdst = -1;
        EXPECT_GE(mktime(&stamp), before - 1);
        EXPECT_LE(mktime(&stamp), after + 1);
    }
}

TEST(PlatformLog, OverlongTagOrMessageStillGivesOneWellFormedLine)
{
    LogCapture log;
    std::string tag(1000, 't'), message(10000, 'm');
    __dlog_print(LOG_ID_MAIN, DLOG_INFO, tag.c_str(), "%s", message.c_str());
    __dlog_print(LOG_ID_MAIN, DLOG_INFO, "after", "still fine");

    auto records = log.Records();
    ASSERT_EQ(records.size(), 2u) << log.Text().substr(0, 400);
    EXPECT_FALSE(records[0].tag.empty());
    EXPECT_EQ(tag.compare(0, records[0].tag.size(), records[0].tag), 0);
    EXPECT_GE(records[0].message.size(), 1000u);
    EXPECT_EQ(records[0].message.find_first_not_of('m'), std::string::npos);
    EXPECT_EQ(records[1].tag, "after");
    EXPECT_EQ(records[1].message, "still fine");
}

TEST(PlatformLog, UnusableArgumentsAreRefused)
{
    LogCapture log;
    const char* noFormat = nullptr;
    EXPECT_LT(__dlog_print(LOG_ID_MAIN, DLOG_INFO, "tag", noFormat), 0);
    EXPECT_LT(__dlog_print(LOG_ID_MAIN, DLOG_INFO, nullptr, "x"), 0);
    EXPECT_LT(__dlog_print(LOG_ID_MAX, DLOG_INFO, "tag", "x"), 0);
    EXPECT_EQ(log.Text(), "");
}

TEST(PlatformLog, StderrAndNoneSinksLeaveTheFileSinkUntouched)
{
    LogCapture file;
    for (const char* sink : {"stderr", "none"}) {
        ScopedEnv env("QZ_PLATFORM_LOG", std::string(sink));
        testing::internal::CaptureStderr();
        int len = __dlog_print(LOG_ID_MAIN, DLOG_ERROR, "to-stderr", "visible %d", 1);
        std::string written = testing::internal::GetCapturedStderr();
        std::regex line("^" + kHeader + R"(E/to-stderr\(\d+\): visible 1\n$)");
        if (std::string(sink) == "none")
            EXPECT_TRUE(len == 0 && written.empty()) << len << written;
        else
            EXPECT_TRUE(std::regex_match(written, line)) << written;
    }
    EXPECT_EQ(file.Text(), "");
}

TEST(PlatformLog, ChangingTheSinkBetweenCallsSwitchesFilesAndAppends)
{
    TempDir dir;
    std::string first = dir.File("first.log"), second = dir.File("second.log");
    WriteFile(first, "existing line\n");
    const std::pair<std::string, const char*> steps[] = {
        {first, "one"}, {second, "two"}, {first, "three"}};
    for (const auto& [path, text] : steps) {
        ScopedEnv sink("QZ_PLATFORM_LOG", path);
        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "t", "%s", text);
    }
    std::string line = kHeader + R"(I/t\(\d+\): )";
    EXPECT_TRUE(std::regex_match(ReadFile(first),
                                 std::regex("existing line\n" + line + "one\n" + line + "three\n")))
        << ReadFile(first);
    EXPECT_TRUE(std::regex_match(ReadFile(second), std::regex(line + "two\n"))) << ReadFile(second);
}

void WriteLines(int id, int count)
{
    std::string run(2000, static_cast<char>('a' + id));
    for (int n = 0; n < count; ++n)
        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "many", "w%d %d %s", id, n, run.c_str());
}

// Every line must be exactly one writer's record: "w<id> <n> " and a long
// run of that writer's letter.
void ExpectWholeLines(const LogCapture& log, int writers, int perWriter)
{
    std::map<int, int> seen;
    static const std::regex body(R"(^w(\d+) \d+ ([a-z])+$)");
    for (const auto& r : log.Records()) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.message, m, body)) << r.message.substr(0, 80);
        int id = std::stoi(m[1].str());
        char letter = static_cast<char>('a' + id);
        EXPECT_EQ(r.message.find_first_not_of(letter, r.message.rfind(' ') + 1), std::string::npos);
        ++seen[id];
    }
    ASSERT_EQ(static_cast<int>(seen.size()), writers);
    for (const auto& [id, count] : seen)
        EXPECT_EQ(count, perWriter) << "writer " << id;
}

// Five writers at once, each a thread or a process of its own.
TEST(PlatformLog, ConcurrentThreadsAndProcessesNeverInterleaveALine)
{
    for (bool processes : {false, true}) {
        SCOPED_TRACE(processes ? "processes" : "threads");
        LogCapture log;
        std::vector<std::thread> writers;
        for (int id = 0; id < 5; ++id)
            writers.emplace_back([id, processes] {
                auto write = [id] { return WriteLines(id, 300), 0; };
                EXPECT_EQ(processes ? RunInChild(write) : write(), 0);
            });
        for (auto& t : writers)
            t.join();
        ExpectWholeLines(log, 5, 300);
    }
}

// ------------------------------------------------------- key-value store

class PlatformKvStore : public ::testing::Test {
protected:
    std::string FileOf(const std::string& key) const { return m_root.Path() + "/" + key; }
    static std::string Str(const char* key)
    {
        CText text = Owned(vconf_get_str(key));
        return text ? std::string(text.get()) : std::string("<null>");
    }
    KvStoreRoot m_root;
};

TEST_F(PlatformKvStore, EachKeyIsOneFileHoldingTheValuesText)
{
    std::string big;
    for (int i = 0; i < 20000; ++i)
        big += std::to_string(i % 10);
    for (const std::string& value : {std::string("first value"), std::string(""), big}) {
        ASSERT_EQ(vconf_set_str("db/a/b/c/leaf", value.c_str()), 0);
        EXPECT_EQ(Str("db/a/b/c/leaf"), value);
        EXPECT_EQ(ReadFile(FileOf("db/a/b/c/leaf")), value);
    }
    for (int value : {0, 42, -17, INT_MAX, INT_MIN}) {
        ASSERT_EQ(vconf_set_int("db/a/b/c/number", value), 0);
        int read = value == 0 ? 1 : 0;
        ASSERT_EQ(vconf_get_int("db/a/b/c/number", &read), 0);
        EXPECT_EQ(read, value);
        EXPECT_EQ(ReadFile(FileOf("db/a/b/c/number")), std::to_string(value));
    }
    std::set<std::string> names;  // and no temporary file left beside them
    for (const auto& entry : fs::directory_iterator(FileOf("db/a/b/c")))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"leaf", "number"}));
}

TEST_F(PlatformKvStore, IntIsReadOnlyFromWholeDecimalText)
{
    // Written from outside, as another process on the device would.
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"123\n", 123}, {"", {}},    {"abc", {}},         {"12abc", {}},
        {"1.5", {}},    {"7 8", {}}, {"99999999999", {}}, {"-99999999999", {}},
    };
    fs::create_directories(FileOf("db/test"));
    for (const auto& [text, expected] : cases) {
        WriteFile(FileOf("db/test/int"), text);
        int value = 31337;
        EXPECT_EQ(vconf_get_int("db/test/int", &value), expected ? 0 : -1) << "'" << text << "'";
        EXPECT_EQ(value, expected.value_or(31337)) << "'" << text << "'";
    }
    EXPECT_EQ(vconf_get_int("db/test/int", nullptr), -1);
}

TEST_F(PlatformKvStore, MissingUnsetOrFolderKeyGivesNullAndMinusOneWithValueUntouched)
{
    ASSERT_EQ(vconf_set_str("db/folder/inner", "v"), 0);
    ASSERT_EQ(vconf_set_int("db/gone", 3), 0);
    EXPECT_EQ(vconf_unset("db/gone"), 0);
    EXPECT_FALSE(fs::exists(FileOf("db/gone")));
    EXPECT_EQ(vconf_unset("db/gone"), 0);
    for (const char* key : {"db/never/set", "db/folder", "db/gone"}) {
        EXPECT_EQ(vconf_get_str(key), nullptr) << key;
        int value = 555;
        EXPECT_EQ(vconf_get_int(key, &value), -1) << key;
        EXPECT_EQ(value, 555) << key;
    }
    EXPECT_NE(vconf_set_str("db/folder", "over a folder"), 0);
    EXPECT_EQ(Str("db/folder/inner"), "v");
}

TEST_F(PlatformKvStore, KeysLeavingTheRootOrMalformedAreRefused)
{
    // The root is one level below a scratch folder, where an escape by ".."
    // would land.
    TempDir outer;
    std::string root = outer.File("store");
    ScopedEnv env("QZ_KVSTORE_DIR", root);

    for (const char* key : {"", "..", "../escaped", "db/../../escaped", "db/..", ".", "./db/x",
                            "/tmp/absolute", "db//double", "db/trailing/", "/"}) {
        EXPECT_NE(vconf_set_str(key, "x"), 0) << key;
        EXPECT_NE(vconf_set_int(key, 1), 0) << key;
        EXPECT_EQ(vconf_get_str(key), nullptr) << key;
        int value = 9;
        EXPECT_NE(vconf_get_int(key, &value), 0) << key;
        EXPECT_NE(vconf_unset(key), 0) << key;
    }
    EXPECT_FALSE(fs::exists(outer.File("escaped")));
    EXPECT_EQ(vconf_set_str(nullptr, "x"), -1);
    EXPECT_EQ(vconf_get_str(nullptr), nullptr);
    EXPECT_EQ(vconf_set_str("db/ok", nullptr), -1);

    // Dots inside a component are ordinary characters.
    EXPECT_EQ(vconf_set_str("db/..dots../a.b", "fine"), 0);
    EXPECT_EQ(Str("db/..dots../a.b"), "fine");
    EXPECT_TRUE(fs::exists(root + "/db/..dots../a.b"));
}

// Reads the key in a loop while it alternates between a and b: 0 when
// only ever one of the two was seen and both were, 1 for a torn or
// missing value, 2 when the alternation was never observed.
int ReadAlternatingValues(const char* key, const std::string& a, const std::string& b)
{
    int seenA = 0, seenB = 0;
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < deadline && (seenA <= 50 || seenB <= 50);) {
        CText text = Owned(vconf_get_str(key));
        if (text == nullptr || (a != text.get() && b != text.get()))
            return 1;
        (a == text.get() ? seenA : seenB)++;
    }
    return (seenA > 0 && seenB > 0) ? 0 : 2;
}

TEST_F(PlatformKvStore, ReaderThreadOrProcessNeverSeesATornValue)
{
    for (bool inChild : {false, true}) {
        SCOPED_TRACE(inChild ? "reader process" : "reader thread");
        const std::string a(300000, 'A'), b(250000, 'b');
        ASSERT_EQ(vconf_set_str("memory/torn", a.c_str()), 0);
        std::atomic<bool> stop{false};
        std::atomic<int> failures{0};
        std::thread writer([&] {
            for (bool useA = true; !stop; useA = !useA)
                failures += vconf_set_str("memory/torn", (useA ? a : b).c_str()) != 0;
        });
        auto read = [&] { return ReadAlternatingValues("memory/torn", a, b); };
        int status = inChild ? RunInChild(read) : read();
        stop = true;
        writer.join();
        EXPECT_EQ(status, 0);
        EXPECT_EQ(failures, 0);
    }
}

// ---------------------------------------------------- system information

// Key 128 is the software version from the environment; no value, an
// unknown key or no place for the result is an error that leaves *value.
TEST(PlatformSysInfo, SoftwareVersionComesFromTheEnvironment)
{
    const struct {
        int key;
        std::optional<std::string> env;
        const char* value;
    } cases[] = {
        {SYSTEM_INFO_KEY_SW_VERSION, "4.11.2-rc1", "4.11.2-rc1"}, {128, "5.0", "5.0"},
        {128, std::nullopt, nullptr}, {0, "1.0", nullptr},   {1, "1.0", nullptr},
        {127, "1.0", nullptr},        {129, "1.0", nullptr}, {-128, "1.0", nullptr},
        {100000, "1.0", nullptr},
    };
    char sentinel = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        ScopedEnv version("QZ_SW_VERSION", c.env);
        char* text = &sentinel;
        int rc = system_info_get_value_string(c.key, &text);
        if (c.value == nullptr) {
            EXPECT_NE(rc, 0);
            EXPECT_EQ(text, &sentinel);
            continue;
        }
        ASSERT_EQ(rc, 0);
        CText owned = Owned(text);
        EXPECT_STREQ(text, c.value);
    }
    EXPECT_NE(system_info_get_value_string(128, nullptr), 0);
}

}  // namespace
