// The platform layers the library stands on: the log's sinks, the
// key-value store's files and atomic replacement, and the system
// information service.
#include <dlog.h>
#include <system_info.h>
#include <vconf.h>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace qztest;

namespace {

// Owns a text handed out with malloc by a platform function.
using CText = std::unique_ptr<char, decltype(&free)>;
CText Owned(char* text) { return CText(text, &free); }

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Runs body in a forked child and returns its exit status (or -1 when it
// did not exit normally). The child leaves with _exit, so no test
// teardown runs twice.
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

// Collects what the process writes to standard error during its lifetime.
class StderrCapture {
public:
    StderrCapture() : m_path(m_dir.File("stderr.txt"))
    {
        fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        FILE* sink = fopen(m_path.c_str(), "w");
        dup2(fileno(sink), STDERR_FILENO);
        fclose(sink);
    }
    ~StderrCapture() { Restore(); }
    std::string Finish()
    {
        Restore();
        return ReadFile(m_path);
    }

private:
    void Restore()
    {
        if (m_saved < 0)
            return;
        fflush(stderr);
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        m_saved = -1;
    }
    TempDir m_dir;
    std::string m_path;
    int m_saved = -1;
};

// ------------------------------------------------------------------ log

TEST(PlatformLog, FileSinkWritesOneRecordPerCallWithPriorityTagAndMessage)
{
    LogCapture log;
    EXPECT_EQ(__dlog_print(LOG_ID_MAIN, DLOG_INFO, "tag-one", "info %d %s", 7, "seven"), 12);
    EXPECT_GT(__dlog_print(LOG_ID_MAIN, DLOG_ERROR, "tag-two", "error line"), 0);

    auto records = log.Records();
    ASSERT_EQ(records.size(), 2u) << log.Text();
    EXPECT_EQ(records[0].priority, 'I');
    EXPECT_EQ(records[0].tag, "tag-one");
    EXPECT_EQ(records[0].message, "info 7 seven");
    EXPECT_EQ(records[1].priority, 'E');
    EXPECT_EQ(records[1].tag, "tag-two");
    EXPECT_EQ(records[1].message, "error line");
}

TEST(PlatformLog, RecordCarriesCurrentLocalTimeAndProcessId)
{
    LogCapture log;
    time_t before = time(nullptr);
    __dlog_print(LOG_ID_MAIN, DLOG_INFO, "clock", "tick");
    time_t after = time(nullptr);

    std::smatch m;
    std::string text = log.Text();
    static const std::regex header(
        R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d{3}) I/clock\((\d+)\): tick\n$)");
    ASSERT_TRUE(std::regex_match(text, m, header)) << text;
    EXPECT_EQ(std::stoi(m[3].str()), static_cast<int>(getpid()));

    struct tm stamp = {};
    ASSERT_NE(strptime(m[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &stamp), nullptr);
    stamp.tm_isdst = -1;
    time_t logged = mktime(&stamp);
    EXPECT_GE(logged, before - 1);
    EXPECT_LE(logged, after + 1);
}

TEST(PlatformLog, EscapeCodesAreWrittenAsTheyAre)
{
    LogCapture log;
    __dlog_print(LOG_ID_MAIN, DLOG_ERROR, "esc", "\e[1m\e[33m%s\e[0;m", "bold yellow");
    auto records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "\x1b[1m\x1b[33mbold yellow\x1b[0;m");
}

TEST(PlatformLog, TrailingNewlineDoesNotLeaveABlankLine)
{
    LogCapture log;
    __dlog_print(LOG_ID_MAIN, DLOG_INFO, "nl", "ends in newline\n");
    __dlog_print(LOG_ID_MAIN, DLOG_INFO, "nl", "next");
    auto lines = Lines(log.Text());
    ASSERT_EQ(lines.size(), 2u) << log.Text();
    EXPECT_NE(lines[0].find("): ends in newline"), std::string::npos);
    EXPECT_NE(lines[1].find("): next"), std::string::npos);
}

TEST(PlatformLog, EmbeddedNewlineStaysInOneRecord)
{
    LogCapture log;
    __dlog_print(LOG_ID_MAIN, DLOG_INFO, "nl", "first half\nsecond half\n");
    auto records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "first half\nsecond half");
}

TEST(PlatformLog, OverlongTagOrMessageStillGivesOneWellFormedLine)
{
    LogCapture log;
    std::string tag(1000, 't');
    std::string message(10000, 'm');
    __dlog_print(LOG_ID_MAIN, DLOG_INFO, tag.c_str(), "%s", message.c_str());
    __dlog_print(LOG_ID_MAIN, DLOG_INFO, "after", "still fine");

    auto records = log.Records();
    ASSERT_EQ(records.size(), 2u) << log.Text().substr(0, 400);
    EXPECT_EQ(tag.compare(0, records[0].tag.size(), records[0].tag), 0);
    EXPECT_FALSE(records[0].tag.empty());
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

TEST(PlatformLog, StderrSinkWritesTheRecordToStandardError)
{
    LogCapture file;  // a file sink that must stay untouched
    std::string written;
    {
        ScopedEnv sink("QZ_PLATFORM_LOG", std::string("stderr"));
        StderrCapture err;
        __dlog_print(LOG_ID_MAIN, DLOG_ERROR, "to-stderr", "visible %d", 1);
        written = err.Finish();
    }
    static const std::regex line(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} E/to-stderr\(\d+\): visible 1\n$)");
    EXPECT_TRUE(std::regex_match(written, line)) << written;
    EXPECT_EQ(file.Text(), "");
}

TEST(PlatformLog, NoneSinkDropsEveryLine)
{
    LogCapture file;
    __dlog_print(LOG_ID_MAIN, DLOG_INFO, "before", "kept");
    std::string written;
    {
        ScopedEnv sink("QZ_PLATFORM_LOG", std::string("none"));
        StderrCapture err;
        EXPECT_EQ(__dlog_print(LOG_ID_MAIN, DLOG_ERROR, "dropped", "gone"), 0);
        written = err.Finish();
    }
    EXPECT_EQ(written, "");
    auto records = file.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].tag, "before");
}

TEST(PlatformLog, ChangingTheSinkBetweenCallsSwitchesFilesAndAppends)
{
    TempDir dir;
    std::string first = dir.File("first.log");
    std::string second = dir.File("second.log");
    WriteFile(first, "existing line\n");
    {
        ScopedEnv sink("QZ_PLATFORM_LOG", first);
        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "t", "one");
    }
    {
        ScopedEnv sink("QZ_PLATFORM_LOG", second);
        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "t", "two");
    }
    {
        ScopedEnv sink("QZ_PLATFORM_LOG", first);
        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "t", "three");
    }
    auto firstLines = Lines(ReadFile(first));
    auto secondLines = Lines(ReadFile(second));
    ASSERT_EQ(firstLines.size(), 3u);
    EXPECT_EQ(firstLines[0], "existing line");
    EXPECT_NE(firstLines[1].find("): one"), std::string::npos);
    EXPECT_NE(firstLines[2].find("): three"), std::string::npos);
    ASSERT_EQ(secondLines.size(), 1u);
    EXPECT_NE(secondLines[0].find("): two"), std::string::npos);
}

// Every line must be exactly one writer's record: "w<id> <n> " followed by
// a long run of that writer's letter.
void ExpectWholeLines(const LogCapture& log, int writers, int perWriter)
{
    std::map<int, int> seen;
    for (const auto& r : log.Records()) {
        static const std::regex body(R"(^w(\d+) (\d+) ([a-z])+$)");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.message, m, body)) << r.message.substr(0, 80);
        int id = std::stoi(m[1].str());
        char letter = static_cast<char>('a' + id);
        EXPECT_EQ(r.message.find_first_not_of(letter, r.message.rfind(' ') + 1),
                  std::string::npos);
        ++seen[id];
    }
    ASSERT_EQ(static_cast<int>(seen.size()), writers);
    for (const auto& [id, count] : seen)
        EXPECT_EQ(count, perWriter) << "writer " << id;
}

void WriteLines(int id, int count)
{
    std::string run(2000, static_cast<char>('a' + id));
    for (int n = 0; n < count; ++n)
        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "many", "w%d %d %s", id, n, run.c_str());
}

TEST(PlatformLog, ConcurrentThreadsNeverInterleaveALine)
{
    LogCapture log;
    constexpr int kWriters = 6, kLines = 300;
    std::vector<std::thread> threads;
    for (int id = 0; id < kWriters; ++id)
        threads.emplace_back(WriteLines, id, kLines);
    for (auto& t : threads)
        t.join();
    ExpectWholeLines(log, kWriters, kLines);
}

TEST(PlatformLog, ConcurrentProcessesNeverInterleaveALine)
{
    LogCapture log;
    constexpr int kWriters = 4, kLines = 300;
    std::vector<pid_t> children;
    for (int id = 0; id < kWriters; ++id) {
        pid_t pid = fork();
        if (pid == 0) {
            WriteLines(id, kLines);
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ExpectWholeLines(log, kWriters, kLines);
}

// ------------------------------------------------------- key-value store

class PlatformKvStore : public ::testing::Test {
protected:
    std::string FileOf(const std::string& key) const { return m_root.Path() + "/" + key; }
    std::string Str(const char* key) const
    {
        CText text = Owned(vconf_get_str(key));
        return text ? std::string(text.get()) : std::string("<null>");
    }
    KvStoreRoot m_root;
};

TEST_F(PlatformKvStore, StringRoundTripAndOverwrite)
{
    ASSERT_EQ(vconf_set_str("db/test/name", "first value"), 0);
    EXPECT_EQ(Str("db/test/name"), "first value");
    ASSERT_EQ(vconf_set_str("db/test/name", "second"), 0);
    EXPECT_EQ(Str("db/test/name"), "second");
    ASSERT_EQ(vconf_set_str("db/test/name", ""), 0);
    EXPECT_EQ(Str("db/test/name"), "");
}

TEST_F(PlatformKvStore, LargeValueRoundTrips)
{
    std::string big;
    for (int i = 0; i < 20000; ++i)
        big += std::to_string(i % 10);
    ASSERT_EQ(vconf_set_str("memory/big", big.c_str()), 0);
    EXPECT_EQ(Str("memory/big"), big);
}

TEST_F(PlatformKvStore, IntRoundTripIncludingLimits)
{
    for (int value : {0, 42, -17, INT_MAX, INT_MIN}) {
        ASSERT_EQ(vconf_set_int("memory/test/number", value), 0);
        int read = value == 0 ? 1 : 0;
        ASSERT_EQ(vconf_get_int("memory/test/number", &read), 0);
        EXPECT_EQ(read, value);
        EXPECT_EQ(ReadFile(FileOf("memory/test/number")), std::to_string(value));
    }
}

TEST_F(PlatformKvStore, KeyFoldersAreCreatedAndTheFileHoldsTheText)
{
    ASSERT_EQ(vconf_set_str("db/a/b/c/leaf", "deep"), 0);
    EXPECT_TRUE(fs::is_directory(FileOf("db/a/b/c")));
    EXPECT_EQ(ReadFile(FileOf("db/a/b/c/leaf")), "deep");
}

TEST_F(PlatformKvStore, ExternallyWrittenIntWithTrailingNewlineIsRead)
{
    fs::create_directories(FileOf("db/x"));
    WriteFile(FileOf("db/x/level"), "123\n");
    int value = 0;
    ASSERT_EQ(vconf_get_int("db/x/level", &value), 0);
    EXPECT_EQ(value, 123);
}

TEST_F(PlatformKvStore, MissingKeyGivesNullAndMinusOneWithValueUntouched)
{
    EXPECT_EQ(vconf_get_str("db/never/set"), nullptr);
    int value = 555;
    EXPECT_EQ(vconf_get_int("db/never/set", &value), -1);
    EXPECT_EQ(value, 555);
}

TEST_F(PlatformKvStore, FolderKeyCannotBeReadAsValue)
{
    ASSERT_EQ(vconf_set_str("db/folder/inner", "v"), 0);
    EXPECT_EQ(vconf_get_str("db/folder"), nullptr);
    EXPECT_NE(vconf_set_str("db/folder", "over a folder"), 0);
    EXPECT_EQ(Str("db/folder/inner"), "v");
}

TEST_F(PlatformKvStore, NonNumbersFailToParseAsInt)
{
    for (const char* text : {"", "abc", "12abc", "1.5", "99999999999", "-99999999999", "7 8"}) {
        ASSERT_EQ(vconf_set_str("db/test/notint", text), 0);
        int value = 31337;
        EXPECT_EQ(vconf_get_int("db/test/notint", &value), -1) << "'" << text << "'";
        EXPECT_EQ(value, 31337) << "'" << text << "'";
    }
    EXPECT_EQ(vconf_get_int("db/test/notint", nullptr), -1);
}

TEST_F(PlatformKvStore, KeysLeavingTheRootOrMalformedAreRefused)
{
    // The store root is one level below a scratch folder, so an escape by
    // ".." would land in a place the test can look at.
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
    CText fine = Owned(vconf_get_str("db/..dots../a.b"));
    ASSERT_NE(fine, nullptr);
    EXPECT_STREQ(fine.get(), "fine");
    EXPECT_TRUE(fs::exists(root + "/db/..dots../a.b"));
}

TEST_F(PlatformKvStore, UnsetRemovesTheKeyAndAcceptsMissingOnes)
{
    ASSERT_EQ(vconf_set_int("db/gone", 3), 0);
    EXPECT_EQ(vconf_unset("db/gone"), 0);
    EXPECT_EQ(vconf_get_str("db/gone"), nullptr);
    EXPECT_FALSE(fs::exists(FileOf("db/gone")));
    EXPECT_EQ(vconf_unset("db/gone"), 0);
}

TEST_F(PlatformKvStore, WritesLeaveNoTemporaryFilesBehind)
{
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(vconf_set_int("db/dir/key", i), 0);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(FileOf("db/dir")))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"key"});
}

TEST_F(PlatformKvStore, RootDirectoryComesFromTheEnvironmentAtEachCall)
{
    TempDir other;
    ASSERT_EQ(vconf_set_str("db/where", "first root"), 0);
    {
        ScopedEnv env("QZ_KVSTORE_DIR", other.Path());
        EXPECT_EQ(vconf_get_str("db/where"), nullptr);
        ASSERT_EQ(vconf_set_str("db/where", "second root"), 0);
        EXPECT_EQ(ReadFile(other.File("db/where")), "second root");
    }
    EXPECT_EQ(Str("db/where"), "first root");
    EXPECT_EQ(ReadFile(FileOf("db/where")), "first root");
}

TEST_F(PlatformKvStore, ValuesPersistAcrossProcesses)
{
    int written = RunInChild([] { return vconf_set_str("db/shared/text", "from child") == 0 &&
                                                  vconf_set_int("db/shared/num", -808) == 0
                                              ? 0
                                              : 1; });
    ASSERT_EQ(written, 0);
    EXPECT_EQ(Str("db/shared/text"), "from child");
    int value = 0;
    ASSERT_EQ(vconf_get_int("db/shared/num", &value), 0);
    EXPECT_EQ(value, -808);

    ASSERT_EQ(vconf_set_str("db/shared/text", "from parent"), 0);
    int seen = RunInChild([] {
        char* text = vconf_get_str("db/shared/text");
        int same = text != nullptr && strcmp(text, "from parent") == 0;
        free(text);
        return same ? 0 : 1;
    });
    EXPECT_EQ(seen, 0);
}

// A writer alternates two long values while a reader loops. Exit codes of
// the reader: 0 only ever one of the two values and both were seen, 1 a
// torn or missing value, 2 the alternation was never observed.
int ReadAlternatingValues(const std::string& key, const std::string& a, const std::string& b,
                          const std::atomic<bool>* stop)
{
    int seenA = 0, seenB = 0;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline && !(stop && *stop)) {
        char* text = vconf_get_str(key.c_str());
        if (text == nullptr)
            return 1;
        bool isA = a == text, isB = b == text;
        free(text);
        if (!isA && !isB)
            return 1;
        seenA += isA;
        seenB += isB;
        if (seenA > 50 && seenB > 50)
            return 0;
    }
    return (seenA > 0 && seenB > 0) ? 0 : 2;
}

class AlternatingWriter {
public:
    AlternatingWriter(std::string key, std::string a, std::string b)
        : m_key(std::move(key)), m_a(std::move(a)), m_b(std::move(b))
    {
        m_thread = std::thread([this] {
            for (bool useA = true; !m_stop; useA = !useA)
                if (vconf_set_str(m_key.c_str(), (useA ? m_a : m_b).c_str()) != 0)
                    m_failures++;
        });
    }
    ~AlternatingWriter() { Stop(); }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    int Failures() const { return m_failures; }

private:
    std::string m_key, m_a, m_b;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_failures{0};
    std::thread m_thread;
};

TEST_F(PlatformKvStore, ReaderThreadNeverSeesATornValue)
{
    const std::string a(300000, 'A'), b(200000, 'b');
    ASSERT_EQ(vconf_set_str("memory/torn", a.c_str()), 0);
    AlternatingWriter writer("memory/torn", a, b);
    EXPECT_EQ(ReadAlternatingValues("memory/torn", a, b, nullptr), 0);
    writer.Stop();
    EXPECT_EQ(writer.Failures(), 0);
}

TEST_F(PlatformKvStore, ReaderProcessNeverSeesATornValue)
{
    const std::string a(300000, 'x'), b(250000, 'Y');
    ASSERT_EQ(vconf_set_str("memory/torn", a.c_str()), 0);
    AlternatingWriter writer("memory/torn", a, b);
    int status = RunInChild([&] { return ReadAlternatingValues("memory/torn", a, b, nullptr); });
    writer.Stop();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(writer.Failures(), 0);
}

// ---------------------------------------------------- system information

TEST(PlatformSysInfo, SoftwareVersionComesFromTheEnvironment)
{
    ScopedEnv version("QZ_SW_VERSION", std::string("4.11.2-rc1"));
    char* text = nullptr;
    ASSERT_EQ(system_info_get_value_string(SYSTEM_INFO_KEY_SW_VERSION, &text), 0);
    CText owned = Owned(text);
    EXPECT_STREQ(text, "4.11.2-rc1");

    ScopedEnv changed("QZ_SW_VERSION", std::string("5.0"));
    char* again = nullptr;
    ASSERT_EQ(system_info_get_value_string(128, &again), 0);
    CText ownedAgain = Owned(again);
    EXPECT_STREQ(again, "5.0");
    EXPECT_NE(again, text);
}

TEST(PlatformSysInfo, MissingValueFailsAndLeavesThePointerUntouched)
{
    ScopedEnv version("QZ_SW_VERSION", std::nullopt);
    char sentinel = 0;
    char* text = &sentinel;
    EXPECT_NE(system_info_get_value_string(128, &text), 0);
    EXPECT_EQ(text, &sentinel);
}

TEST(PlatformSysInfo, UnknownKeyFailsAndLeavesThePointerUntouched)
{
    ScopedEnv version("QZ_SW_VERSION", std::string("1.0"));
    char sentinel = 0;
    for (int key : {0, 1, 127, 129, -128, 100000}) {
        char* text = &sentinel;
        EXPECT_NE(system_info_get_value_string(key, &text), 0) << key;
        EXPECT_EQ(text, &sentinel) << key;
    }
    EXPECT_NE(system_info_get_value_string(128, nullptr), 0);
}

}  // namespace
